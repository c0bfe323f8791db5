#include "query/archive.h"
#include "query/querydocument.h"
#include "query/queryreader.h"
#include "queryfixture.h"
#include "testfiles.h"

#include <QtTest>
#include <sqlite3.h>

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
    if (!QFileInfo(path).isFile()) // a FIFO would block
        return "<not a file>";
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// JSON as Python's strict reader takes it (one document, or one per line with
// lines), written again sorted and in ASCII; empty when it refuses it. Qt's
// reader lets a bad escape or a raw control character pass.
static QByteArray strictJson(const QByteArray &json, bool lines = false)
{
    QProcess python;
    const QString script = "import json, sys\n"
                           "text = sys.stdin.buffer.read().decode()\n"
                           "docs = text.split('\\n')[:-1] if sys.argv[1:] else [text]\n"
                           "print('\\n'.join(json.dumps(json.loads(d), sort_keys=True) "
                           "for d in docs))";
    python.start("python3",
                 QStringList{"-c", script} + (lines ? QStringList{"lines"} : QStringList()));
    python.write(json);
    python.closeWriteChannel();
    if (!python.waitForFinished(60000) || python.exitStatus() != QProcess::NormalExit ||
        python.exitCode() != 0)
        return {};
    return python.readAllStandardOutput();
}

// Whether strace's log (descriptors named with -y) shows the new database
// synced after its last write and before it is renamed into place, and its
// folder synced after the rename: a power cut must not lose the database.
static bool syncedBeforeRenamed(const QString &trace, const QString &folder)
{
    int written = -1, synced = -1, renamed = -1, folderSynced = -1;
    const QByteArrayList lines = fileBytes(trace).split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        const bool temporary = line.contains(".tmp>");
        const bool sync = line.contains("fsync(") || line.contains("fdatasync(");
        if (sync && temporary)
            synced = i;
        else if (sync && line.contains("<" + QFile::encodeName(folder) + ">") && renamed >= 0)
            folderSynced = i;
        else if (temporary && line.contains("write"))
            written = i;
        else if (line.contains("rename") && line.contains(".tmp\","))
            renamed = i;
    }
    return written >= 0 && written < synced && synced < renamed && renamed < folderSynced;
}

// Limits set on a child before it starts, and how it is watched.
struct Limits
{
    rlim_t openFiles = 0;    // RLIMIT_NOFILE; 0 leaves it
    rlim_t addressSpace = 0; // RLIMIT_AS, which AddressSanitizer cannot run under
    int umask = -1;
    QByteArray asanOptions; // added to ASAN_OPTIONS
    int terminal = 0;       // 1 or 2: that stream on a pseudo-terminal, the other a file
    QString trace;          // where strace logs the child's syncs, writes and renames
};

struct Child
{
    int status = -1;
    QByteArray out;
    QByteArray err;
    qint64 peakKiB = 0;
};

// brindle-query as a child of this process alone (QProcess sets no limits and
// gives no peak memory), its output through files or a terminal, stopped
// after two minutes.
static Child runChild(const QStringList &arguments, const Limits &limits = {})
{
    QTemporaryFile out;
    QTemporaryFile err;
    if (!out.open() || !err.open())
        return {};
    QStringList command{QCoreApplication::applicationDirPath() + "/brindle-query"};
    const QString traced = "-f -qq -y -e "
                           "trace=fsync,fdatasync,write,pwrite64,rename,renameat,renameat2 -o";
    if (!limits.trace.isEmpty())
        command = QStringList{QStandardPaths::findExecutable("strace")} + traced.split(' ') +
                  QStringList{limits.trace, "--"} + command;
    QByteArrayList argumentBytes;
    for (const QString &argument : command + arguments)
        argumentBytes << QFile::encodeName(argument);
    QVector<char *> argv;
    for (QByteArray &argument : argumentBytes)
        argv << argument.data();
    argv << nullptr;
    QByteArrayList environment;
    for (const QString &variable : QProcess::systemEnvironment()) {
        if (!variable.startsWith("ASAN_OPTIONS="))
            environment << variable.toLocal8Bit();
    }
    // LeakSanitizer cannot run under a tracer.
    environment << "ASAN_OPTIONS=" + qgetenv("ASAN_OPTIONS") + ':' + limits.asanOptions +
                       (limits.trace.isEmpty() ? "" : ":detect_leaks=0");
    QVector<char *> envp;
    for (QByteArray &variable : environment)
        envp << variable.data();
    envp << nullptr;
    // Raw, so that the terminal passes the bytes as written.
    int master = -1;
    int slave = -1;
    termios raw{};
    cfmakeraw(&raw);
    if (limits.terminal &&
        (openpty(&master, &slave, nullptr, &raw, nullptr) != 0 ||
         fcntl(master, F_SETFL, O_NONBLOCK) != 0 || fcntl(master, F_SETFD, FD_CLOEXEC) != 0 ||
         fcntl(slave, F_SETFD, FD_CLOEXEC) != 0))
        return {};

    const pid_t pid = fork();
    if (pid == 0) { // only calls that are safe after fork in a threaded process
        dup2(limits.terminal == 1 ? slave : out.handle(), 1);
        dup2(limits.terminal == 2 ? slave : err.handle(), 2);
        const rlimit files{limits.openFiles, limits.openFiles};
        const rlimit space{limits.addressSpace, limits.addressSpace};
        if ((limits.openFiles && setrlimit(RLIMIT_NOFILE, &files) != 0) ||
            (limits.addressSpace && setrlimit(RLIMIT_AS, &space) != 0))
            _exit(126);
        if (limits.umask >= 0)
            umask(mode_t(limits.umask));
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (slave >= 0)
        close(slave);
    // Read as it comes, so that a full terminal never blocks the child.
    QByteArray terminal;
    const auto readTerminal = [master, &terminal] {
        char buffer[4096];
        for (ssize_t got; master >= 0 && (got = read(master, buffer, sizeof buffer)) > 0;)
            terminal.append(buffer, int(got));
    };
    Child child;
    int status = 0;
    rusage usage{};
    QDeadlineTimer deadline(120000);
    pid_t done = 0;
    while (pid > 0 && (done = wait4(pid, &status, WNOHANG, &usage)) == 0 &&
           !deadline.hasExpired()) {
        readTerminal();
        QThread::msleep(5);
    }
    if (pid > 0 && done == 0) {
        kill(pid, SIGKILL);
        wait4(pid, &status, 0, &usage);
    } else if (done == pid && WIFEXITED(status)) {
        child.status = WEXITSTATUS(status);
    }
    readTerminal();
    if (master >= 0)
        close(master);
    child.peakKiB = usage.ru_maxrss;
    // The child moved the offset it shares with these files.
    child.out = limits.terminal == 1 ? terminal : out.seek(0) ? out.readAll() : QByteArray();
    child.err = limits.terminal == 2 ? terminal : err.seek(0) ? err.readAll() : QByteArray();
    return child;
}

// A file or folder whose name holds bytes that are not UTF-8, which Qt
// cannot name: made with the system's calls.
static bool makeByteName(const QByteArray &path, bool isFolder)
{
    if (isFolder)
        return mkdir(path.constData(), 0755) == 0;
    const int fd = open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    return fd >= 0 && close(fd) == 0;
}

// A file below folders whose path is longer than the system allows a path
// to be, made folder by folder relative to the one before.
static bool makeDeepFile(const QString &folder, int depth, const QByteArray &file)
{
    int fd = open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
    const QByteArray name(250, 'x');
    for (int i = 0; fd >= 0 && i < depth; ++i) {
        mkdirat(fd, name.constData(), 0755);
        const int next = openat(fd, name.constData(), O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
    }
    const int made = fd < 0 ? -1 : openat(fd, file.constData(), O_WRONLY | O_CREAT, 0644);
    if (fd >= 0)
        close(fd);
    return made >= 0 && close(made) == 0;
}

static bool setModified(const QString &path, const QDateTime &time)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite) &&
           file.setFileTime(time, QFileDevice::FileModificationTime);
}

