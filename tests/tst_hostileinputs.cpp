#include "modalanswerer.h"
#include "queryfixture.h"
#include "testfiles.h"

#include "query/matchindex.h"
#include "query/querydocument.h"
#include "query/queryreader.h"
#include "query/viewtext.h"
#include "ui/brindlequerytool.h"
#include "ui/queryview.h"

#include <QtTest>
#include <QtWidgets>

#include <cstdio>
#include <memory>
#include <sys/stat.h>

#if defined(__SANITIZE_ADDRESS__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

constexpr qint64 MiB = 1024 * 1024;

// What each entry point may cost for one file of the cost matrix: memory,
// and processor time (the clock would stretch with the machine's load).
constexpr qint64 entryMiB = 256;
constexpr int entrySeconds = 5;

class tst_HostileInputs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void costMatrix_data();
    void costMatrix();
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

// One file just past each limit along every cost dimension, generated
// compressed, through every entry point: the viewer's open, Compare and
// Reload (a child process of this test, offscreen), and brindle-query's
// print, diff, compare and export, each a process of its own under a memory
// limit and a limit of processor time. Each must end with the documented
// refusal (the same reason everywhere) or a correct result; never an abort,
// a kill or a hang. Catches a cost paid before it is checked (the empty and keyless
// lines of a section stored, an escape built before it is measured, the
// view's lines counted after the document is built), a limit missing at one
// entry point, and a refusal that reads differently in one of them.
void tst_HostileInputs::costMatrix_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("reason");     // the refusal, or empty
    QTest::addColumn<bool>("viewRefused");   // only the viewer refuses: the view's limits
    QTest::addColumn<QString>("shown");      // in the viewer's document
    QTest::addColumn<QByteArray>("printed"); // in print's output
    const QByteArray own = settingLines({"id-printer-serial=HOSTILE"});
    const QString serial = QStringLiteral("id-printer-serial\tHOSTILE");
    int rowNumber = 0;
    const auto row = [&](const char *name, bool written, const QString &reason,
                         const QString &shown = QString(), const QByteArray &printed = {},
                         bool viewRefused = false) {
        QVERIFY2(written, name);
        QTest::newRow(name) << files.filePath(QStringLiteral("matrix/%1/q.zip").arg(rowNumber++))
                            << reason << viewRefused << shown << printed;
    };
    const auto next = [&] {
        const QString path = files.filePath(QStringLiteral("matrix/%1/q.zip").arg(rowNumber));
        QDir().mkpath(QFileInfo(path).path());
        return path;
    };
    const auto zipped = [&](const QByteArray &primary, const QByteArray &log = QByteArray()) {
        return writeZip(next(),
                        {{QStringLiteral("query.txt"), queryText(own, own + primary, log)}});
    };
    const QString primary = QStringLiteral("primary (current)");

    row("entry recording 512 MiB + 1 -> refused", writeZipBomb(next(), 1, 512 * MiB + 1),
        "The archive's entry query.txt is larger than 512 MiB.");
    row("entry inflating past its recorded 1000 bytes -> refused", writeZipBomb(next(), 64, 1000),
        "The archive's entry query.txt is damaged: its data does not match its recorded size or "
        "checksum.");
    QVector<ZipEntry> entries;
    for (int i = 0; i < maxArchiveEntries; ++i)
        entries.append({QStringLiteral("e%1/").arg(i), QByteArray()});
    entries.append({QStringLiteral("query.txt"), queryText(own, own)});
    row("1,001 archive entries -> refused", writeZip(next(), entries),
        "The archive holds more than 1,000 entries.");
    row("4,000,000 empty lines and 4,000,000 without a key in a section -> passed over",
        zipped(QByteArray(4000000, '\n') + QByteArray("x\n").repeated(4000000)), QString(), serial,
        "HOSTILE");
    const QString tooManyLines =
        QStringLiteral("The commands that print the %1 settings print more than 100,000 setting "
                       "lines.")
            .arg(primary);
    row("100,001 setting lines in a section -> refused",
        zipped(QByteArray("key=\"k\" value=\"v\"\n").repeated(maxSettingLines)), tooManyLines);
    // Each cat within the limit: 330 of them took 20 s to match.
    const QByteArray half = QByteArray("key=\"k\" value=\"v\"\n").repeated(maxSettingLines / 2);
    row("a second cat of the section, 100,001 setting lines in all -> refused",
        writeZip(next(),
                 {{QStringLiteral("query.txt"), queryText(own, own + half) + queryText({}, half)}}),
        tooManyLines);
    const QByteArray longLine = "key=\"k\" value=\"\"";
    row("setting line of 12,000,001 characters -> refused",
        zipped(longLine.left(15) + QByteArray(maxSettingLineLength + 1 - longLine.size(), 'v') +
               "\"\n"),
        QStringLiteral("A setting line of the %1 settings is longer than 12,000,000 characters.")
            .arg(primary));
    row("value of 4,000,000 control characters -> refused, escaped it is too long",
        zipped("key=\"k\" value=\"" + QByteArray(maxSettingsBlockLength / 4, '\x01') + "\"\n"),
        QStringLiteral("The %1 settings would be longer than 16,000,000 characters once escaped.")
            .arg(primary));
    const QByteArray x(viewLineLimit + 1, 'x');
    row("log line of 20,001 characters -> cut in the view, whole in print", zipped({}, x + '\n'),
        QString(),
        QString::fromLatin1(x.left(viewLineLimit)) + QStringLiteral("\u2026 [1 more character]\n"),
        x + '\n');
    const QByteArray marks = "e" + QString(viewLineLimit - 1, QChar(0x0301)).toUtf8() + '\n';
    row("19,999 combining marks after a letter -> cut in the view, whole in print",
        zipped({}, marks), QString(),
        "e" + QString(32, QChar(0x0301)) + "\u2026 [19,967 more combining marks]\n", marks);
    row("log of 2,500,000 lines -> the view refuses, print writes it",
        zipped({}, QByteArray(int(viewMaxLines), '\n') + "end"), QString(), QString(),
        QByteArray(100000, '\n') + "end\n", true);
}

