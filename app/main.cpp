#include "app/darkpalette.h"
#include "ui/brindlequerytool.h"

#include <QApplication>
#include <QIcon>
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
    // The icon for the window; the desktop file name lets a Wayland compositor
    // match the window to the installed desktop entry and its icon.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/example.corvelle.brindlequerytool.svg")));
    QGuiApplication::setDesktopFileName(QStringLiteral("example.corvelle.brindlequerytool"));

    int result = 0;
    {
        // Destroyed after the event loop returns: its destructor stores the window state.
        BrindleQueryTool window(nullptr);
        window.show();
        result = QApplication::exec();
    }
    return result;
}
