#include "query/viewerarguments.h"
#include "ui/brindlequerytool.h"
#include "ui/darkpalette.h"

#include <QApplication>
#include <QIcon>
#include <QSettings>
#include <QStyleFactory>
#include <QToolTip>

#include <cstdio>
#include <cstring>

namespace {

const char usage[] = "Usage: BrindleQueryTool [FILE] [--history DATABASE]\n"
                     "Shows a printer query file (a .txt, or a .zip holding one) as one read-only\n"
                     "document: the current and the factory settings, and the service log.\n"
                     "\n"
                     "  FILE                the query file to open (./-h for a file named -h)\n"
                     "  --history DATABASE  for this run, the database of brindle-query export\n"
                     "                      whose history File > Compare with an earlier state\n"
                     "                      reads (before or after FILE)\n"
                     "  -h, --help          show this help and end\n"
                     "  -v, --version       show the version and end\n"
                     "\n"
                     "brindle-query prints the same document, and the settings that differ, on\n"
                     "the command line.\n";

} // namespace

int main(int argc, char **argv)
{
    // Answered before the application exists, which needs a display.
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (argc > 1 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-v") == 0)) {
        std::fputs("BrindleQueryTool " BRINDLE_VERSION "\n", stdout);
        return 0;
    }
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const QString error = viewerArguments(arguments).error;
    if (!error.isEmpty()) {
        std::fprintf(stderr, "BrindleQueryTool: %s\n%s", error.toLocal8Bit().constData(), usage);
        return 2;
    }
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
    QToolTip::setPalette(darkToolTipPalette());
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
