#include "app/darkpalette.h"
#include "ui/brindlequerytool.h"

#include <QApplication>
#include <QStyleFactory>

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
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
