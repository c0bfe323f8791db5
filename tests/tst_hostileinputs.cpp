#include "modalanswerer.h"
#include "queryfixture.h"
#include "testfiles.h"

#include "query/matchindex.h"
#include "query/querydocument.h"
#include "query/viewtext.h"
#include "ui/brindlequerytool.h"
#include "ui/queryview.h"

#include <QtTest>
#include <QtWidgets>

#include <memory>
#include <sys/stat.h>

#if defined(__SANITIZE_ADDRESS__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

constexpr qint64 MiB = 1024 * 1024;

class tst_HostileInputs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void boundedOutcome_data();
    void boundedOutcome();
    void viewLineCount();
    void fastViewMatchesToolkit_data();
    void fastViewMatchesToolkit();
    void manyOpensKeepMemoryLevel();
    void highlightsKeepMemoryLevel();

private:
    QTemporaryDir files;
    std::unique_ptr<BrindleQueryTool> window;
    QPlainTextEdit *view = nullptr;
};

void tst_HostileInputs::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, files.path());
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, files.path());
    window.reset(new BrindleQueryTool);
    // As wide as a maximised window: the wider the view, the more it lays out.
    window->resize(1270, 1000);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    view = window->findChild<QPlainTextEdit *>(QStringLiteral("queryTextEdit"));
}

// What the user sees for each hostile file: the read failure or the
// refusal to show it, with the previous document still shown, or a document
// holding the expected text. The open, then Ctrl+L, Ctrl+End and Ctrl+Home
// must each take at most 4 s and the whole at most maxMiB more memory, under
// the sanitizers too: without the bounds a few KB freeze the window for
// half a minute and take gigabytes.
void tst_HostileInputs::boundedOutcome_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected"); // the warning's first line, or document text
    QTest::addColumn<qint64>("maxMiB");
    const QString unreadable = QStringLiteral("Couldn't read the query file.");
    const QString unshowable = QStringLiteral("Couldn't show the query file.");
    int rowNumber = 0;
    const auto row = [&](const char *name, const char *suffix, bool written,
                         const QString &expected, qint64 maxMiB = 64) {
        QVERIFY2(written, name);
        QTest::newRow(name) << files.filePath(QString::number(rowNumber++) + suffix) << expected
                            << maxMiB;
    };
    const auto next = [&](const char *suffix) {
        return files.filePath(QString::number(rowNumber) + suffix);
    };
    const auto text = [&](const char *name, const QByteArray &bytes, const QString &expected,
                          qint64 maxMiB = 256) {
        row(name, ".txt", writeFile(next(".txt"), bytes), expected, maxMiB);
    };
    const auto log = [](const QByteArray &log) {
        return queryText({}, {}, log);
    };

    row("entry of 513 MiB -> read failure", ".zip", writeZipBomb(next(".zip"), 513, 513 * MiB),
        unreadable);
    row("ZIP64 entry of 4.5 GiB -> read failure", ".zip",
        writeZipBomb(next(".zip"), 4608, 4608 * MiB), unreadable);
    row("header says 1000 bytes, data inflates to 1 GiB -> read failure", ".zip",
        writeZipBomb(next(".zip"), 1024, 1000), unreadable);
    row("encrypted entry -> read failure", ".zip",
        writeZip(next(".zip"), {{QStringLiteral("query.txt"), log("secret")}}, "secret"),
        unreadable);
    row(".txt that is a directory -> read failure", ".txt", QDir().mkdir(next(".txt")), unreadable);
    row(".txt linked to /dev/zero -> read failure", ".txt",
        QFile::link(QStringLiteral("/dev/zero"), next(".txt")), unreadable);
    row(".txt that is a named pipe -> read failure, no block", ".txt",
        mkfifo(QFile::encodeName(next(".txt")).constData(), 0600) == 0, unreadable);
    row(".zip that is a named pipe -> read failure, no block", ".zip",
        mkfifo(QFile::encodeName(next(".zip")).constData(), 0600) == 0, unreadable);
    row("sparse .txt of 512 MiB + 1 -> read failure", ".txt",
        writeFile(next(".txt"), "q") && QFile::resize(next(".txt"), 512 * MiB + 1), unreadable);
    row("12 KB zip of 12 million empty log lines -> refused at once", ".zip",
        writeZip(next(".zip"), {{QStringLiteral("query.txt"), log(QByteArray(12000000, '\n'))}}),
        unshowable, 256);

    const QByteArray trap =
        "  <s " + QByteArray("key=\"k\" ").repeated(10) + "value=\"" + QByteArray(60, 'v') + "\n";
    const QByteArray keys = "  <s " + QByteArray("key=\"x\" ").repeated(1250000);
    const QByteArray pairs = "  <s " + QByteArray("key=\"x\" value=\"v\" ").repeated(555555);
    const QString setting = primaryHeading + QString(8, QLatin1Char('\n'));
    text("100000 backtracking settings lines -> document",
         queryText({}, trap.repeated(100000) + "  <s key=\"z\" value=\"1\"/>\n"),
         setting + "z\t1\n\n");
    text("settings line of 10 MB of keys, value never closed -> next line",
         queryText({}, keys + "value=\"open\n  <s key=\"small\" value=\"1\"/>\n"),
         setting + "small\t1\n\n");
    text("settings line of 10 MB of pairs, unclosed tail -> last whole pair",
         queryText({}, pairs + "value=\"open\n"), setting + "x\tv\n\n");
    text("invalid UTF-8 -> replacement characters",
         queryText({}, "  <s key=\"a\xff\" value=\"\xc3(\"/>\n"),
         setting + QString::fromUtf8("a\xef\xbf\xbd\t\xef\xbf\xbd(\n\n"));

    const QString x(viewLineLimit, QLatin1Char('x'));
    text("log line at the display limit -> shown whole", log(x.toLatin1() + '\n'), '\n' + x + '\n');
    text("log line one over the limit -> cut, marked", log(x.toLatin1() + "x\n"),
         x + QStringLiteral("\u2026 [1 more character]\n"));
    text("emoji across the cut -> cut before it", log(x.toLatin1().mid(1) + "\xf0\x9f\x98\x80y"),
         x.mid(1) + QStringLiteral("\u2026 [2 more characters]\n"));
    text("60 MB log line -> cut, marked", log(QByteArray(60000000, 'x')),
         x + QStringLiteral("\u2026 [59,980,000 more characters]\n"), 512);
    const QByteArray marks = ("e" + QString(19998, QChar(0x0301)) + '\n').toUtf8();
    row("12 KB zip of 300 lines of e and 19,998 combining marks -> cut, marked", ".zip",
        writeZip(next(".zip"), {{QStringLiteral("query.txt"), log(marks.repeated(300))}}),
        "\ne" + QString(32, QChar(0x0301)) +
            QStringLiteral("\u2026 [19,966 more combining marks]\n"));
}

