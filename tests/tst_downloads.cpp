#include "update/updatemanager.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

namespace {

QByteArray response(const QByteArray &status, const QByteArray &body,
                    const QByteArray &extraHeaders = QByteArray())
{
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body;
}

// An HTTP server on 127.0.0.1 with one canned answer per path. Paths it does
// not know are left unanswered, like a server that has stopped responding.
class CannedHttpServer : public QTcpServer
{
public:
    QHash<QByteArray, QByteArray> answers;

    CannedHttpServer()
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = nextPendingConnection())
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { answer(socket); });
        });
    }

    QString url(const char *path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(serverPort()).arg(QLatin1String(path));
    }

private:
    void answer(QTcpSocket *socket)
    {
        QByteArray &request = requests[socket];
        request += socket->readAll();
        if (!request.contains("\r\n\r\n"))
            return;
        const QByteArray path = request.split(' ').value(1);
        if (!answers.contains(path))
            return;
        socket->write(answers.value(path));
        socket->disconnectFromHost();
    }

    QHash<QTcpSocket *, QByteArray> requests;
};

} // namespace

class TestDownloads : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void downloadString_data();
    void downloadString();
    void failedDownloadTouchesNothing();
    void downloadToFileKeepsEveryByte();
    void writeToFile_data();
    void writeToFile();

private:
    UpdateManagerSetup quickSetup() const;

    CannedHttpServer server;
    QScopedPointer<QTemporaryDir> workDir;
    QStringList errors;
};

void TestDownloads::initTestCase()
{
    QByteArray inflating = qCompress(QByteArray(200000, 'x'));
    inflating.remove(0, 4); // qCompress puts the length before the zlib stream
    server.answers = {
        {"/text", response("200 OK", "hello")},
        {"/redirect", response("302 Found", "", "Location: /text\r\n")},
        {"/stuck-redirect", response("302 Found", "moved")},
        {"/multiple-choices", response("300 Multiple Choices", "pick one")},
        {"/missing", response("404 Not Found", "no such page")},
        {"/server-error", response("500 Internal Server Error", "oops")},
        {"/zero", response("200 OK", QByteArray("abc\0def", 7))},
        {"/space", response("200 OK", " \r\n\t ")},
        {"/utf8", response("200 OK", "  gr\xc3\xbc\xc3\x9f dich\n")},
        {"/large", response("200 OK", QByteArray(4000, 'y'))},
        {"/inflating", response("200 OK", inflating, "Content-Encoding: deflate\r\n")},
    };
    QVERIFY(server.listen(QHostAddress::LocalHost));
}

void TestDownloads::init()
{
    workDir.reset(new QTemporaryDir);
    QVERIFY(workDir->isValid());
    errors.clear();
}

UpdateManagerSetup TestDownloads::quickSetup() const
{
    UpdateManagerSetup setup;
    setup.transferTimeoutMs = 300;
    setup.maxDownloadBytes = 3000;
    return setup;
}

void TestDownloads::downloadString_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("errorStart");

    const QString noError;
    QTest::newRow("text -> 'hello'") << "/text"
                                     << "hello" << noError;
    QTest::newRow("redirect -> followed") << "/redirect"
                                          << "hello" << noError;
    QTest::newRow("redirect without target -> error") << "/stuck-redirect"
                                                      << ""
                                                      << "Error - 301 - ";
    QTest::newRow("300 -> error")
        << "/multiple-choices"
        << ""
        << "Error - 299 - The server answered with HTTP status 300 Multiple Choices";
    QTest::newRow("404 -> error") << "/missing"
                                  << ""
                                  << "Error - 203 - ";
    QTest::newRow("500 -> error") << "/server-error"
                                  << ""
                                  << "Error - 401 - ";
    QTest::newRow("zero byte -> text before it") << "/zero"
                                                 << "abc" << noError;
    QTest::newRow("white space -> empty, no error") << "/space"
                                                    << "" << noError;
    QTest::newRow("UTF-8 -> decoded and trimmed") << "/utf8"
                                                  << "gr\u00fc\u00df dich" << noError;
    QTest::newRow("silent server -> time-out error") << "/silent"
                                                     << ""
                                                     << "Error - 5 - ";
    QTest::newRow("body over limit -> error") << "/large"
                                              << ""
                                              << "Error - 299 - ";
    QTest::newRow("inflates over limit -> error") << "/inflating"
                                                  << ""
                                                  << "Error - 299 - ";
}