// An export database as version 1 of the schema left it: the rows of the
// files alone.
static void makeVersion1(const QString &db)
{
    sqlRows(db, "DROP VIEW state_values");
    sqlRows(db, "DROP VIEW printer_history");
    for (const char *table :
         {"exports", "ignore_rules", "states", "state_settings", "printer_states"})
        sqlRows(db, QString("DROP TABLE ") + table);
    sqlRows(db, "PRAGMA user_version = 1");
}

// The limits a row of exportRuns runs its checked export under.
static Limits exportLimits(const QString &before, const QString &d)
{
    Limits limits;
    if (before == "traced")
        limits.trace = d + "/trace";
    else if (before.startsWith("terminal"))
        limits.terminal = before.endsWith("error") ? 2 : 1;
    else if (before == "unreadable")
        limits.openFiles = 128; // as root, the one way to make a folder unreadable
    else if (before == "umask")
        limits.umask = 027;
    else if (before == "no memory")
#ifdef __SANITIZE_ADDRESS__
        limits.asanOptions = "allocator_may_return_null=1:max_allocation_size_mb=512";
#else
        limits.addressSpace = rlim_t(600) << 20;
#endif
    return limits;
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
    // document of its file, JSON read strictly, or /dev/full to write to a
    // full disk; the one line on standard error must contain err. Catches,
    // besides each row's own: a failed write to standard output ignored.
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
        // Standard output on a full disk, for the text and the JSON writer.
        const QString unwritable = "Couldn't write to standard output.";
        QTest::newRow("print to a full disk -> 2, said")
            << QStringList{"print", "%d/changed.zip"} << 2 << QByteArray("/dev/full") << unwritable;
        QTest::newRow("diff --json to a full disk -> 2, said")
            << QStringList{"diff", "--json", "%d/changed.zip"} << 2 << QByteArray("/dev/full")
            << unwritable;
        trouble({"export", "--jsonl", "--threads", "0", "%d"}, "--threads takes a number");
        trouble({"export", "--jsonl", "--prune", "%d"}, "--prune applies to --sqlite only");
        trouble({"export", "--sqlite", "%d/new.db", "--ignore", "?*", "%d"},
                "The ignore rule ?* is of wildcards alone");
        trouble({"export", "--sqlite", "%d/new.db", "--no-ignore", "x*", "%d"},
                "It holds no ignore rule x* to take away (it holds: none). Nothing was changed.");
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
        if (out == "/dev/full")
            process.setStandardOutputFile(std::exchange(out, QByteArray()));
        process.start(QCoreApplication::applicationDirPath() + "/brindle-query", arguments);
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), status);
        const QByteArray output = process.readAllStandardOutput();
        const QByteArray error = process.readAllStandardError();
        if (arguments.value(0) == "print" && status == 0)
            out = assembleQueryDocument(readQueryFile(arguments.at(1))).text.toUtf8();
        if (out.startsWith('{')) {
            QVERIFY2(!strictJson(output).isEmpty(), output.constData());
            QCOMPARE(QJsonDocument::fromJson(output), QJsonDocument::fromJson(out));
        } else {
            QCOMPARE(output, out);
        }
        QVERIFY2(err.isEmpty() ? error.isEmpty()
                               : error.count('\n') == 1 && error.endsWith('\n') &&
                                     error.startsWith("brindle-query: ") &&
                                     QString::fromLocal8Bit(error).contains(err),
                 error.constData());
    }

    void cleanup()
    {
        sqlite3_close(walHolder);
        walHolder = nullptr;
    }

    // Run between making the fleet and the checked export: most cases export
    // the fleet first, then change something.
    void prepareExport(const QString &before, const QString &d, const QString &db)
    {
        QByteArray err;
        const QStringList toDb{"export", "--sqlite", db, d + "/fleet"};
        const QDateTime longAgo(QDate(2020, 1, 2), QTime(3, 4, 5));
        if (before == "foreign") {
            QVERIFY(writeFile(db, "SQLite format 3 lookalike\n"));
            return;
        }
        if (before == "fifo" || before == "lock fifo") {
            QCOMPARE(
                mkfifo(QFile::encodeName(before == "fifo" ? db : db + ".lock").constData(), 0644),
                0);
            return;
        }
        if (before == "link") { // to a database not made yet, in another folder
            QVERIFY(QDir(d).mkdir("store") && QFile::link(d + "/store/fleet.db", db));
            return;
        }
        if (before == "umask" || before == "traced" || before.startsWith("terminal"))
            return;
        if (before.endsWith(" lock")) { // an export on another host, killed or running
            const int minutes = before == "stale lock" ? 11 : 9;
            QVERIFY(writeFile(db + ".lock", "4242\nbrindle-query\nanother-host.example\n"));
            QVERIFY(setModified(db + ".lock", QDateTime::currentDateTime().addSecs(-minutes * 60)));
            return;
        }
        if (before == "orphan journal") {
            QVERIFY(writeFile(db + "-journal", "a journal whose database is gone"));
            return;
        }
        if (before == "too deep") { // a file at the deepest folder walked, one just past it
            const QString deepest = d + "/fleet/deep" + QString("/d").repeated(255);
            for (const QString &file : QStringList{deepest + "/c.txt", deepest + "/d/c.txt"})
                QVERIFY(writeFile(file, queryText({}, settingLines({"id-model-name=C"}))));
            // Shallow, but a path longer than the walk takes.
            QVERIFY(QDir().mkpath(d + "/fleet/long") &&
                    makeDeepFile(d + "/fleet/long", 132, "q.zip"));
            return;
        }
        if (before == "no memory") {
            QVERIFY(writeZipBomb(d + "/fleet/huge.zip", 500, quint64(500) << 20));
            return;
        }
        if (before == "odd names") {
            const QByteArray odd = QFile::encodeName(d + "/fleet/odd");
            QVERIFY(QDir().mkpath(d + "/fleet/odd"));
            QVERIFY(makeByteName(odd + "/B\xfcro", true));
            QVERIFY(makeByteName(odd + "/B\xfcro/a.zip", false));
            QVERIFY(makeByteName(odd + "/n\xe9.zip", false));
            QVERIFY(makeDeepFile(d + "/fleet/odd", 17, "q.zip"));
            return;
        }
        if (before == "walk") {
            // Unreadable names fill the standard error pipe, which nothing
            // reads: the first export stops in its walk.
            QVERIFY(QDir().mkpath(d + "/fleet/flood"));
            for (int i = 0; i < 1000; ++i)
                QVERIFY(makeByteName(QFile::encodeName(d + "/fleet/flood/") + "\xff" +
                                         QByteArray::number(i) + ".zip",
                                     false));
            QProcess first;
            first.setReadChannel(QProcess::StandardError);
            first.start(QCoreApplication::applicationDirPath() + "/brindle-query", toDb);
            QVERIFY(first.waitForReadyRead(60000));
            QCOMPARE(brindleQuery(toDb, &err), 2);
            QVERIFY2(err.contains("Another export to this database is running."), err.constData());
            first.kill();
            QVERIFY(first.waitForFinished(60000));
            return;
        }
        if (before == "unreadable")
            QVERIFY(writeFile(d + "/fleet/sub/deep" + QString("/d").repeated(200) + "/c.txt",
                              queryText({}, settingLines({"id-model-name=C"}))));
        if (before == "jsonl") // a name that JSON must escape, a model only in the factory's
            QVERIFY(writeFile(d + "/fleet/q\"\\\x1f.txt",
                              queryText(settingLines({"id-model-name=F"}), settingLines({"k=v"}))));
        QByteArray late;
        if (before == "retried") { // refused while half copied, then complete: same size and time
            QVERIFY(QFile::copy(d + "/fleet/a.zip", d + "/late.zip"));
            late = fileBytes(d + "/late.zip");
            QVERIFY(writeFile(d + "/fleet/late.zip", QByteArray(late.size(), 'x')));
            QVERIFY(setModified(d + "/fleet/late.zip", longAgo));
        }

        QCOMPARE(brindleQuery(toDb, &err), 1);

        const QByteArray b2 =
            queryText(settingLines({"id-model-name=N2"}), settingLines({"id-model-name=N2"}));
        if (before == "change") {
            // b.txt at its size with a new time, a.zip at its time with a new size.
            const QString b = d + "/fleet/sub/deep/b.txt";
            QVERIFY(writeFile(b, fileBytes(b).replace("\"N\"", "\"X\"")) &&
                    setModified(b, longAgo));
            const QString a = d + "/fleet/a.zip";
            const QDateTime modified = QFileInfo(a).lastModified();
            const qint64 size = QFileInfo(a).size();
            QVERIFY(writeZip(a, {{"q.txt", readQueryFile(a).replace("S-A", "S-A2").toUtf8()}}));
            QVERIFY(setModified(a, modified) && QFileInfo(a).size() != size);
            QVERIFY(QFile::remove(d + "/fleet/bad.zip"));
        } else if (before == "renamed") {
            // a.zip now shows S-A2, whose state a newer copy gives; a new file
            // makes the next export write, with a.zip unchanged.
            const QString a = d + "/fleet/a.zip";
            QVERIFY(writeZip(a, {{"q.txt", readQueryFile(a).replace("S-A", "S-A2").toUtf8()}}));
            QVERIFY(setModified(a, longAgo) && QFile::copy(a, d + "/fleet/a2.zip") &&
                    setModified(d + "/fleet/a2.zip", QDateTime::currentDateTime()));
            QCOMPARE(brindleQuery(toDb, &err), 1);
            QVERIFY(writeZip(d + "/fleet/n.zip",
                             {{"q.txt", readQueryFile(a).replace("S-A2", "S-N").toUtf8()}}));
        } else if (before == "replace") {
            // A database its owner made private, given to another user by
            // root (for whom the export runs then), with a file to read again.
            QCOMPARE(chmod(QFile::encodeName(db).constData(), 0600), 0);
            if (geteuid() == 0)
                QCOMPARE(chown(QFile::encodeName(db).constData(), 4242, 4242), 0);
            QVERIFY(QFile::copy(d + "/fleet/a.zip", d + "/fleet/a2.zip"));
        } else if (before == "unreadable") {
            // Its folder cannot be read now: not verifiably gone.
            QVERIFY(QFile::remove(d + "/fleet/sub/deep" + QString("/d").repeated(200) + "/c.txt"));
        } else if (before == "schema 3") {
            sqlRows(db, "PRAGMA user_version = 3");
        } else if (before == "extra" || before == "other version") {
            QVERIFY(QFile::copy(d + "/fleet/a.zip", d + "/extra.zip"));
            if (before == "other version")
                sqlRows(db, "UPDATE export_info SET program_version = '0.1'");
        } else if (before == "unmounted") {
            QVERIFY(QDir(d).rename("fleet", "away") && QDir(d).mkdir("fleet"));
        } else if (before == "missing") {
            QVERIFY(QDir(d).rename("fleet", "away"));
        } else if (before == "retried") {
            QVERIFY(writeFile(d + "/fleet/late.zip", late));
            QVERIFY(setModified(d + "/fleet/late.zip", longAgo));
        } else if (before == "wal") {
            // A writer that stopped with its changes in the log only.
            sqlite3 *writer = nullptr;
            sqlite3_open(QFile::encodeName(db).constData(), &writer);
            sqlite3_db_config(writer, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
            sqlite3_exec(writer,
                         "PRAGMA journal_mode = WAL; PRAGMA wal_autocheckpoint = 0;"
                         "UPDATE files SET model = 'from the log' WHERE serial = 'S-A'",
                         nullptr, nullptr, nullptr);
            sqlite3_close(writer);
            QVERIFY(QFileInfo(db + "-wal").size() > 0);
            QVERIFY(writeFile(d + "/fleet/sub/deep/b.txt", b2));
        } else if (before == "wal held") {
            // Read before the holder opens it: closing any file of the
            // database drops this process's locks on it, the holder's too.
            sqlRows(db, "PRAGMA journal_mode = WAL");
            heldDatabase = fileBytes(db);
            sqlite3_open(QFile::encodeName(db).constData(), &walHolder);
            QCOMPARE(
                sqlite3_exec(walHolder, "SELECT count(*) FROM files", nullptr, nullptr, nullptr),
                SQLITE_OK);
            QVERIFY(writeFile(d + "/fleet/sub/deep/b.txt", b2));
        } else if (before == "hot journal") {
            // The database and its journal as a writer killed while spilling
            // changes into the database leaves them.
            sqlite3 *writer = nullptr;
            sqlite3_open(QFile::encodeName(db).constData(), &writer);
            sqlite3_exec(writer,
                         "PRAGMA cache_size = 2; BEGIN; DELETE FROM settings; CREATE TABLE filler "
                         "AS WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                         "WHERE i < 200) SELECT randomblob(1000) FROM n",
                         nullptr, nullptr, nullptr);
            QVERIFY(QFile::copy(db, d + "/hot.db") &&
                    QFile::copy(db + "-journal", d + "/hot.db-journal"));
            sqlite3_close(writer);
            QVERIFY(QFile::remove(db) && QFile::rename(d + "/hot.db", db) &&
                    QFile::rename(d + "/hot.db-journal", db + "-journal"));
        } else if (before == "swap" || before.startsWith("kill")) {
            if (before == "kill upgrade")
                makeVersion1(db);
            // An export held with its new database begun (when upgrading,
            // after the upgrade): its standard error is a FIFO that nothing
            // reads until then, so its refusals fill it and it waits.
            for (int i = 0; i < 2000; ++i)
                QVERIFY(writeFile(QString("%1/fleet/flood/%2.zip").arg(d).arg(i), "x"));
            const QByteArray previous = fileBytes(db);
            const QByteArray errors = QFile::encodeName(d + "/errors");
            QCOMPARE(mkfifo(errors.constData(), 0600), 0);
            const int reader = open(errors.constData(), O_RDONLY | O_NONBLOCK);
            QVERIFY(reader >= 0);
            QProcess first;
            first.setStandardErrorFile(QFile::decodeName(errors));
            first.start(QCoreApplication::applicationDirPath() + "/brindle-query", toDb);
            QTRY_VERIFY_WITH_TIMEOUT(QDir(d).entryList({"fleet.db.brindle-export-*"}).size() > 1,
                                     60000);
            if (before.startsWith("kill")) {
                QCOMPARE(brindleQuery(toDb, &err), 2);
                QVERIFY2(err.contains("Another export to this database is running."),
                         err.constData());
                first.kill();
                QVERIFY(first.waitForFinished(60000));
                close(reader);
                QCOMPARE(fileBytes(db), previous);
                return;
            }
            // Another program puts a copy in the database's place.
            QVERIFY(QFile::copy(db, d + "/copy.db") &&
                    std::rename(qPrintable(d + "/copy.db"), qPrintable(db)) == 0);
            const QByteArray copy = fileBytes(db);
            QByteArray said;
            char buffer[4096];
            const QDeadlineTimer deadline(60000);
            for (ssize_t got = 0; !deadline.hasExpired() && (got != 0 || first.state());) {
                got = read(reader, buffer, sizeof buffer);
                if (got > 0)
                    said.append(buffer, int(got));
                else
                    first.waitForFinished(10);
            }
            close(reader);
            QCOMPARE(first.exitCode(), 2);
            QVERIFY2(said.contains("Another program put a file at its path"),
                     said.right(300).constData());
            QCOMPARE(fileBytes(db), copy);
        }
    }

    // One fleet per row: good, refused, .txt and nested files, a link that
    // loops, files that are no query files, a query file in upper case, a
    // macOS metadata file. "before" is done first (see prepareExport); then
    // the export in arguments (under exportLimits), whose database (or JSON
    // Lines, read back into the columns of filesQuery) must give rows; "mode"
    // for a query gives the database's mode instead (and its owner and group
    // when they are not this process's). Every row also checks that the
    // export leaves no lock and no temporary file of its own, that the user's
    // files beside the database are left alone, and that the database is a
    // link only where one was given.
    void exportRuns_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("rows");

        const QString upper = "%d/fleet/UPPER.ZIP|UPPER.ZIP|NULL|0|The file name must end in "
                              "lower-case .zip.|0|0|NULL\n";
        const QString a = "%d/fleet/a.zip|S-A|M|1|NULL|1|1|5\n";
        const QString bad = "%d/fleet/bad.zip|bad|NULL|0|It is not a ZIP archive, or the archive "
                            "is damaged.|0|0|NULL\n";
        const QString b = "%d/fleet/sub/deep/b.txt|b|N|1|NULL|1|0|NULL\n";
        const QString first = upper + a + bad + b;
        const QStringList toDb{"export", "--sqlite", "%db", "%d/fleet"};
        const QString none = "; 0 folders or names unreadable.";
        const QString firstSummary = "4 files: 2 read, 2 refused, 0 unchanged, 0 removed" + none;
        const QString unchanged = "4 files: 0 read, 2 refused, 2 unchanged, 0 removed" + none;
        // Catches: a folder not walked, a refused file skipped, names other
        // than .zip/.txt listed, a followed link, an empty section present,
        // a wrong-case name or a macOS metadata file skipped or stored, an
        // empty first model taken.
        QTest::newRow("first export -> 1, a row per query file")
            << "" << toDb << 1 << firstSummary << filesQuery << first;
        // Catches: JSON Lines that differ from the database (the model not
        // taken from the factory settings when the current ones have none,
        // differences or flags written otherwise), or that a strict reader
        // refuses (a backslash, quote or control character unescaped).
        QTest::newRow("--jsonl, a name to escape -> 1, the database's rows, strict JSON")
            << "jsonl" << QStringList{"export", "--jsonl", "%d/fleet"} << 1
            << "5 files: 3 read, 2 refused, 0 unchanged, 0 removed" + none << ""
            << upper + a + bad + "%d/fleet/q\"\\\x1f.txt|q\"\\\x1f|F|1|NULL|1|1|2\n" + b;
        // Catches: the new database renamed into place before it is on disk
        // (a power cut then loses it).
        QTest::newRow("first export, traced -> synced after its last write, then renamed")
            << "traced" << toDb << 1 << firstSummary << ""
            << "";
        // Catches: the progress line keyed to another stream than standard error.
        QTest::newRow("standard error a terminal -> progress on it")
            << "terminal error" << toDb << 1 << "4 of 4 files, "
            << ""
            << "";
        // Catches: a refused file not named on standard error.
        QTest::newRow("standard output a terminal -> no progress, refusals named")
            << "terminal output" << toDb << 1
            << "/fleet/bad.zip: Couldn't read the query file. It is not a ZIP archive"
            << ""
            << "";
        // Catches: differences computed otherwise than by diff, stored escaped.
        QTest::newRow("differences -> diff's, in its order, raw")
            << "" << toDb << 1 << firstSummary
            << "SELECT key, setting_group, factory, current FROM differences WHERE file_id = 2 "
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
        // Catches: a file changed in size alone, or in time alone, not read
        // again; a changed file's old settings or differences kept beside its
        // new ones; a gone file's row kept.
        QTest::newRow("size changed, time changed, one removed -> both re-read, one row each")
            << "change" << toDb << 1 << "3 files: 2 read, 1 refused, 0 unchanged, 1 removed" + none
            << "SELECT path, serial, model, was_read, refusal, has_current, has_factory, "
               "difference_count, (SELECT count(*) FROM settings WHERE file_id = f.id), "
               "(SELECT count(*) FROM differences WHERE file_id = f.id) FROM files f ORDER BY path"
            << "%d/fleet/UPPER.ZIP|UPPER.ZIP|NULL|0|The file name must end in lower-case .zip."
               "|0|0|NULL|0|0\n%d/fleet/a.zip|S-A2|M|1|NULL|1|1|5|10|5\n"
               "%d/fleet/sub/deep/b.txt|b|X|1|NULL|1|0|NULL|2|0\n";
        // Catches: a printer seen again in a file that now carries another
        // serial.
        QTest::newRow("serial renamed, its file unchanged -> the old serial not seen again")
            << "renamed" << toDb << 1 << "6 files: 1 read, 2 refused, 3 unchanged, 0 removed" + none
            << "SELECT serial, first_export, last_export FROM printer_states ORDER BY serial"
            << "S-A|1|1\nS-A2|2|3\nS-N|3|3\n";
        // Catches: the database rewritten, or files read, when nothing changed.
        QTest::newRow("nothing changed -> 1, database untouched")
            << "none" << toDb << 1 << unchanged << filesQuery << first;
        // Catches: a refusal kept without reading the file again.
        QTest::newRow("refused, then complete at the same size and time -> read now")
            << "retried" << toDb << 1 << "5 files: 1 read, 2 refused, 2 unchanged, 0 removed" + none
            << "SELECT serial, was_read FROM files WHERE path GLOB '*/late.zip'"
            << "S-A|1\n";
        // Catches: the rows of files outside the paths named dropped.
        QTest::newRow("one more file -> every other row kept")
            << "extra" << QStringList{"export", "--sqlite", "%db", "%d/extra.zip"} << 0
            << "1 files: 1 read, 0 refused, 0 unchanged, 0 removed" + none << filesQuery
            << "%d/extra.zip|S-A|M|1|NULL|1|1|5\n" + first;
        // Catches: rows outside the paths named dropped by a new version,
        // which must read them again instead.
        QTest::newRow("one more file, other version -> every row read again")
            << "other version" << QStringList{"export", "--sqlite", "%db", "%d/extra.zip"} << 1
            << "5 files: 3 read, 2 refused, 0 unchanged, 0 removed" + none << filesQuery
            << "%d/extra.zip|S-A|M|1|NULL|1|1|5\n" + first;
        // Catches: an empty or missing folder (a share not mounted) taken for
        // files all gone.
        QTest::newRow("folder empty now -> 2, untouched")
            << "unmounted" << toDb << 2
            << "No query file is found in the folder (is it a share that is not mounted?), but "
               "the database holds 4 files"
            << ""
            << "";
        QTest::newRow("folder gone -> 2, untouched")
            << "missing" << toDb << 2
            << "fleet: No such file or folder, and the database holds 4 files"
            << ""
            << "";
        QTest::newRow("folder empty now, --prune -> 0, its rows removed")
            << "unmounted" << QStringList{"export", "--prune", "--sqlite", "%db", "%d/fleet"} << 0
            << "0 files: 0 read, 0 refused, 0 unchanged, 4 removed" + none
            << "SELECT (SELECT count(*) FROM files), (SELECT count(*) FROM settings), "
               "(SELECT count(*) FROM differences)"
            << "0|0|0\n";
        // Catches: --prune taken as leave to export a path that was never
        // there, or not removing the rows of a missing folder.
        QTest::newRow("folder never exported missing, --prune -> 2")
            << "" << QStringList{"export", "--prune", "--sqlite", "%db", "%d/nothere"} << 2
            << "nothere: No such file or folder."
            << ""
            << "";
        QTest::newRow("folder gone, --prune -> 0, its rows removed")
            << "missing" << QStringList{"export", "--prune", "--sqlite", "%db", "%d/fleet"} << 0
            << "0 files: 0 read, 0 refused, 0 unchanged, 4 removed" + none
            << "SELECT count(*) FROM files"
            << "0\n";
        // Catches: a folder that cannot be read walked as empty, its files'
        // rows dropped (also one whose file is not found any more), nothing
        // said.
        QTest::newRow("unreadable subfolder -> 1, named, its rows kept")
            << "unreadable" << toDb << 1
            << "4 files: 0 read, 2 refused, 2 unchanged, 0 removed; 1 folders or names unreadable."
            << "SELECT model FROM files WHERE path GLOB '*/c.txt'"
            << "C\n";
        // Catches: a walk without end on a hostile tree (which overflowed the
        // stack), or one that ends in silence; the depth limit off by one; a
        // path past its length limit walked.
        QTest::newRow("folders nested past the walk's depth or length -> 1, named")
            << "too deep" << toDb << 1
            << "5 files: 3 read, 2 refused, 0 unchanged, 0 removed; 2 folders or names unreadable."
            << "SELECT count(*) FROM files WHERE model = 'C'"
            << "1\n";
        // Catches: names that are not UTF-8 and paths past the system's
        // limit passed over in silence.
        QTest::newRow("odd names -> 1, each named, a row where one can be stored")
            << "odd names" << toDb << 1
            << "5 files: 2 read, 3 refused, 0 unchanged, 0 removed; 2 folders or names unreadable."
            << "SELECT length(path) > 4096, refusal FROM files WHERE path GLOB '*/odd/*'"
            << "1|The file could not be opened: File name too long.\n";
        // Catches: the old database copied as a file, its log then applied to
        // the new one; the new one left in write-ahead-log mode.
        QTest::newRow("log of a stopped writer -> read through SQLite, sound, rollback journal")
            << "wal" << toDb << 1 << "4 files: 1 read, 2 refused, 1 unchanged, 0 removed" + none
            << "SELECT (SELECT * FROM pragma_integrity_check), (SELECT * FROM "
               "pragma_journal_mode), "
               "serial, model FROM files ORDER BY path"
            << "ok|delete|UPPER.ZIP|NULL\nok|delete|S-A|from the log\nok|delete|bad|NULL\n"
               "ok|delete|b|N2\n";
        QTest::newRow("open elsewhere in write-ahead-log mode -> 2, untouched")
            << "wal held" << toDb << 2 << "Another program has it open in write-ahead-log mode"
            << ""
            << "";
        QTest::newRow("hot journal -> 2, its own message, untouched")
            << "hot journal" << toDb << 2 << "Its rollback journal (fleet.db-journal) is hot"
            << ""
            << "";
        // Catches: a file that another program put at the database's path
        // while an export ran overwritten by it.
        QTest::newRow("database replaced during an export -> that one 2, the copy kept, then 1")
            << "swap" << toDb << 1
            << "2004 files: 0 read, 2002 refused, 2 unchanged, 0 removed" + none
            << "SELECT count(*) FROM files"
            << "2004\n";
        // Catches: a second export let in; a killed one that changed the
        // database or whose lock or temporary file stays in the way.
        QTest::newRow("second export refused, first killed -> old database, then 1")
            << "kill" << toDb << 1
            << "2004 files: 0 read, 2002 refused, 2 unchanged, 0 removed" + none
            << "SELECT count(*) FROM files"
            << "2004\n";
        // Catches: an upgrade written into the old file, or lost when killed.
        QTest::newRow("upgrade killed -> old database, then upgraded")
            << "kill upgrade" << toDb << 1
            << "2004 files: 0 read, 2002 refused, 2 unchanged, 0 removed" + none
            << "SELECT serial, first_export FROM printer_states ORDER BY serial"
            << "S-A|1\n";
        // Catches: the lock taken after the walk.
        QTest::newRow("second export during the first's walk -> refused")
            << "walk" << toDb << 1
            << "4 files: 2 read, 2 refused, 0 unchanged, 0 removed; 1000 folders or names "
               "unreadable."
            << "SELECT count(*) FROM files"
            << "4\n";
        // Catches: a lock of another host never taken over, or taken over
        // before it is 10 minutes old.
        QTest::newRow("lock of another host, 11 minutes old -> taken over")
            << "stale lock" << toDb << 1 << firstSummary << filesQuery << first;
        QTest::newRow("lock of another host, 9 minutes old -> 2, refused")
            << "held lock" << toDb << 2 << "Another export to this database is running."
            << ""
            << "";
        // Catches: a journal taken for the new database's own.
        QTest::newRow("journal beside a missing database -> 2")
            << "orphan journal" << toDb << 2 << "fleet.db-journal lies beside it, but the database"
            << ""
            << "";
        // Catches: an export that blocks opening a FIFO, for the database or
        // for its lock.
        QTest::newRow("FIFO for a database -> 2 at once")
            << "fifo" << toDb << 2 << "It is not a regular file"
            << ""
            << "";
        QTest::newRow("FIFO for its lock -> 2 at once")
            << "lock fifo" << toDb << 2 << "fleet.db.lock beside it is not a lock file"
            << ""
            << "";
        // Catches: a new database of another mode than the umask gives; a
        // replaced one that loses its mode, or (run as root) its owner.
        QTest::newRow("new database, umask 027 -> mode 640")
            << "umask" << toDb << 1 << firstSummary << "mode"
            << "640";
        QTest::newRow("replaced database of mode 600, another's -> both kept")
            << "replace" << toDb << 1 << "5 files: 1 read, 2 refused, 2 unchanged"
            << "mode" << (geteuid() == 0 ? "600 4242:4242" : "600");
        // Catches: a link given for the database replaced by a file.
        QTest::newRow("link to a database not made yet -> written there, still a link")
            << "link" << toDb << 1 << firstSummary << filesQuery << first;
        // Catches: an allocation failure that ends the export, or one file's
        // that takes the others with it.
        QTest::newRow("file too large for memory -> refused, the others stored")
            << "no memory" << toDb << 1
            << "5 files: 2 read, 3 refused, 0 unchanged, 0 removed" + none
            << "SELECT refusal FROM files WHERE path GLOB '*/huge.zip'"
            << "There is not enough memory to read it.\n";
        // Catches: another file overwritten or opened for writing.
        QTest::newRow("foreign file -> 2, untouched")
            << "foreign" << toDb << 2 << "It is not a database written by brindle-query export"
            << ""
            << "";
        QTest::newRow("schema version 3 -> 2, untouched")
            << "schema 3" << toDb << 2 << "Its schema version 3 is not this program's"
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
        // The user's files beside the database, one named like our temporary files.
        const QStringList backups{d + "/fleet.db.export-monday-backup",
                                  d + "/fleet.db.brindle-export-Mine01.tmp"};
        const QByteArray a = queryText(
            settingLines({"id-model-name=M", "sales-region=north", "stats-cards=10", "dye-x=1"}),
            settingLines({"id-model-name=M", "id-printer-serial=S-A", "sales-region=south",
                          "stats-cards=10", "stats-cards=11", "t\tab=\\ \x1b[2J"}));
        QVERIFY(writeFile(d + "/fleet/bad.zip", "not a zip"));
        QVERIFY(writeZip(d + "/fleet/a.zip", {{"q.txt", a}}));
        QVERIFY(writeZip(d + "/fleet/._a.zip", {{"q.txt", a}}));
        QVERIFY(writeFile(
            d + "/fleet/sub/deep/b.txt",
            queryText("  no setting here\n", settingLines({"id-model-name=", "id-model-name=N"}))));
        QVERIFY(writeFile(d + "/fleet/notes.pdf", a));
        QVERIFY(writeFile(d + "/fleet/UPPER.ZIP", a));
        QVERIFY(QFile::link(d + "/fleet", d + "/fleet/sub/loop"));
        for (const QString &backup : backups)
            QVERIFY(writeFile(backup, "the user's own copy"));
        if (!before.isEmpty())
            prepareExport(before, d, db);
        const QByteArray previous = walHolder ? heldDatabase : fileBytes(db);

        for (QString &argument : arguments)
            argument.replace("%db", db).replace("%d", d);
        QVERIFY2(before != "traced" || !QStandardPaths::findExecutable("strace").isEmpty(),
                 "strace is missing (scripts/common.sh installs it)");
        const Child run = runChild(arguments, exportLimits(before, d));
        QVERIFY2(run.status == status, run.err.constData());
        QVERIFY2(run.err.contains(summary.toUtf8()), run.err.constData());
        QCOMPARE(run.err.contains("files/s"), before == "terminal error");
        if (before == "traced")
            QVERIFY2(syncedBeforeRenamed(d + "/trace", QFileInfo(d).canonicalFilePath()),
                     "no sync of the new database between its last write and its rename");
        QCOMPARE(QDir(d).entryList({"fleet.db.brindle-export-*", "fleet.db.lock"}),
                 QStringList{"fleet.db.brindle-export-Mine01.tmp"} +
                     (before == "held lock" ? QStringList{"fleet.db.lock"} : QStringList()));
        QCOMPARE(QFileInfo(db).isSymLink(), before == "link");
        for (const QString &backup : backups)
            QCOMPARE(fileBytes(backup), QByteArray("the user's own copy"));
        if (status == 2 || before == "none")
            QCOMPARE(fileBytes(db), previous);
        QString actual;
        if (arguments.contains("--jsonl")) {
            const QByteArray strict = strictJson(run.out, true);
            QVERIFY2(!strict.isEmpty(), run.out.constData());
            QString settings;
            QString differences;
            for (const QByteArray &line : strict.trimmed().split('\n')) {
                const QJsonObject file = QJsonDocument::fromJson(line).object();
                for (const QJsonValue &difference : file.value("differences").toArray()) {
                    QStringList columns{file.value("serial").toString(),
                                        difference["key"].toString()};
                    for (const char *side : {"factory", "current"})
                        columns << QJsonDocument(difference[side].toArray())
                                       .toJson(QJsonDocument::Compact);
                    differences += columns.join('|') + '\n';
                }
                for (const char *side : {"current", "factory"}) {
                    for (const QJsonValue &setting : file.value(side).toArray()) {
                        settings +=
                            QStringList{file.value("serial").toString(), side,
                                        setting["key"].toString(), setting["value"].toString(),
                                        setting["group"].toString()}
                                .join('|') +
                            '\n';
                    }
                }
                for (const char *name : {"path", "serial", "model", "was_read", "refusal",
                                         "has_current", "has_factory", "difference_count"}) {
                    const QJsonValue value = file.value(name);
                    const bool flag = name[0] == 'w' || name[0] == 'h';
                    actual += value.isNull()           ? "NULL"
                              : value.isBool() != flag ? "<not a flag or not a value>"
                              : flag                   ? QString::number(value.toBool())
                                                       : value.toVariant().toString();
                    actual += name[0] == 'd' ? "\n" : "|";
                }
            }
            QCOMPARE(settings, sqlRows(db, "SELECT v.serial, side, key, value, setting_group FROM "
                                           "setting_values v JOIN files f ON f.id = v.file_id "
                                           "ORDER BY path, side, v.position"));
            QCOMPARE(differences, sqlRows(db, "SELECT serial, key, factory, current FROM "
                                              "differences d JOIN files f ON f.id = d.file_id "
                                              "ORDER BY path, position"));
        } else if (query == "mode") {
            struct stat status;
            QCOMPARE(stat(QFile::encodeName(db).constData(), &status), 0);
            actual = QString::number(status.st_mode & 0777, 8);
            if (status.st_uid != geteuid())
                actual += QString(" %1:%2").arg(status.st_uid).arg(status.st_gid);
        } else if (!query.isEmpty()) {
            actual = sqlRows(db, query);
        }
        if (before == "odd names" || before == "too deep") // a path too long for QDir to remove
            QProcess::execute("rm", {"-rf", d + "/fleet/odd", d + "/fleet/long"});
        QCOMPARE(actual, rows.replace("%d", d));
    }

    // Five exports of a fleet, each dated by hand: S-A's counters move, then
    // its settings change (a value with a TAB, and a factory value), then its
    // current settings go back, then its counters move again; S-B never
    // changes. "before" varies that:
    // "version 1" makes the first export's database one of schema version 1
    // ("version 1 only": and exports no more), "copy" puts an older copy of
    // S-A's first file, sorting first, beside the later ones ("future copy":
    // one dated years ahead; "version 1, future copy": one of another state
    // beside the first file of a version-1 database; "older copy alone": one
    // exported alone after the five), "no factory" leaves the last file without its
    // factory settings, "ignore" gives the first export --ignore 'n*t?',
    // "no-ignore" then takes it away with a sixth export. exportErr must be in what the exports
    // wrote on standard error; the history command's output must be out (JSON compared as parsed,
    // strictly), and its one line on standard error hold err. Catches: a counter that makes a
    // state, a change not dated by the export that saw it, sides or escaping other than diff's, a
    // change back not shown, --since not applied, a version-1 database refused or its rows not made
    // the first states, a stale copy taken for the printer's file (also when exported alone),
    // ignore rules not stored or not
    // taken away, trouble not said.
    void history_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QString>("err");
        QTest::addColumn<QString>("exportErr");

        const QStringList sa{"history", "--sqlite", "%db", "S-A"};
        const QByteArray changeBack = "2026-04-06\tcurrent\tnote\t\"t\\tb\"\t\"x\"\n"
                                      "2026-04-06\tcurrent\tsleep-minutes\t\"30\"\t\"5\"\n";
        const QByteArray all = "2026-03-02\tcurrent\tnote\t\"x\"\t\"t\\tb\"\n"
                               "2026-03-02\tcurrent\tsleep-minutes\t\"5\"\t\"30\"\n"
                               "2026-03-02\tfactory\tsleep-minutes\t\"5\"\t\"10\"\n" +
                               changeBack;
        const auto row = [](const char *name, const QString &before, const QStringList &arguments,
                            int status, const QByteArray &out, const QString &err = {},
                            const QString &exportErr = {}) {
            QTest::newRow(name) << before << arguments << status << out << err << exportErr;
        };
        row("counters, a change, a change back -> 1, dated lines", "", sa, 1, all);
        row("--json -> 1, the same changes", "", sa + QStringList{"--json"}, 1,
            R"({"history": [
  {"date":"2026-03-02","side":"current","key":"note","group":"other","earlier":["x"],"later":["t\tb"]},
  {"date":"2026-03-02","side":"current","key":"sleep-minutes","group":"other","earlier":["5"],"later":["30"]},
  {"date":"2026-03-02","side":"factory","key":"sleep-minutes","group":"other","earlier":["5"],"later":["10"]},
  {"date":"2026-04-06","side":"current","key":"note","group":"other","earlier":["t\tb"],"later":["x"]},
  {"date":"2026-04-06","side":"current","key":"sleep-minutes","group":"other","earlier":["30"],"later":["5"]}
]})");
        row("--since the change back's day -> 1, it alone", "",
            sa + QStringList{"--since", "2026-04-06"}, 1, changeBack);
        row("--since the day after -> 0, nothing", "", sa + QStringList{"--since", "2026-04-07"}, 0,
            "");
        row("never changed -> 0, nothing", "", {"history", "--sqlite", "%db", "S-B"}, 0, "");
        row("serial unknown -> 2", "", {"history", "--sqlite", "%db", "S-C"}, 2, "",
            "holds no state of a printer with the serial S-C.");
        row("version-1 database upgraded -> its rows the first states, said", "version 1", sa, 1,
            all, {}, "fleet.db: upgraded from schema version 1; 2 printers were given their first");
        row("version-1 database not exported again -> 2", "version 1 only", sa, 2, "",
            "the next export to it upgrades it.");
        row("older copy in another folder -> the newest file gives the state", "copy", sa, 1, all,
            {}, "S-A: The serial is in 2 files; the printer's state is taken from %d/fleet/a.zip");
        row("version-1 database with a copy dated years ahead -> taken last",
            "version 1, future copy", sa, 1, all);
        row("older copy exported alone -> the printer's last file still gives the state",
            "older copy alone", sa, 1, all, {},
            "S-A: The serial is in 2 files; the printer's state is taken from %d/fleet/a.zip");
        row("copy dated years ahead -> taken last", "future copy", sa, 1, all, {},
            "taken from %d/fleet/a.zip, modified last. Files dated more than a day ahead, taken "
            "last: 1");
        row("ignore rule, later exports without it -> its key's changes left out", "ignore", sa, 1,
            "2026-03-02\tcurrent\tsleep-minutes\t\"5\"\t\"30\"\n"
            "2026-03-02\tfactory\tsleep-minutes\t\"5\"\t\"10\"\n"
            "2026-04-06\tcurrent\tsleep-minutes\t\"30\"\t\"5\"\n");
        row("ignore rule taken away -> its key's changes back", "no-ignore", sa, 1, all);
        row("last file without factory settings -> no state from it", "no factory", sa, 1, all);
        row("not an export database -> 2", "", {"history", "--sqlite", "%d/fleet/b.zip", "S-A"}, 2,
            "", "It is not a database written by brindle-query export.");
        row("--since not a date -> 2", "", sa + QStringList{"--since", "2026-4-6"}, 2, "",
            "--since takes a date as yyyy-mm-dd.");
    }

    void history()
    {
        QFETCH(QString, before);
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QByteArray, out);
        QFETCH(QString, err);
        QFETCH(QString, exportErr);
        QTemporaryDir work;
        const QString d = work.path();
        const QString db = d + "/fleet.db";
        const auto printer = [](const QByteArray &sleep, const QByteArray &note, int cards,
                                const QByteArray &factorySleep) {
            return queryText(
                settingLines(
                    {"id-printer-serial=S-A", "sleep-minutes=" + factorySleep, "stats-cards=0"}),
                settingLines({"id-printer-serial=S-A", "sleep-minutes=" + sleep, "note=" + note,
                              "stats-cards=" + QByteArray::number(cards)}));
        };
        const QByteArray steps[] = {printer("5", "x", 10, "5"), printer("5", "x", 11, "5"),
                                    printer("30", "t\tb", 12, "10"), printer("5", "x", 13, "10"),
                                    printer("5", "x", 14, "10")};
        const char *const dates[] = {"2026-01-05", "2026-02-02", "2026-03-02", "2026-04-06",
                                     "2026-05-04"};
        const QDateTime reported(QDate(2026, 1, 5), QTime(6, 0), Qt::UTC);
        QVERIFY(QDir().mkpath(d + "/fleet/0-copy"));
        QVERIFY(writeZip(d + "/fleet/b.zip",
                         {{"q.txt", queryText(settingLines({"id-printer-serial=S-B"}),
                                              settingLines({"id-printer-serial=S-B"}))}}));
        QVERIFY(setModified(d + "/fleet/b.zip", reported));
        QStringList toDb{"export", "--sqlite", db, d + "/fleet"};
        QByteArray errors;
        for (int step = 0; step < (before == "version 1 only" ? 1 : 5); ++step) {
            const QByteArray text = before == "no factory" && step == 4
                                        ? QByteArray(steps[step]).replace("shipped", "other")
                                        : steps[step];
            QVERIFY(writeZip(d + "/fleet/a.zip", {{"q.txt", text}}));
            QVERIFY(setModified(d + "/fleet/a.zip", reported.addDays(7 * step)));
            const bool upgradedCopy = before == "version 1, future copy";
            if (before.endsWith("copy") && step == (upgradedCopy ? 0 : 2)) {
                QVERIFY(
                    writeZip(d + "/fleet/0-copy/a.zip",
                             {{"q.txt", upgradedCopy ? steps[2] : printer("45", "x", 9, "5")}}));
                QVERIFY(setModified(d + "/fleet/0-copy/a.zip",
                                    before == "copy" ? reported
                                                     : QDateTime::currentDateTime().addYears(9)));
            }
            QByteArray stepErr;
            const QStringList extra = before.endsWith("ignore") && step == 0
                                          ? QStringList{"--ignore", "n*t?"}
                                          : QStringList();
            QCOMPARE(brindleQuery(toDb + extra, &stepErr), 0);
            errors += stepErr;
            const QString at = QString("'%1T08:00:00Z'").arg(dates[step]);
            if (before.startsWith("version 1") && step == 0) {
                makeVersion1(db);
                sqlRows(db, "UPDATE export_info SET exported_at = " + at);
            } else {
                sqlRows(db, "UPDATE exports SET exported_at = " + at +
                                " WHERE id = (SELECT max(id) FROM exports)");
            }
        }
        if (before == "no-ignore")
            QCOMPARE(brindleQuery(toDb + QStringList{"--no-ignore", "n*t?"}, &errors), 0);
        if (before == "older copy alone") {
            QVERIFY(QDir().mkpath(d + "/old") &&
                    writeZip(d + "/old/a.zip", {{"q.txt", steps[0]}}) &&
                    setModified(d + "/old/a.zip", reported));
            QCOMPARE(brindleQuery({"export", "--sqlite", db, d + "/old/a.zip"}, &errors), 0);
        }
        // States A, B and A again: the counters alone made none.
        if (before != "version 1 only") {
            QCOMPARE(sqlRows(db, "SELECT serial, count(*) FROM printer_states GROUP BY serial"),
                     QString("S-A|3\nS-B|1\n"));
            // A copy's state that no printer took is not kept, nor its settings.
            QCOMPARE(sqlRows(db, "SELECT (SELECT count(*) FROM states WHERE id NOT IN (SELECT "
                                 "state_id FROM printer_states)), (SELECT count(*) FROM "
                                 "state_settings WHERE state_id NOT IN (SELECT id FROM states))"),
                     QString("0|0\n"));
        }
        QVERIFY2(errors.contains(exportErr.replace("%d", d).toUtf8()), errors.constData());

        for (QString &argument : arguments)
            argument.replace("%db", db).replace("%d", d);
        QByteArray error;
        QByteArray output;
        QCOMPARE(brindleQuery(arguments, &error, &output), status);
        if (arguments.contains("--json")) {
            QJsonParseError parsed;
            const QJsonDocument json = QJsonDocument::fromJson(output, &parsed);
            QCOMPARE(parsed.error, QJsonParseError::NoError);
            QCOMPARE(json, QJsonDocument::fromJson(out));
        } else {
            QCOMPARE(output, out);
        }
        QVERIFY2(err.isEmpty() ? error.isEmpty()
                               : error.count('\n') == 1 && QString(error).contains(err),
                 error.constData());
    }

    // Three archives of a few kilobytes whose logs each take about 100 MiB
    // once read; the export's memory budget reads them one at a time.
    // Catches: memory that grows with the thread count.
    void exportMemory_data()
    {
        QTest::addColumn<int>("threads");
        QTest::newRow("2 threads -> one large file at a time") << 2;
        QTest::newRow("16 threads -> still one at a time") << 16;
    }

    void exportMemory()
    {
        QFETCH(int, threads);
        QTemporaryDir work;
        const quint64 size = quint64(50) << 20;
        QVERIFY(QDir().mkpath(work.filePath("logs")) && QDir().mkpath(work.filePath("one")));
        for (int i = 0; i < 3; ++i)
            QVERIFY(writeZipBomb(work.filePath(QString("logs/%1.zip").arg(i)), 50, size));
        QVERIFY(writeZipBomb(work.filePath("one/0.zip"), 50, size));
        // Memory freed goes back at once, so that the peak is what is held.
        Limits limits;
        limits.asanOptions = "quarantine_size_mb=0";
        const Child one =
            runChild({"export", "--jsonl", "--threads", "1", work.filePath("one")}, limits);
        const Child all = runChild(
            {"export", "--jsonl", "--threads", QString::number(threads), work.filePath("logs")},
            limits);
        QCOMPARE(one.status, 0);
        QCOMPARE(all.status, 0);
        // Two files at once would take about twice what one takes with the
        // process around it.
        QVERIFY2(2 * all.peakKiB <= 3 * one.peakKiB,
                 qPrintable(QString("%1 KiB, one file %2 KiB").arg(all.peakKiB).arg(one.peakKiB)));
        QVERIFY(all.peakKiB < 1024 * 1024);
    }

private:
    sqlite3 *walHolder = nullptr; // a connection of "another program"
    QByteArray heldDatabase;      // the database as the holder found it
};

QTEST_GUILESS_MAIN(TestBrindleQuery)
#include "tst_brindlequery.moc"