void tst_HostileInputs::boundedOutcome()
{
    QFETCH(QString, path);
    QFETCH(QString, expected);
    QFETCH(qint64, maxMiB);
    const QString previous = files.filePath(QStringLiteral("previous.txt"));
    QVERIFY(writeFile(previous, queryText({}, {}, "the previous log")));
    window->openQuery(previous);

    ModalAnswerer answerer;
    const bool refused = expected.startsWith(QLatin1String("Couldn't"));
    if (refused)
        answerer.expectMessageBox();
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs")); // a new peak for VmHWM
    QVERIFY(clearRefs.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    QCOMPARE(clearRefs.write("5"), qint64(1));
    const qint64 baseKiB = processStatusKiB("VmRSS");
    QAction *jumpLog = window->findChild<QAction *>(QStringLiteral("actionJumpLog"));
    const std::function<void()> steps[] = {
        [&] { window->openQuery(path); },
        [&] { jumpLog->trigger(); },
        [&] { QTest::keyClick(view, Qt::Key_End, Qt::ControlModifier); },
        [&] { QTest::keyClick(view, Qt::Key_Home, Qt::ControlModifier); },
    };
    for (const auto &step : steps) {
        QElapsedTimer timer;
        timer.start();
        step();
        view->viewport()->repaint();
        QVERIFY2(timer.elapsed() <= 4000, qPrintable(QStringLiteral("%1 ms").arg(timer.elapsed())));
    }
    const qint64 extraMiB = (processStatusKiB("VmHWM") - baseKiB) / 1024;
    QVERIFY2(extraMiB <= maxMiB, qPrintable(QStringLiteral("%1 MiB more").arg(extraMiB)));

    QCOMPARE(answerer.boxes.join("").section('\n', 0, 0) + answerer.unexpected.join(""),
             refused ? "Uh-oh|" + expected : QString());
    const QString shown = view->toPlainText();
    QVERIFY2(shown.contains(refused ? "the previous log" : expected), qPrintable(shown.left(400)));
}

// The view's line count is what the fill makes blocks of: counting a CR LF
// pair twice refuses documents that fit, missing a break (U+FDD0 is the one
// the toolkit table does not hold) lets through ones that do not.
void tst_HostileInputs::viewLineCount()
{
    QVERIFY(viewText(QStringLiteral("\r\n").repeated(int(viewMaxLines) - 1)).fits);
    QVERIFY(!viewText(QString(int(viewMaxLines), QChar(0xFDD0))).fits);
}

// The fast view against the toolkit's own: one view is given the text with
// setPlainText and searched with QPlainTextEdit::find, the other goes through
// showQueryDocument and findInView. Catches a find that loses the cursor or
// the case folding, and a fill that splits a line break or a character. The
// match index, scanned in small steps, must hold the matches that stepping
// with the toolkit's find visits from the start, with their lines: catches
// a count of overlapping matches, positions or lines off after a CR LF or
// across a step, and a surrogate term folded otherwise than by the toolkit.
static QVector<int> state(QPlainTextEdit &view)
{
    return {view.document()->blockCount(),       view.document()->isUndoAvailable(),
            view.textCursor().anchor(),          view.textCursor().position(),
            view.horizontalScrollBar()->value(), view.verticalScrollBar()->value()};
}

void tst_HostileInputs::fastViewMatchesToolkit_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("terms");
    QTest::addColumn<int>("step"); // search from every step-th position

    QTest::newRow("abc abd ABC aaaa -> case-insensitive, overlapping, from the selection")
        << "abc abd ABC aaaa" << QStringList{"abc", "ABD", "abc abd abcx", "aa", ""} << 1;
    QTest::newRow("CR LF, lone CR, paragraph separator -> a break each, line separator none")
        << "one\r\ntwo\r\n\r\nthree\rd x\u2029yz a\u2028b\r"
        << QStringList{"TWO", "o\r", "one\ntwo", "\n", "d x", "a\u2028B", "\u2029"} << 1;
    QTest::newRow("non-breaking space, sharp s, Kelvin sign, surrogates -> folded as the toolkit")
        << "a\u00A0b a b Gr\u00F6\u00DFe \u212A \U0001F600 \U00010400\u00A0\U00010428"
        << QStringList{"a b", "a\u00A0b", "GR\u00D6", "k", "\U0001F600", "\U00010428 \U00010400"}
        << 1;
    QTest::newRow("long CR LF document -> pieces cut between lines, far matches scrolled to")
        << QStringLiteral("a line of filler text, sixty characters long, give or take\r\n")
                   .repeated(20000) +
               QStringLiteral("the END\r\n")
        << QStringList{"the end", "FILLER"} << 700000;
}

