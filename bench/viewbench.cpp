// Times the opening and searching of big documents, one measurement per
// process so that each peak memory figure is its own. Prints one line
// "<mode> ms=<milliseconds> peak_kib=<peak resident size>".
//
//   open QUERYFILE       the window's openQuery, from the read to the first paint
//   openunmarked QUERYFILE  the same open without the marks of changed settings
//   openfloor QUERYFILE  the same document text given to a bare QPlainTextEdit
//                        with setPlainText, to its first paint
//   launch QUERYFILE     from the start of a process that shows the window with
//                        QUERYFILE on its command line to the window answering
//                        after its first paint
//   launchfloor QUERYFILE  the same for a bare QPlainTextEdit given the document
//                        text with setPlainText before it is shown
//   show DOCFILE         read a document text file, cut it as the window does and
//                        showQueryDocument it
//   floor DOCFILE        read it and setPlainText it into a bare view
//   find DOCFILE         a failing Find next: findInView forwards, then again
//                        from the start of the document
//   findfloor DOCFILE    the same two searches with QPlainTextEdit::find
//   index DOCFILE        the match index of "er" (a million matches in the
//                        generated 50 MB document) scanned to the end
//   count DOCFILE        the window showing DOCFILE: from the keystroke that
//                        makes the term "er" to its count complete
//   type DOCFILE         the same typing: the longest that a key after the
//                        first kept the window busy, the count of the term
//                        before it still running
//   findall DOCFILE      then Find All Matches: from the action to the list's
//                        first paint
//   scroll DOCFILE       with the term typed, 50 jumps of the view to spread
//                        positions, each to its paint, the highlights of the
//                        matches in sight made again each time
//   scrollfloor DOCFILE  the same jumps with an empty search field

#include "testfiles.h"

#include "query/matchindex.h"
#include "query/querydocument.h"
#include "query/queryreader.h"
#include "query/viewtext.h"
#include "ui/brindlequerytool.h"
#include "ui/darkpalette.h"
#include "ui/matchcount.h"
#include "ui/queryview.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QScrollBar>
#include <QStandardPaths>
#include <QStyleFactory>
#include <QTableView>
#include <QTextCursor>
#include <QTimer>

#include <cstdio>

namespace {

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
    std::printf("%s ms=%lld peak_kib=%lld\n", mode, static_cast<long long>(ms),
                static_cast<long long>(processStatusKiB("VmHWM")));
    return 0;
}

// The term of the count modes: two matches on each line of the generated
// 50 MB document, in "printer" and "temperature".
const QString countedTerm = QStringLiteral("er");

// Types text into a line edit as a user does, key by key. Returns the
// longest that a key press took to handle.
qint64 typeInto(QLineEdit *field, const QString &text)
{
    qint64 longest = 0;
    for (const QChar c : text) {
        QElapsedTimer key;
        key.start();
        QKeyEvent press(QEvent::KeyPress, Qt::Key_A + (c.toLower().unicode() - 'a'), Qt::NoModifier,
                        QString(c));
        QCoreApplication::sendEvent(field, &press);
        longest = qMax(longest, key.elapsed());
        QKeyEvent release(QEvent::KeyRelease, press.key(), Qt::NoModifier, QString(c));
        QCoreApplication::sendEvent(field, &release);
    }
    return longest;
}

QString documentOf(const QString &path)
{
    return assembleQueryDocument(readQueryFile(path)).text;
}

