#include "modalanswerer.h"
#include "queryfixture.h"
#include "testfiles.h"

#include "query/querydocument.h"
#include "query/viewtext.h"
#include "ui/brindlequerytool.h"

#include <QAction>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <sys/stat.h>

constexpr qint64 MiB = 1024 * 1024;

class tst_HostileInputs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void boundedOutcome_data();
    void boundedOutcome();
    void viewLineCount();

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
    const QString onlySetting = primaryHeading + QString(8, QLatin1Char('\n'));
    row("100000 backtracking settings lines -> document", ".txt",
        writeFile(next(".txt"),
                  queryText({}, trap.repeated(100000) + "  <s key=\"z\" value=\"1\"/>\n")),
        onlySetting + QStringLiteral("z\t1\n\n"), 256);
    const int tenMB = 10 * 1000 * 1000;
    row("settings line of 10 MB of keys, value never closed -> next line", ".txt",
        writeFile(next(".txt"),
                  queryText({}, "  <s " + QByteArray("key=\"x\" ").repeated(tenMB / 8) +
                                    "value=\"open\n  <s key=\"small\" value=\"1\"/>\n")),
        onlySetting + QStringLiteral("small\t1\n\n"), 256);
    row("settings line of 10 MB of pairs, unclosed tail -> last whole pair", ".txt",
        writeFile(next(".txt"),
                  queryText({}, "  <s " +
                                    QByteArray("key=\"x\" value=\"v\" ").repeated(tenMB / 18) +
                                    "value=\"open\n")),
        onlySetting + QStringLiteral("x\tv\n\n"), 256);

    row("invalid UTF-8 -> replacement characters", ".txt",
        writeFile(next(".txt"), queryText({}, "  <s key=\"a\xff\" value=\"\xc3(\"/>\n")),
        onlySetting + QString::fromUtf8("a\xef\xbf\xbd\t\xef\xbf\xbd(\n\n"));

    const QString x(viewLineLimit, QLatin1Char('x'));
    row("log line at the display limit -> shown whole", ".txt",
        writeFile(next(".txt"), log(x.toLatin1() + '\n')), '\n' + x + '\n');
    row("log line one over the limit -> cut, marked", ".txt",
        writeFile(next(".txt"), log(x.toLatin1() + "x\n")),
        x + QStringLiteral("\u2026 [1 more character]\n"));
    row("emoji across the cut -> cut before it", ".txt",
        writeFile(next(".txt"), log(x.toLatin1().mid(1) + "\xf0\x9f\x98\x80y")),
        x.mid(1) + QStringLiteral("\u2026 [2 more characters]\n"));
    row("60 MB log line -> cut, marked", ".txt",
        writeFile(next(".txt"), log(QByteArray(60000000, 'x'))),
        x + QStringLiteral("\u2026 [59,980,000 more characters]\n"), 512);
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

    const QString shown = view->toPlainText();
    QVERIFY(answerer.unexpected.isEmpty());
    if (refused) {
        QCOMPARE(answerer.boxes.value(0).section(QLatin1Char('\n'), 0, 0),
                 QStringLiteral("Uh-oh|") + expected);
        QVERIFY(shown.contains(QLatin1String("the previous log")));
    } else {
        QVERIFY(answerer.boxes.isEmpty());
        QVERIFY2(shown.contains(expected), qPrintable(shown.left(400)));
    }
}

// The view's line count is what the fill makes blocks of: counting a CR LF
// pair twice refuses documents that fit, missing a break lets through ones
// that do not.
void tst_HostileInputs::viewLineCount()
{
    QVERIFY(viewText(QStringLiteral("\r\n").repeated(int(viewMaxLines) - 1)).fits);
    QVERIFY(!viewText(QString(int(viewMaxLines), QChar(0x2029))).fits);
    QVERIFY(!viewText(QString(int(viewMaxLines), QChar(0xFDD0))).fits);
    QVERIFY(!viewText(QString(int(viewMaxLines), QLatin1Char('\r'))).fits);
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
