// Times the opening and searching of big documents, one measurement per
// process so that each peak memory figure is its own. Prints one line
// "<mode> ms=<milliseconds> peak_kib=<peak resident size>".
//
//   open QUERYFILE       the window's openQuery, from the read to the first paint
//   openfloor QUERYFILE  the same document text given to a bare QPlainTextEdit
//                        with setPlainText, to its first paint
//   show DOCFILE         read a document text file and showQueryDocument it
//   floor DOCFILE        read it and setPlainText it into a bare view
//   find DOCFILE         a failing Find next: findInView forwards, then again
//                        from the start of the document
//   findfloor DOCFILE    the same two searches with QPlainTextEdit::find

#include "query/querydocument.h"
#include "query/queryreader.h"
#include "ui/brindlequerytool.h"
#include "ui/queryview.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTextCursor>

#include <cstdio>

namespace {

long peakKib()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').constFirst().toLong();
    }
    return -1;
}

class PaintWatch : public QObject
{
public:
    explicit PaintWatch(QWidget *viewport) { viewport->installEventFilter(this); }
    bool painted = false;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            painted = true;
        return false;
    }
};

void waitForPaint(PaintWatch &watch)
{
    while (!watch.painted)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    watch.painted = false;
}

// The view as the window's form sets it up.
void setUpLikeTheWindow(QPlainTextEdit *view)
{
    view->setTabChangesFocus(true);
    view->setLineWrapMode(QPlainTextEdit::NoWrap);
    view->setReadOnly(true);
    view->setTabStopDistance(200.0);
    view->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    view->setCenterOnScroll(true);
}

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

int report(const char *mode, qint64 ms)
{
    std::printf("%s ms=%lld peak_kib=%ld\n", mode, static_cast<long long>(ms), peakKib());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    // The window opens its first command-line argument: it must see none.
    int applicationArgc = 1;
    QApplication app(applicationArgc, argv);
    QStandardPaths::setTestModeEnabled(true);
    if (argc != 3) {
        std::fprintf(stderr,
                     "usage: brindle-viewbench open|openfloor|show|floor|find|findfloor FILE\n");
        return 2;
    }
    const QByteArray mode = argv[1];
    const QString path = QString::fromLocal8Bit(argv[2]);
    QElapsedTimer timer;

    if (mode == "open") {
        BrindleQueryTool window;
        window.resize(1000, 700);
        window.show();
        auto *view = window.findChild<QPlainTextEdit *>(QStringLiteral("queryTextEdit"));
        PaintWatch watch(view->viewport());
        waitForPaint(watch);
        timer.start();
        window.openQuery(path);
        waitForPaint(watch);
        return report("open", timer.elapsed());
    }

    QPlainTextEdit view;
    view.resize(980, 600);
    const bool bare = mode == "openfloor" || mode == "floor";
    if (!bare)
        setUpLikeTheWindow(&view);
    view.show();
    PaintWatch watch(view.viewport());
    waitForPaint(watch);

    if (mode == "openfloor") {
        QString document;
        {
            const QString queryText = readQueryFile(path);
            document = assembleQueryDocument(queryText);
        }
        timer.start();
        view.setPlainText(document);
        waitForPaint(watch);
        return report("openfloor", timer.elapsed());
    }
    if (mode == "floor" || mode == "show") {
        QString document;
        if (mode == "floor")
            document = readText(path);
        timer.start();
        if (mode == "floor") {
            view.setPlainText(document);
        } else {
            showQueryDocument(&view, readText(path));
        }
        waitForPaint(watch);
        return report(mode.constData(), timer.elapsed());
    }
    if (mode == "find" || mode == "findfloor") {
        showQueryDocument(&view, readText(path));
        const QString absent = QStringLiteral("no such term \u00e9\u00df\u00f8");
        const bool toolkit = mode == "findfloor";
        auto find = [&] {
            return toolkit ? view.find(absent) : findInView(&view, absent, {});
        };
        timer.start();
        // Find next: from the cursor, then once more from the start.
        if (!find()) {
            const QTextCursor kept = view.textCursor();
            view.moveCursor(QTextCursor::Start);
            if (!find())
                view.setTextCursor(kept);
        }
        return report(mode.constData(), timer.elapsed());
    }
    std::fprintf(stderr, "unknown mode %s\n", mode.constData());
    return 2;
}
