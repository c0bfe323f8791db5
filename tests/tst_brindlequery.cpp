#include "query/archive.h"
#include "query/querydocument.h"
#include "query/queryreader.h"
#include "queryfixture.h"
#include "testfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray setting(const QByteArray &key, const QByteArray &value)
{
    return "  <setting key=\"" + key + "\" value=\"" + value + "\"/>\n";
}

QByteArray query(const QByteArray &shipped, const QByteArray &primary, const QByteArray &log)
{
    QByteArray text =
        "<command name=\"cat\" args=\"/opt/corvelle/sdcard/settings/shipped\">\n" + shipped +
        "</command>\n<command name=\"cat\" args=\"/opt/corvelle/sdcard/settings/primary\">\n" +
        primary + "</command>\n";
    if (!log.isNull())
        text += "<command name=\"journalctl\" args=\"-u corvelle-printer\"><![CDATA[" + log +
                "]]></command>\n";
    return text;
}

bool writeZip(const QString &path, const QByteArray &text)
{
    return writeZip(path, {{QStringLiteral("dump/query.txt"), text}});
}

bool writeQuery(const QString &path, const QByteArray &text)
{
    return path.endsWith(QLatin1String(".zip")) ? writeZip(path, text) : writeFile(path, text);
}

const QByteArray rule(80, '-');

// The shipped settings of "changed", and its primary ones with one value
// changed, one duplicated, one removed and one added.
const QByteArray changedShipped =
    setting("id-model-name", "M") + setting("id-sales-region", "north") +
    setting("stats-cards", "10") + setting("volume", "3") + setting("dye-x", "1");
const QByteArray changedPrimary = setting("id-model-name", "M") +
                                  setting("id-sales-region", "south") +
                                  setting("stats-cards", "10") + setting("stats-cards", "11") +
                                  setting("volume", "3") + setting("brand-new", "1");
const QByteArray otherPrimary = setting("id-model-name", "M") +
                                setting("id-sales-region", "south") + setting("stats-cards", "10") +
                                setting("volume", "4");

struct Run
{
    int status = -1;
    QByteArray out;
    QByteArray err;
};

} // namespace

class TestBrindleQuery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void print_data();
    void print();
    void commands_data();
    void commands();

private:
    Run run(const QStringList &arguments) const;
    QString expand(QString text) const;

    QTemporaryDir dir;
    QStringList archiveFiles;
};

void TestBrindleQuery::initTestCase()
{
    QVERIFY(dir.isValid());
    const QByteArray entities =
        setting("id-model-name", "Model &amp; &#228; \xc3\xbc \xe2\x82\xac");
    const QByteArray crlfShipped = setting("volume", "1").replace("\n", "\r\n");
    const QByteArray crlfPrimary =
        QByteArray(setting("volume", "2") + setting("id-x", "y")).replace("\n", "\r\n");
    const QVector<QPair<QString, QByteArray>> fixtures = {
        {"small.txt",
         query(setting("id-model-name", "M"),
               setting("id-model-name", "M &amp; \xc3\xbc").replace("\n", "\r\n"), "boot\r\nok")},
        {"crlf.txt", query(crlfShipped, crlfPrimary, "line 1\r\nline 2\r\n")},
        {"entities.zip", query(entities, entities, "\xe6\x97\xa5\xe6\x9c\xac &lt;ok&gt;\n")},
        {"nolog.zip", query(changedShipped, changedPrimary, QByteArray())},
        {"changed.zip", query(changedShipped, changedPrimary, "log")},
        {"same.txt", query(changedShipped, changedShipped, "log")},
        {"other.txt", query(QByteArray(), otherPrimary, "log")},
        {"noshipped.txt",
         "<command name=\"cat\" args=\"/opt/corvelle/sdcard/settings/primary\">\n</command>\n"},
        {"noprimary.txt", "no settings here\n"},
    };
    // Over a megabyte of surrogate pairs, at both parities, so that the output's
    // block boundaries fall inside a pair whatever the block size.
    const QByteArray pairs = QByteArray("\xf0\x9f\x98\x80").repeated(700000);
    QVERIFY(writeQuery(dir.filePath("pairs-even.zip"), query({}, {}, pairs)));
    QVERIFY(writeQuery(dir.filePath("pairs-odd.zip"), query({}, {}, "x" + pairs)));
    for (const auto &fixture : fixtures)
        QVERIFY(writeQuery(dir.filePath(fixture.first), fixture.second));

    QVERIFY(QDir().mkpath(archivePath));
    archiveFiles = QStringList{archivePath + "/SER-1.zip", archivePath + "/BROKEN.zip",
                               archivePath + "/../x.zip"};
    QVERIFY(writeZip(archiveFiles.at(0), query(QByteArray(), otherPrimary, "log")));
    QVERIFY(writeFile(archiveFiles.at(1), "not a zip"));
    QVERIFY(writeZip(archiveFiles.at(2), query(QByteArray(), otherPrimary, "log")));
}