// The child of launch and launchfloor, started as the program would be: it
// prints its peak memory once the shown view has painted and the event loop
// has come round again, and ends without tearing anything down.
[[noreturn]] void launched(bool window, const QString &path)
{
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setPalette(darkPalette());
    QWidget *shown = nullptr;
    QPlainTextEdit *view = nullptr;
    if (window) {
        shown = new BrindleQueryTool;
        view = shown->findChild<QPlainTextEdit *>(QStringLiteral("queryTextEdit"));
    } else {
        view = new QPlainTextEdit;
        view->setPlainText(documentOf(path));
        shown = view;
    }
    shown->resize(1000, 700);
    PaintWatch watch(view->viewport());
    shown->show();
    waitForPaint(watch);
    bool answered = false;
    QTimer::singleShot(0, [&answered] { answered = true; });
    while (!answered)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    std::printf("peak_kib=%lld\n", static_cast<long long>(processStatusKiB("VmHWM")));
    std::fflush(stdout);
    std::_Exit(0);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr,
                     "usage: brindle-viewbench open|openunmarked|openfloor|launch|"
                     "launchfloor|show|floor|find|findfloor|index|count|type|findall|scroll|"
                     "scrollfloor FILE\n");
        return 2;
    }
    const QByteArray mode = argv[1];
    // The window opens its first command-line argument: only the child of
    // launch may give it one.
    char *applicationArgv[] = {argv[0], argv[2], nullptr};
    int applicationArgc = mode == "launched" ? 2 : 1;
    QApplication app(applicationArgc, applicationArgv);
    QStandardPaths::setTestModeEnabled(true);
    const QString path = QString::fromLocal8Bit(argv[2]);
    QElapsedTimer timer;

    if (mode == "launched" || mode == "launchedfloor")
        launched(mode == "launched", path);
    if (mode == "launch" || mode == "launchfloor") {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        timer.start();
        child.start(
            QCoreApplication::applicationFilePath(),
            {mode == "launch" ? QStringLiteral("launched") : QStringLiteral("launchedfloor"),
             path});
        while (!child.canReadLine() && child.waitForReadyRead(-1)) {
        }
        const qint64 ms = timer.elapsed();
        const QByteArray line = child.readLine().trimmed();
        child.kill();
        child.waitForFinished();
        std::printf("%s ms=%lld %s\n", mode.constData(), static_cast<long long>(ms),
                    line.constData());
        return 0;
    }
    if (mode == "open" || mode == "openunmarked") {
        BrindleQueryTool window;
        window.resize(1000, 700);
        window.show();
        auto *view = window.findChild<QPlainTextEdit *>(QStringLiteral("queryTextEdit"));
        PaintWatch watch(view->viewport());
        waitForPaint(watch);
        timer.start();
        if (mode == "open")
            window.openQuery(path);
        else
            showQueryDocument(view, documentOf(path));
        waitForPaint(watch);
        return report(mode.constData(), timer.elapsed());
    }

    if (mode == "count" || mode == "type" || mode == "findall" || mode == "scroll" ||
        mode == "scrollfloor") {
        BrindleQueryTool window;
        window.resize(1000, 700);
        window.show();
        auto *view = window.findChild<QPlainTextEdit *>(QStringLiteral("queryTextEdit"));
        auto *field = window.findChild<QLineEdit *>(QStringLiteral("findLineEdit"));
        auto *count = window.findChild<MatchCount *>();
        PaintWatch watch(view->viewport());
        waitForPaint(watch);
        showQueryDocument(view, viewText(readText(path)).text);
        waitForPaint(watch);
        if (mode == "scrollfloor" || mode == "scroll") {
            // Timed once the count is done, so that it takes no processor.
            if (mode == "scroll")
                typeInto(field, countedTerm);
            while (!count->isCurrent() || !count->index().isComplete())
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            QScrollBar *bar = view->verticalScrollBar();
            timer.start();
            for (int jump = 1; jump <= 50; ++jump) {
                bar->setValue(int(qint64(bar->maximum()) * jump / 51));
                waitForPaint(watch);
            }
            return report(mode.constData(), timer.elapsed());
        }
        // The first search works out the text's positions, as every first
        // search after an open does; then the term is typed, its last key
        // timed to the count.
        typeInto(field, countedTerm.left(1));
        timer.start();
        const qint64 longestKey = typeInto(field, countedTerm.mid(1));
        while (!count->isCurrent() || !count->index().isComplete())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const qint64 counted = timer.elapsed();
        if (mode == "type")
            return report("type", longestKey);
        if (mode == "count")
            return report("count", counted);
        auto *list = window.findChild<QTableView *>(QStringLiteral("findAllView"));
        PaintWatch listWatch(list->viewport());
        timer.start();
        window.findChild<QAction *>(QStringLiteral("actionFindAll"))->trigger();
        waitForPaint(listWatch);
        return report("findall", timer.elapsed());
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
        const QString document = documentOf(path);
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
            showQueryDocument(&view, viewText(readText(path)).text);
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
    if (mode == "index") {
        const DocumentText text(viewText(readText(path)).text);
        timer.start();
        MatchIndex index(text, countedTerm);
        while (!index.scan(1 << 18)) {
        }
        const qint64 ms = timer.elapsed();
        std::fprintf(stderr, "%d matches on %d lines\n", index.count(), index.lineCount());
        return report("index", ms);
    }
    std::fprintf(stderr, "unknown mode %s\n", mode.constData());
    return 2;
}