void tst_HostileInputs::costMatrix()
{
    QFETCH(QString, path);
    QFETCH(QString, reason);
    QFETCH(bool, viewRefused);
    QFETCH(QString, shown);
    QFETCH(QByteArray, printed);
    const QString brindleQuery = QCoreApplication::applicationDirPath() + "/brindle-query";
    // As the rows' own current settings, so that compare finds no difference.
    const QString own = files.filePath(QStringLiteral("matrix/own.txt"));
    const QByteArray ownSettings = settingLines({"id-printer-serial=HOSTILE"});
    QVERIFY(writeFile(own, queryText(ownSettings, ownSettings)));
    const QVector<LimitedCommand> commands{
        {{QCoreApplication::applicationFilePath(), "--entry-points", path,
          QUrl::toPercentEncoding(shown)},
         3 * entrySeconds},
        {{brindleQuery, "print", path}, entrySeconds},
        {{brindleQuery, "diff", path}, entrySeconds},
        {{brindleQuery, "compare", path, own}, entrySeconds},
        {{brindleQuery, "export", "--jsonl", QFileInfo(path).path()}, entrySeconds},
    };
    const QVector<ChildRun> runs = runLimited(commands, entryMiB);
    for (int i = 0; i < runs.size(); ++i) {
        const ChildRun &run = runs.at(i);
        QVERIFY2(run.exited && run.peakMiB <= entryMiB,
                 qPrintable(QStringLiteral("%1: status %2, %3 MiB: %4")
                                .arg(commands.at(i).command.mid(0, 2).join(' '))
                                .arg(run.status)
                                .arg(run.peakMiB)
                                .arg(QString::fromLocal8Bit(run.err.right(300)))));
    }

    const QString readRefusal = "Uh-oh|Couldn't read the query file.|" + reason;
    const QString shownOutcome =
        !reason.isEmpty() ? readRefusal
        : viewRefused     ? QStringLiteral("Uh-oh|Couldn't show the query file.|It has 2,500,0")
                          : QStringLiteral("shown");
    const QStringList expected{"open\t" + shownOutcome,
                               "compare\t" + (reason.isEmpty() ? "compared" : readRefusal),
                               "reload\t" + shownOutcome};
    const QStringList outcomes = QString::fromUtf8(runs.at(0).out).trimmed().split('\n');
    QCOMPARE(outcomes.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QVERIFY2(outcomes.at(i).startsWith(expected.at(i)), qPrintable(outcomes.at(i)));

    for (int i = 1; i <= 3; ++i) {
        const ChildRun &run = runs.at(i);
        if (reason.isEmpty()) {
            QCOMPARE(run.status, 0);
            QVERIFY(i != 1 || run.out.contains(printed));
        } else {
            QCOMPARE(run.status, 2);
            QCOMPARE(QString::fromUtf8(run.err),
                     "brindle-query: " + path + ": Couldn't read the query file. " + reason + '\n');
        }
    }
    QCOMPARE(runs.at(4).status, reason.isEmpty() ? 0 : 1);
    QCOMPARE(QJsonDocument::fromJson(runs.at(4).out).object().value("refusal").toString(), reason);
}

// What the user sees for each file the reader refuses and each line the
// matcher or the view's cuts must bear: the read failure, with the previous
// document still shown, or a document holding the expected text. The open,
// then Ctrl+L, Ctrl+End and Ctrl+Home must each take at most 4 s and the
// whole at most maxMiB more memory, under the sanitizers too: without the
// bounds a few KB freeze the window for half a minute and take gigabytes.
// The limits of a query file's costs are the cost matrix's.
void tst_HostileInputs::boundedOutcome_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected"); // the warning's first line, or document text
    QTest::addColumn<qint64>("maxMiB");
    const QString unreadable = QStringLiteral("Couldn't read the query file.");
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

    row("ZIP64 entry of 4.5 GiB -> read failure", ".zip",
        writeZipBomb(next(".zip"), 4608, 4608 * MiB), unreadable);
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

    const QByteArray trap =
        "  <s " + QByteArray("key=\"k\" ").repeated(10) + "value=\"" + QByteArray(60, 'v') + "\n";
    const QByteArray keys = "  <s " + QByteArray("key=\"x\" ").repeated(1250000);
    const QByteArray pairs = "  <s " + QByteArray("key=\"x\" value=\"v\" ").repeated(555555);
    const QString setting = primaryHeading + QString(8, QLatin1Char('\n'));
    // As many setting lines as a section may hold.
    text("100,000 backtracking settings lines -> document",
         queryText({}, trap.repeated(maxSettingLines - 1) + "  <s key=\"z\" value=\"1\"/>\n"),
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

// The cost matrix's child: the viewer's entry points for one file, each as
// one line "entry TAB outcome", where the outcome is the warning (its lines
// joined by "|"), "shown" when the document holds shown, or "compared".
static int entryPoints(const QString &path, const QString &shown)
{
    QTemporaryDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    BrindleQueryTool window;
    window.resize(1000, 700);
    window.show();
    auto *view = window.findChild<QPlainTextEdit *>(QStringLiteral("queryTextEdit"));
    const QByteArray good = queryText(settingLines({"a=1"}), settingLines({"a=1"}));
    const QString other = settings.filePath(QStringLiteral("other.zip"));
    const QString reloaded = settings.filePath(QStringLiteral("reloaded.zip"));
    if (!writeZip(other, {{QStringLiteral("query.txt"), good}}) || !QFile::copy(other, reloaded))
        return 1;
    QMimeData dropped;
    dropped.setUrls({QUrl::fromLocalFile(path)});
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::ShiftModifier);
    const auto step = [&](const char *name, const std::function<void()> &run) {
        ModalAnswerer answerer;
        answerer.expectMessageBox();
        run();
        const QString outcome =
            !answerer.boxes.isEmpty() ? answerer.boxes.first().replace(QLatin1Char('\n'), '|')
            : window.windowTitle().contains(QLatin1String("compared with")) ? "compared"
            : view->toPlainText().contains(shown)                           ? "shown"
                                                                            : "not shown";
        std::printf("%s\t%s\n", name, outcome.toUtf8().constData());
    };
    step("open", [&] { window.openQuery(path); });
    window.openQuery(other);
    step("compare", [&] {
        static_cast<QObject &>(window).event(&drop);
        QCoreApplication::sendPostedEvents();
    });
    window.openQuery(reloaded);
    if (!QFile::remove(reloaded) || !QFile::copy(path, reloaded))
        return 1;
    step("reload", [&] { window.findChild<QAction *>(QStringLiteral("actionReload"))->trigger(); });
    return 0;
}

int main(int argc, char **argv)
{
    // As the program's entry point does.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    // The window opens its first argument: it must not see the test's own.
    int applicationArgc = 1;
    QApplication app(applicationArgc, argv);
    QStandardPaths::setTestModeEnabled(true);
    if (argc == 4 && qstrcmp(argv[1], "--entry-points") == 0)
        return entryPoints(QString::fromLocal8Bit(argv[2]), QUrl::fromPercentEncoding(argv[3]));
    tst_HostileInputs test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_hostileinputs.moc"
