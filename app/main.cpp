#include "app/darkpalette.h"
#include "ui/brindlequerytool.h"

#include <QApplication>
#include <QSettings>
#include <QStyleFactory>

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
#ifndef Q_OS_WIN
    // Where the installation records the installed version.
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope,
                       QStringLiteral(BRINDLE_SYSTEM_SETTINGS_DIR));
#endif
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setPalette(darkPalette());

    int result = 0;
    {
        // Destroyed after the event loop returns: its destructor stores the window state.
        BrindleQueryTool window(nullptr);
        window.show();
        result = QApplication::exec();
    }
    return result;
}