void tst_HostileInputs::fastViewMatchesToolkit()
{
    QFETCH(QString, text);
    QFETCH(QStringList, terms);
    QFETCH(int, step);
    QPlainTextEdit toolkit, ours;
    for (QPlainTextEdit *view : {&toolkit, &ours}) {
        view->setReadOnly(true);
        view->setLineWrapMode(QPlainTextEdit::NoWrap);
        view->setCenterOnScroll(true);
        view->resize(400, 300);
        view->show();
        QVERIFY(QTest::qWaitForWindowExposed(view));
        // A previous document, scrolled and with a selection, leaves no trace.
        view->setPlainText(QStringLiteral("line 400\n").repeated(500));
        QVERIFY(view->find(QStringLiteral("line 400")));
    }
    toolkit.setPlainText(text);
    showQueryDocument(&ours, text);
    QCOMPARE(ours.document()->toRawText(), toolkit.document()->toRawText());
    QCOMPARE(state(ours), state(toolkit));

    const int end = toolkit.document()->characterCount() - 1;
    const QTextDocument::FindFlags directions[] = {{}, QTextDocument::FindBackward};
    for (int anchor = 0; anchor <= end; anchor += step) {
        for (int position = anchor; position <= end; position += step) {
            for (const QString &term : terms) {
                for (const QTextDocument::FindFlags flags : directions) {
                    for (QPlainTextEdit *view : {&toolkit, &ours}) {
                        QTextCursor cursor = view->textCursor();
                        cursor.setPosition(anchor);
                        cursor.setPosition(position, QTextCursor::KeepAnchor);
                        view->setTextCursor(cursor);
                    }
                    const bool expected = toolkit.find(term, flags);
                    if (findInView(&ours, term, flags) != expected || state(ours) != state(toolkit))
                        QFAIL(qPrintable(QStringLiteral("\"%1\" %2 from %3-%4")
                                             .arg(term, QString::number(flags))
                                             .arg(anchor)
                                             .arg(position)));
                }
            }
        }
    }

    for (const QString &term : terms) {
        QVector<int> stops, lines;
        toolkit.moveCursor(QTextCursor::Start);
        while (toolkit.find(term)) {
            stops << toolkit.textCursor().selectionStart();
            if (lines.isEmpty() || lines.last() != toolkit.textCursor().blockNumber())
                lines << toolkit.textCursor().blockNumber();
        }
        MatchIndex index(searchedText(&ours), term);
        while (!index.scan(step == 1 ? 5 : 1 << 16)) {
        }
        QVector<int> indexed, indexedLines;
        for (int k = 0; k < index.count(); ++k)
            indexed << index.match(k).start;
        for (int row = 0; row < index.lineCount(); ++row)
            indexedLines << index.line(row).number;
        QCOMPARE(indexed, stops);
        QCOMPARE(indexedLines, lines);
        for (int at = 0; at <= end; at += step)
            QCOMPARE(index.indexOf(at), int(stops.indexOf(at)));
    }
}