void TestBrindleQuery::cleanupTestCase()
{
    for (const QString &file : qAsConst(archiveFiles))
        QFile::remove(file);
}

Run TestBrindleQuery::run(const QStringList &arguments) const
{
    Run result;
    QProcess process;
    process.start(QCoreApplication::applicationDirPath() + "/brindle-query", arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.status = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

QString TestBrindleQuery::expand(QString text) const
{
    return text.replace("%d", dir.path());
}

void TestBrindleQuery::print_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("handWritten");

    const QByteArray emptyGroups(6, '\n');
    QTest::newRow("small.txt -> hand-written document")
        << QStringList{"print", "%d/small.txt"}
        << QByteArray("PRIMARY (CURRENT) SETTINGS\n\nid-model-name\tM &amp; \xc3\xbc\n\n" +
                      emptyGroups + rule +
                      "\n\nSHIPPED (FACTORY) SETTINGS\n\nid-model-name\tM\n\n" + emptyGroups +
                      rule + "\n\nLOG FILE\n\nboot\r\nok\n" + rule + "\n");
    QTest::newRow("CR LF lines and log -> CRs kept")
        << QStringList{"print", "%d/crlf.txt"} << QByteArray();
    QTest::newRow("entities, non-ASCII, zip -> verbatim")
        << QStringList{"print", "%d/entities.zip"} << QByteArray();
    QTest::newRow("no log -> ends with shipped block")
        << QStringList{"print", "%d/nolog.zip"} << QByteArray();
    QTest::newRow("surrogate pairs, even offset -> intact")
        << QStringList{"print", "%d/pairs-even.zip"} << QByteArray();
    QTest::newRow("surrogate pairs, odd offset -> intact")
        << QStringList{"print", "%d/pairs-odd.zip"} << QByteArray();
    QTest::newRow("--serial SER-1 -> the archive file")
        << QStringList{"print", "--serial", "SER-1"} << QByteArray();
}

void TestBrindleQuery::print()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, handWritten);
    for (QString &argument : arguments)
        argument = expand(argument);

    const Run result = run(arguments);

    const QString path =
        arguments.at(1) == "--serial" ? archiveFileForSerial(arguments.at(2)) : arguments.at(1);
    const QByteArray viewer = assembleQueryDocument(readQueryFile(path)).toUtf8();
    QCOMPARE(result.status, 0);
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.out, viewer);
    if (!handWritten.isNull())
        QCOMPARE(result.out, handWritten);
}