void TestDownloads::downloadString()
{
    QFETCH(QString, path);
    QFETCH(QString, expected);
    QFETCH(QString, errorStart);

    UpdateManager manager(
        "1.0", [this](QString text) { errors << text; }, quickSetup());
    QElapsedTimer timer;
    timer.start();
    const QString text = manager.downloadString(server.url(qPrintable(path)));
    QVERIFY(timer.elapsed() < 10000);
    QCOMPARE(text, expected);
    if (errorStart.isNull()) {
        QCOMPARE(errors, QStringList());
    } else {
        QCOMPARE(errors.size(), 1);
        QVERIFY2(errors.first().startsWith(errorStart), qPrintable(errors.first()));
    }
}

void TestDownloads::failedDownloadTouchesNothing()
{
    UpdateManager manager(
        "1.0", [this](QString text) { errors << text; }, quickSetup());
    QByteArray body("untouched");
    QVERIFY(!manager.downloadBytes(QUrl(server.url("/missing")), body));
    QCOMPARE(body, QByteArray("untouched"));

    const QString file = workDir->filePath("download.bin");
    QVERIFY(!manager.downloadToFile(server.url("/missing"), file));
    QVERIFY(!QFile::exists(file));
    QCOMPARE(errors.size(), 2);
}

void TestDownloads::downloadToFileKeepsEveryByte()
{
    UpdateManager manager(
        "1.0", [this](QString text) { errors << text; }, quickSetup());
    const QString file = workDir->filePath("download.bin");
    QVERIFY(manager.downloadToFile(server.url("/zero"), file));
    QFile written(file);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), QByteArray("abc\0def", 7));
    QCOMPARE(errors, QStringList());
}

void TestDownloads::writeToFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qint64>("sizeLimit");
    QTest::addColumn<QString>("error");

    QTest::newRow("empty bytes -> empty file")
        << "out.bin" << QByteArray() << qint64(-1) << QString();
    QTest::newRow("20 bytes -> written")
        << "out.bin" << QByteArray(20, 'a') << qint64(-1) << QString();
    QTest::newRow("missing directory -> create text")
        << "no/such/dir/out.bin" << QByteArray("x") << qint64(-1) << "Failed to create %1";
    QTest::newRow("full device -> write text")
        << "/dev/full" << QByteArray(20, 'a') << qint64(-1) << "Could not write to %1";
    QTest::newRow("10 of 20 bytes -> short-write text")
        << "out.bin" << QByteArray(20, 'a') << qint64(10)
        << "Failed to write to %1.\nCould only write 10 of 20 bytes.";
}

void TestDownloads::writeToFile()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, bytes);
    QFETCH(qint64, sizeLimit);
    QFETCH(QString, error);

    const QString target = path.startsWith('/') ? path : workDir->filePath(path);
    UpdateManager manager("1.0", [this](QString text) { errors << text; });
    if (target.startsWith(workDir->path()) && QFileInfo(target).absoluteDir().exists()) {
        QFile old(target);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("previous content that is longer than twenty bytes");
    }

    // A file-size limit makes the kernel stop the write part way, as a full disk would.
    rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    if (sizeLimit >= 0) {
        rlimit limited = saved;
        limited.rlim_cur = rlim_t(sizeLimit);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    }
    const bool ok = manager.writeToFile(target, bytes);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    QCOMPARE(ok, error.isNull());
    QCOMPARE(errors, error.isNull() ? QStringList() : QStringList{error.arg(target)});
    if (ok) {
        QFile written(target);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), bytes);
    }
}

QTEST_GUILESS_MAIN(TestDownloads)
#include "tst_downloads.moc"