// Heap bytes in use: unlike the resident size, the allocator's caching does
// not move them by megabytes.
static qint64 heapBytes()
{
#if defined(__SANITIZE_ADDRESS__)
    return qint64(__sanitizer_get_current_allocated_bytes());
#else
    return qint64(mallinfo2().uordblks + mallinfo2().hblkhd);
#endif
}

// Opening one query after another in one window keeps the heap level, and
// find works on every document. Without a leak the last 100 of 200 opens
// grow the heap by about 20 KB; keeping a tenth of each 200 KB document
// grows it by 4 MB.
void tst_HostileInputs::manyOpensKeepMemoryLevel()
{
    ModalAnswerer answerer;
    auto *field = window->findChild<QLineEdit *>(QStringLiteral("findLineEdit"));
    auto *findNext = window->findChild<QAction *>(QStringLiteral("actionFindNext"));
    const QByteArray log =
        QByteArray("Mar 14 08:00:00 brindle corvelle-printer[812]: card printed\n").repeated(1600);
    qint64 halfway = 0;
    for (int i = 0; i < 200; ++i) {
        const QByteArray serial = "ENDURANCE-" + QByteArray::number(i) + '-';
        const QByteArray text =
            queryText(settingLines({"id=" + serial}), settingLines({"a=b"}), log);
        const QString path = files.filePath(QStringLiteral("many.") + (i % 2 ? "zip" : "txt"));
        QVERIFY(i % 2 ? writeZip(path, {{QStringLiteral("query.txt"), text}})
                      : writeFile(path, text));
        window->openQuery(path);
        field->setText(QString::fromLatin1(serial));
        findNext->trigger();
        QCOMPARE(view->textCursor().selectedText(), field->text());
        if (i == 99)
            halfway = heapBytes();
    }
    QCOMPARE(answerer.boxes + answerer.unexpected, QStringList());
    const qint64 growth = heapBytes() - halfway;
    QVERIFY2(growth < MiB, qPrintable(QStringLiteral("grew %1 bytes").arg(growth)));
}

// Scrolling through a document with its matches highlighted keeps the heap
// level. Measuring a highlight makes its line's layout hold about 26 bytes a
// character until the line is drawn again; kept for the 600 lines of 5,100
// characters scrolled past, that is 78 MB.
void tst_HostileInputs::highlightsKeepMemoryLevel()
{
    auto *field = window->findChild<QLineEdit *>(QStringLiteral("findLineEdit"));
    auto *count = window->findChild<QLabel *>(QStringLiteral("findCountLabel"));
    showQueryDocument(view, QStringLiteral("ab ").repeated(1700).append('\n').repeated(600));
    field->setText(QStringLiteral("ab"));
    QTRY_COMPARE(count->text(), QStringLiteral("1,020,000 matches"));
    QScrollBar *bar = view->verticalScrollBar();
    const qint64 before = heapBytes();
    for (int top = 0; top <= bar->maximum(); top += bar->pageStep()) {
        bar->setValue(top);
        view->viewport()->repaint();
    }
    const qint64 growth = heapBytes() - before;
    field->clear();
    QVERIFY2(growth < 16 * MiB, qPrintable(QStringLiteral("grew %1 bytes").arg(growth)));
}

int main(int argc, char **argv)
{
    // As the program's entry point does.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    // The window opens its first argument: it must not see the test's own.
    int applicationArgc = 1;
    QApplication app(applicationArgc, argv);
    tst_HostileInputs test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_hostileinputs.moc"