void TestBrindleQuery::commands_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("out");
    // The one line on standard error must contain this.
    QTest::addColumn<QString>("err");

    const QByteArray changedText = "id-sales-region\t\"north\"\t\"south\"\n"
                                   "stats-cards\t\"10\"\t\"10\" \"11\"\n"
                                   "dye-x\t\"1\"\t(missing)\n"
                                   "brand-new\t(missing)\t\"1\"\n";
    const QByteArray comparedText = "stats-cards\t\"10\" \"11\"\t\"10\"\n"
                                    "brand-new\t\"1\"\t(missing)\n"
                                    "volume\t\"3\"\t\"4\"\n";
    const QByteArray swappedText = "stats-cards\t\"10\"\t\"10\" \"11\"\n"
                                   "brand-new\t(missing)\t\"1\"\n"
                                   "volume\t\"4\"\t\"3\"\n";
    const QByteArray changedJson = R"({"differences": [
        {"key": "id-sales-region", "group": "market", "factory": ["north"], "current": ["south"]},
        {"key": "stats-cards", "group": "statistics", "factory": ["10"], "current": ["10", "11"]},
        {"key": "dye-x", "group": "dye", "factory": ["1"], "current": []},
        {"key": "brand-new", "group": "other", "factory": [], "current": ["1"]}]})";
    const QByteArray comparedJson = R"({"differences": [
        {"key": "stats-cards", "group": "statistics", "a": ["10", "11"], "b": ["10"]},
        {"key": "brand-new", "group": "other", "a": ["1"], "b": []},
        {"key": "volume", "group": "other", "a": ["3"], "b": ["4"]}]})";
    const QString unreadable = QStringLiteral(": Couldn't read the query file.");
    const QString notInArchive = QStringLiteral(": Couldn't find printer in archive.");

    QTest::newRow("diff same -> 0, nothing")
        << QStringList{"diff", "%d/same.txt"} << 0 << QByteArray() << QString();
    QTest::newRow("diff changed -> 1, text")
        << QStringList{"diff", "%d/changed.zip"} << 1 << changedText << QString();
    QTest::newRow("diff --json changed -> 1, JSON")
        << QStringList{"diff", "--json", "%d/changed.zip"} << 1 << changedJson << QString();
    QTest::newRow("compare same file -> 0")
        << QStringList{"compare", "%d/changed.zip", "%d/changed.zip"} << 0 << QByteArray()
        << QString();
    QTest::newRow("compare file file -> 1, text")
        << QStringList{"compare", "%d/changed.zip", "%d/other.txt"} << 1 << comparedText
        << QString();
    QTest::newRow("compare --json -> 1, JSON")
        << QStringList{"--json", "compare", "%d/changed.zip", "%d/other.txt"} << 1 << comparedJson
        << QString();
    QTest::newRow("compare file, serial -> file is a")
        << QStringList{"compare", "%d/changed.zip", "--serial", "SER-1"} << 1 << comparedText
        << QString();
    QTest::newRow("compare serial, file -> serial is a")
        << QStringList{"compare", "--serial=SER-1", "%d/changed.zip"} << 1 << swappedText
        << QString();
    QTest::newRow("--version -> 0, version")
        << QStringList{"--version"} << 0 << QByteArray("brindle-query " BRINDLE_VERSION "\n")
        << QString();

    QTest::newRow("no command -> 2")
        << QStringList{} << 2 << QByteArray() << "brindle-query: No command given.";
    QTest::newRow("unknown command -> 2") << QStringList{"show", "%d/same.txt"} << 2 << QByteArray()
                                          << "brindle-query: Unknown command \"show\".";
    QTest::newRow("unknown option -> 2")
        << QStringList{"print", "--bogus", "%d/same.txt"} << 2 << QByteArray() << "bogus";
    QTest::newRow("print two operands -> 2")
        << QStringList{"print", "%d/same.txt", "--serial", "SER-1"} << 2 << QByteArray()
        << "print takes one FILE";
    QTest::newRow("compare one operand -> 2")
        << QStringList{"compare", "%d/same.txt"} << 2 << QByteArray() << "compare takes two";
    QTest::newRow("print --json -> 2")
        << QStringList{"print", "--json", "%d/same.txt"} << 2 << QByteArray() << "--json";
    QTest::newRow("missing file -> 2, unreadable")
        << QStringList{"print", "%d/missing.txt"} << 2 << QByteArray()
        << QString("%d/missing.txt" + unreadable);
    QTest::newRow("second compare operand unreadable -> 2")
        << QStringList{"compare", "%d/same.txt", "%d/missing.txt"} << 2 << QByteArray()
        << QString("%d/missing.txt" + unreadable);
    QTest::newRow("diff without shipped section -> 2")
        << QStringList{"diff", "%d/noshipped.txt"} << 2 << QByteArray()
        << "%d/noshipped.txt: No shipped (factory) settings in the query file.";
    QTest::newRow("compare without primary section -> 2")
        << QStringList{"compare", "%d/same.txt", "%d/noprimary.txt"} << 2 << QByteArray()
        << "%d/noprimary.txt: No primary (current) settings in the query file.";
    QTest::newRow("unknown serial -> 2, not in archive")
        << QStringList{"print", "--serial", "NOPE"} << 2 << QByteArray()
        << QString("serial NOPE" + notInArchive);
    QTest::newRow("serial with a blank -> 2, not in archive")
        << QStringList{"diff", "--serial", " SER-1"} << 2 << QByteArray()
        << QString("serial  SER-1" + notInArchive);
    QTest::newRow("serial ../x, file there -> 2, not in archive")
        << QStringList{"print", "--serial", "../x"} << 2 << QByteArray()
        << QString("serial ../x" + notInArchive);
    QTest::newRow("serial of a broken zip -> 2, unreadable")
        << QStringList{"print", "--serial", "BROKEN"} << 2 << QByteArray()
        << QString("serial BROKEN" + unreadable);
}

void TestBrindleQuery::commands()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QByteArray, out);
    QFETCH(QString, err);
    for (QString &argument : arguments)
        argument = expand(argument);

    const Run result = run(arguments);

    QCOMPARE(result.status, status);
    if (out.startsWith('{'))
        QCOMPARE(QJsonDocument::fromJson(result.out), QJsonDocument::fromJson(out));
    else
        QCOMPARE(result.out, out);
    if (err.isEmpty()) {
        QCOMPARE(result.err, QByteArray());
    } else {
        QCOMPARE(result.err.count('\n'), 1);
        QVERIFY(result.err.endsWith('\n'));
        QVERIFY2(QString::fromLocal8Bit(result.err).contains(expand(err)), result.err.constData());
    }
}

QTEST_GUILESS_MAIN(TestBrindleQuery)
#include "tst_brindlequery.moc"
