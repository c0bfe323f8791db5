#include "query/archive.h"
#include "query/querydocument.h"
#include "query/queryreader.h"
#include "queryfixture.h"
#include "testfiles.h"

#include <QtTest>
#include <sqlite3.h>

// changed.zip's primary settings as b against SER-1's as a.
static const QByteArray changedJson = R"({"differences": [
    {"key": "stats-cards", "group": "statistics", "a": ["10"], "b": ["10", "10"]},
    {"key": "Zeta", "group": "other", "a": [], "b": [""]},
    {"key": "alpha", "group": "other", "a": ["1"], "b": ["2"]},
    {"key": "fake", "group": "other", "a": [], "b": ["s\rmaintenance-challenge\t0", "\u2028\u202e\u200eq"]},
    {"key": "t\tab", "group": "other", "a": [], "b": ["\\ &amp;\u001b[2J\u007f\u009b\r"]}]})";

// The rows of a query, columns joined by "|", one line each; an error's text.
static QString sqlRows(const QString &database, const QString &sql)
{
    sqlite3 *db = nullptr;
    sqlite3_stmt *statement = nullptr;
    sqlite3_open(QFile::encodeName(database).constData(), &db);
    QString rows = sqlite3_errmsg(db);
    if (sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &statement, nullptr) == SQLITE_OK)
        rows.clear();
    while (statement && sqlite3_step(statement) == SQLITE_ROW) {
        QStringList columns;
        for (int i = 0; i < sqlite3_column_count(statement); ++i) {
            const auto text = reinterpret_cast<const char *>(sqlite3_column_text(statement, i));
            columns << (text ? QString::fromUtf8(text) : "NULL");
        }
        rows += columns.join('|') + '\n';
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

static QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// brindle-query with arguments; its standard error into err.
static int brindleQuery(const QStringList &arguments, QByteArray *err, QByteArray *out = nullptr)
{
    QProcess process;
    process.start(QCoreApplication::applicationDirPath() + "/brindle-query", arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    *err = process.readAllStandardError();
    if (out)
        *out = process.readAllStandardOutput();
    return process.exitCode();
}

// A file summary as the export's own columns give it.
static const QString filesQuery = "SELECT path, serial, model, was_read, refusal, has_current, "
                                  "has_factory, difference_count FROM files ORDER BY path";

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
                                                         "fake=\u2028\u202e\u200eq"}));
        // Surrogate pairs at both parities around the output's block boundaries
        // (every mebi-character): the odd character moves the later ones by one.
        const QByteArray pairs = QByteArray("\xf0\x9f\x98\x80").repeated(700000);
        QVERIFY(QDir().mkpath(archivePath));
        for (const QString &file : archiveFiles.mid(0, 2))
            QVERIFY(writeZip(file, {{"dump/query.txt", queryText(other, other)}}));
        QVERIFY(writeZip(dir.filePath("changed.zip"), {{"dump/query.txt", changed}}));
        QVERIFY(writeZip(dir.filePath("pairs.zip"),
                         {{"q.txt", queryText({}, {}, pairs + "x" + pairs)}}));
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
                   "fake\t(missing)\t\"s\\rmaintenance-challenge\\t0\" \"\\u2028\\u202e\\u200eq\"\n"
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
        trouble({"diff", "%d/failed.txt"}, "%d/failed.txt: No primary (current) settings");
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

    // Run between a first export and the checked one (after the first for
    // "kill" and "change"; "foreign" writes the file in place of any export).
    void prepareExport(const QString &before, const QString &d, const QString &db)
    {
        QByteArray err;
        if (before == "foreign") {
            QVERIFY(writeFile(db, "SQLite format 3 lookalike\n"));
            return;
        }
        QCOMPARE(brindleQuery({"export", "--sqlite", db, d + "/fleet"}, &err), 1);
        if (before == "change") {
            QVERIFY(writeFile(
                d + "/fleet/sub/deep/b.txt",
                queryText(settingLines({"id-model-name=N2"}), settingLines({"id-model-name=N2"}))));
            QVERIFY(QFile::remove(d + "/fleet/bad.zip"));
        } else if (before == "schema 2") {
            sqlRows(db, "PRAGMA user_version = 2");
        } else if (before == "kill") {
            // Refusals fill the standard error pipe, which nothing reads: the
            // export blocks after it has begun its new database.
            for (int i = 0; i < 2000; ++i)
                QVERIFY(writeFile(QString("%1/fleet/flood/%2.zip").arg(d).arg(i), "x"));
            const QByteArray previous = fileBytes(db);
            QProcess first;
            first.setReadChannel(QProcess::StandardError);
            first.start(QCoreApplication::applicationDirPath() + "/brindle-query",
                        {"export", "--sqlite", db, d + "/fleet"});
            QVERIFY(first.waitForReadyRead(60000));
            QVERIFY(!QDir(d).entryList({"fleet.db.export-*"}).isEmpty());
            QCOMPARE(brindleQuery({"export", "--sqlite", db, d + "/fleet"}, &err), 2);
            QVERIFY2(err.contains("Another export to this database is running."), err.constData());
            first.kill();
            QVERIFY(first.waitForFinished(60000));
            QCOMPARE(fileBytes(db), previous);
        }
    }

    // One fleet per row: good, refused, .txt and nested files, a link that
    // loops and files that are no query files. "before" is done first (see
    // prepareExport); then the export in arguments, whose database (or JSON
    // Lines, read back into the columns of filesQuery) must give rows.
    void exportRuns_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("rows");

        const QString first = "%d/fleet/a.zip|S-A|M|1|NULL|1|1|5\n"
                              "%d/fleet/bad.zip|bad|NULL|0|It is not a ZIP archive, or the archive "
                              "is damaged.|0|0|NULL\n"
                              "%d/fleet/sub/deep/b.txt|b|N|1|NULL|1|0|NULL\n";
        const QStringList toDb{"export", "--sqlite", "%db", "%d/fleet"};
        const QString firstSummary = "3 files: 2 read, 1 refused, 0 unchanged, 0 removed.";
        // Catches: a folder not walked, a refused file skipped, names other
        // than .zip/.txt listed, a followed link, an empty section present.
        QTest::newRow("first export -> 1, a row per query file")
            << "" << toDb << 1 << firstSummary << filesQuery << first;
        // Catches: JSON Lines that differ from the database.
        QTest::newRow("--jsonl -> 1, the same rows")
            << "" << QStringList{"export", "--jsonl", "%d/fleet"} << 1 << firstSummary << ""
            << first;
        // Catches: differences computed otherwise than by diff, stored escaped.
        QTest::newRow("differences -> diff's, in its order, raw")
            << "" << toDb << 1 << firstSummary
            << "SELECT key, setting_group, factory, current FROM differences WHERE file_id = 1 "
               "ORDER BY position"
            << "id-printer-serial|identity|[]|[\"S-A\"]\nsales-region|market|[\"north\"]|["
               "\"south\"]\n"
               "stats-cards|statistics|[\"10\"]|[\"10\",\"11\"]\ndye-x|dye|[\"1\"]|[]\n"
               "t\tab|other|[]|[\"\\\\ \\u001b[2J\"]\n";
        // Catches: duplicates dropped, a side or group wrong, values escaped.
        QTest::newRow("settings -> every line, side and group, raw")
            << "" << toDb << 1 << firstSummary
            << "SELECT side, key, value, setting_group FROM setting_values WHERE serial = 'S-A' "
               "AND key GLOB '[st]*' ORDER BY side, position"
            << "current|sales-region|south|market\ncurrent|stats-cards|10|statistics\n"
               "current|stats-cards|11|statistics\ncurrent|t\tab|\\ \x1b[2J|other\n"
               "factory|sales-region|north|market\nfactory|stats-cards|10|statistics\n";
        // Catches: a changed file not read again, a gone file's rows kept.
        QTest::newRow("one changed, one removed -> 0, re-read and dropped")
            << "change" << toDb << 0 << "2 files: 1 read, 0 refused, 1 unchanged, 1 removed."
            << filesQuery
            << "%d/fleet/a.zip|S-A|M|1|NULL|1|1|5\n%d/fleet/sub/deep/b.txt|b|N2|1|NULL|1|1|0\n";
        // Catches: the database rewritten, or files read, when nothing changed.
        QTest::newRow("nothing changed -> 1, database untouched")
            << "none" << toDb << 1 << "3 files: 0 read, 1 refused, 2 unchanged, 0 removed."
            << filesQuery << first;
        // Catches: a second export let in; a killed one that changed the
        // database or whose lock or temporary file stays in the way.
        QTest::newRow("second export refused, first killed -> old database, then 1")
            << "kill" << toDb << 1 << "2003 files: 0 read, 2001 refused, 2 unchanged, 0 removed."
            << "SELECT count(*) FROM files"
            << "2003\n";
        // Catches: another file overwritten or opened for writing.
        QTest::newRow("foreign file -> 2, untouched")
            << "foreign" << toDb << 2 << "It is not a database written by brindle-query export"
            << ""
            << "";
        QTest::newRow("schema version 2 -> 2, untouched")
            << "schema 2" << toDb << 2 << "Its schema version 2 is not this program's"
            << ""
            << "";
    }

    void exportRuns()
    {
        QFETCH(QString, before);
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, summary);
        QFETCH(QString, query);
        QFETCH(QString, rows);
        QTemporaryDir work;
        const QString d = work.path();
        const QString db = d + "/fleet.db";
        const QByteArray a = queryText(
            settingLines({"id-model-name=M", "sales-region=north", "stats-cards=10", "dye-x=1"}),
            settingLines({"id-model-name=M", "id-printer-serial=S-A", "sales-region=south",
                          "stats-cards=10", "stats-cards=11", "t\tab=\\ \x1b[2J"}));
        QVERIFY(writeFile(d + "/fleet/bad.zip", "not a zip"));
        QVERIFY(writeZip(d + "/fleet/a.zip", {{"q.txt", a}}));
        QVERIFY(writeFile(d + "/fleet/sub/deep/b.txt",
                          queryText("  no setting here\n", settingLines({"id-model-name=N"}))));
        QVERIFY(writeFile(d + "/fleet/notes.pdf", a));
        QVERIFY(writeFile(d + "/fleet/UPPER.ZIP", a));
        QVERIFY(QFile::link(d + "/fleet", d + "/fleet/sub/loop"));
        if (!before.isEmpty())
            prepareExport(before, d, db);
        const QByteArray previous = fileBytes(db);

        for (QString &argument : arguments)
            argument.replace("%db", db).replace("%d", d);
        QByteArray err;
        QByteArray out;
        QCOMPARE(brindleQuery(arguments, &err, &out), status);
        QVERIFY2(err.contains(summary.toUtf8()), err.constData());
        QVERIFY(QDir(d).entryList({"fleet.db.export-*"}).isEmpty());
        if (status == 2 || before == "none")
            QCOMPARE(fileBytes(db), previous);
        QString actual;
        if (arguments.contains("--jsonl")) {
            for (const QByteArray &line : out.trimmed().split('\n')) {
                const QJsonObject file = QJsonDocument::fromJson(line).object();
                for (const char *name : {"path", "serial", "model", "was_read", "refusal",
                                         "has_current", "has_factory", "difference_count"}) {
                    const QJsonValue value = file.value(name);
                    actual += value.isNull()   ? "NULL"
                              : value.isBool() ? QString::number(value.toBool())
                                               : value.toVariant().toString();
                    actual += name[0] == 'd' ? "\n" : "|";
                }
            }
        } else if (!query.isEmpty()) {
            actual = sqlRows(db, query);
        }
        QCOMPARE(actual, rows.replace("%d", d));
    }
};

QTEST_GUILESS_MAIN(TestBrindleQuery)
#include "tst_brindlequery.moc"
