#include "query/archive.h"
#include "query/querydocument.h"
#include "query/queryreader.h"
#include "queryfixture.h"
#include "testfiles.h"

#include <QtTest>

// changed.zip's primary settings as b against SER-1's as a.
static const QByteArray changedJson = R"({"differences": [
    {"key": "stats-cards", "group": "statistics", "a": ["10"], "b": ["10", "10"]},
    {"key": "Zeta", "group": "other", "a": [], "b": [""]},
    {"key": "alpha", "group": "other", "a": ["1"], "b": ["2"]},
    {"key": "fake", "group": "other", "a": [], "b": ["s\rmaintenance-challenge\t0", "\u2028\u202eq"]},
    {"key": "t\tab", "group": "other", "a": [], "b": ["\\ &amp;\u001b[2J\u007f\u009b\r"]}]})";

class TestBrindleQuery : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    // Beside the archive folder's own, one just outside it, where an unchecked
    // serial would reach.
    const QStringList archiveFiles{archivePath + "/SER-1.zip", archivePath + "/../x.zip",
                                   archivePath + "/BROKEN.zip"};

private slots:
    void initTestCase()
    {
        // Against its shipped settings, "changed" has keys changed, duplicated,
        // removed and added (one empty, one that needs escaping), and no log.
        // SER-1's sections are equal, with CR LF line ends; as a whole it
        // differs from changed's primary settings in four keys.
        const QByteArrayList same{"id-model-name=M", "id-sales-region=south", "stats-cards=10"};
        const QByteArray other = settingLines(same + QByteArrayList{"alpha=1"}, "\r\n");
        const QByteArray changed =
            queryText(settingLines({"id-model-name=M", "id-sales-region=north", "stats-cards=10",
                                    "dye-x=1", "alpha=1"}),
                      settingLines(same + QByteArrayList{"stats-cards=10", "Zeta=", "alpha=2",
                                                         "t\tab=\\ &amp;\x1b[2J\x7f\xc2\x9b\r",
                                                         "fake=s\rmaintenance-challenge\t0",
                                                         "fake=\u2028\u202eq"}));
        // Surrogate pairs at both parities around the output's block boundaries
        // (every mebi-character): the odd character moves the later ones by one.
        const QByteArray pairs = QByteArray("\xf0\x9f\x98\x80").repeated(700000);
        QVERIFY(QDir().mkpath(archivePath));
        for (const QString &file : archiveFiles.mid(0, 2))
            QVERIFY(writeZip(file, {{"dump/query.txt", queryText(other, other)}}));
        QVERIFY(writeZip(dir.filePath("changed.zip"), {{"dump/query.txt", changed}}));
        QVERIFY(writeZip(dir.filePath("pairs.zip"),
                         {{"q.txt", queryText({}, {}, pairs + "x" + pairs)}}));
        QVERIFY(writeFile(dir.filePath("none.txt"), "no settings here\n"));
        // Sections whose marker is there but whose command printed no setting.
        QVERIFY(writeFile(dir.filePath("failed.txt"),
                          queryText(other, "cat: can't open '/opt/corvelle/sdcard/settings'\n")));
        QVERIFY(writeFile(dir.filePath("noshipped.txt"), queryText("", other)));
        QVERIFY(writeZip(dir.filePath("secret.zip"),
                         {{"\x1b]0;owned\x07\x1b[2J.txt", queryText(other, other)}}, "pw"));
        QVERIFY(writeFile(archiveFiles.last(), "not a zip"));
    }

    void cleanupTestCase()
    {
        for (const QString &file : archiveFiles)
            QFile::remove(file);
    }

    // Standard output, null for print, whose output must be the viewer's
    // document of its file; the one line on standard error must contain err.
    void run_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QString>("err");

        QTest::newRow("print surrogate pairs -> the viewer's document, intact")
            << QStringList{"print", "%d/pairs.zip"} << 0 << QByteArray() << QString();
        QTest::newRow("print values that fake lines or reverse text -> the viewer's, escaped")
            << QStringList{"print", "%d/changed.zip"} << 0 << QByteArray() << QString();
        QTest::newRow("diff --json CR LF, equal -> 0, empty list")
            << QStringList{"diff", "--json", "--serial", "SER-1"} << 0
            << QByteArray(R"({"differences": []})") << QString();
        QTest::newRow("diff changed -> 1, group order, code-unit order, escaped")
            << QStringList{"diff", "%d/changed.zip"} << 1
            << QByteArray(
                   "id-sales-region\t\"north\"\t\"south\"\nstats-cards\t\"10\"\t\"10\" \"10\"\n"
                   "dye-x\t\"1\"\t(missing)\nZeta\t(missing)\t\"\"\nalpha\t\"1\"\t\"2\"\n"
                   "fake\t(missing)\t\"s\\rmaintenance-challenge\\t0\" \"\\u2028\\u202eq\"\n"
                   "t\\tab\t(missing)\t\"\\\\ &amp;\\x1b[2J\\x7f\\x9b\\r\"\n")
            << QString();
        QTest::newRow("--json compare serial, file -> 1, JSON not escaped, serial is a")
            << QStringList{"--json", "compare", "--serial=SER-1", "%d/changed.zip"} << 1
            << changedJson << QString();

        const auto trouble = [](const QStringList &arguments, const QString &err) {
            const QString name = "brindle-query " + arguments.join(' ') + " -> 2, " + err;
            QTest::newRow(qPrintable(name)) << arguments << 2 << QByteArray() << err;
        };
        const QString unreadable = ": Couldn't read the query file. ";
        const QString notInArchive = ": Couldn't find printer in archive.";
        trouble({}, "No command given.");
        trouble({"show", "%d/changed.zip"}, "Unknown command \"show\".");
        trouble({"print", "%d/changed.zip", "--serial", "SER-1"}, "print takes one FILE");
        trouble({"compare", "%d/changed.zip"}, "compare takes two");
        trouble({"print", "--json", "%d/changed.zip"}, "--json");
        trouble({"print", "%d/missing.txt"}, "%d/missing.txt" + unreadable + "The file does not");
        trouble({"diff", "%d/none.txt"}, "%d/none.txt: No shipped (factory) settings");
        trouble({"diff", "%d/noshipped.txt"}, "%d/noshipped.txt: No shipped (factory) settings");
        trouble({"compare", "%d/changed.zip", "%d/failed.txt"},
                "%d/failed.txt: No primary (current) settings");
        trouble({"print", "%d/secret.zip"},
                "secret.zip" + unreadable + "The archive's entry \\x1b]0;owned\\x07\\x1b[2J.txt");
        trouble({"print", "--serial", "NOPE"}, "serial NOPE" + notInArchive);
        trouble({"print", "--serial", "../x"}, "serial ../x" + notInArchive);
        trouble({"print", "--serial", "BROKEN"}, "BROKEN" + unreadable + "It is not a ZIP archive");
    }

    void run()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QByteArray, out);
        QFETCH(QString, err);
        err.replace("%d", dir.path());
        for (QString &argument : arguments)
            argument.replace("%d", dir.path());

        QProcess process;
        process.start(QCoreApplication::applicationDirPath() + "/brindle-query", arguments);
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), status);
        const QByteArray output = process.readAllStandardOutput();
        const QByteArray error = process.readAllStandardError();
        if (arguments.value(0) == "print" && status == 0)
            out = assembleQueryDocument(readQueryFile(arguments.at(1))).text.toUtf8();
        if (out.startsWith('{'))
            QCOMPARE(QJsonDocument::fromJson(output), QJsonDocument::fromJson(out));
        else
            QCOMPARE(output, out);
        QVERIFY2(err.isEmpty() ? error.isEmpty()
                               : error.count('\n') == 1 && error.endsWith('\n') &&
                                     error.startsWith("brindle-query: ") &&
                                     QString::fromLocal8Bit(error).contains(err),
                 error.constData());
    }
};

QTEST_GUILESS_MAIN(TestBrindleQuery)
#include "tst_brindlequery.moc"
