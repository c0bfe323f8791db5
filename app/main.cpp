#include "app/darkpalette.h"
#include "ui/brindlequerytool.h"

#include <QApplication>
#include <QIcon>
#include <QSettings>
#include <QStyleFactory>

int main(int argc, char **argv)
{
    // Scales the window with the screen's DPI; sizes and positions stay in
    // Qt's units, which are pixels at 96 DPI.
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    // Unrounded: at 144 DPI the window grows by 1.5 with its text, where a
    // rounded factor would leave the values of longer keys out of view.
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
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
