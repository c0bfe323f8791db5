#include "update/updatemanager.h"

#include <QtNetwork>
#include <QtTest>

static QByteArray response(const QByteArray &status, const QByteArray &body,
                           const QByteArray &headers = QByteArray())
{
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n" + headers + "\r\n" + body;
}

class TestDownloads : public QObject
{
    Q_OBJECT

private slots:
    // An HTTP server on 127.0.0.1 with one canned answer per path. A path
    // without an answer is never answered, like a server that has stopped
    // responding.
    void initTestCase()
    {
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = server.nextPendingConnection())
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    if (!socket->peek(1 << 16).contains("\r\n\r\n"))
                        return;
                    const QByteArray answer = answers.value(socket->readAll().split(' ').value(1));
                    if (!answer.isEmpty() && socket->write(answer) > 0)
                        socket->disconnectFromHost();
                });
        });
        QVERIFY(server.listen(QHostAddress::LocalHost));
    }

    // Each row as text and into a file that holds older, longer content: a
    // success must replace it exactly, a failure must leave it alone. A full
    // disk must not pass for a written file: unbuffered, the write call itself
    // meets it. Without its time-out the silent server would hang the test.
    void download_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("error");

        // qCompress puts the length before the zlib stream.
        const QByteArray bomb = qCompress(QByteArray(200000, 'x')).mid(4);
        const QString statusError = "Error - 299 - ";
        QTest::newRow("redirect -> followed")
            << response("302 Found", "hello", "Location: /moved\r\n") << "hello" << QString();
        QTest::newRow("300 -> error")
            << response("300 Multiple Choices", "pick one") << QString()
            << statusError + "The server answered with HTTP status 300 Multiple Choices";
        QTest::newRow("UTF-8, zero byte -> trimmed text before it, every byte in the file")
            << response("200 OK", QByteArray(" \xc3\xbc\0x", 5)) << "\u00fc" << QString();
        QTest::newRow("silent server -> time-out") << QByteArray() << QString() << "Error - 5 - ";
        QTest::newRow("body inflating over the size limit -> error")
            << response("200 OK", bomb, "Content-Encoding: deflate\r\n") << QString()
            << statusError;
        QTest::newRow("full disk -> write error")
            << response("200 OK", QByteArray(20, 'x')) << QString(20, 'x')
            << "Could not write to /dev/full";
    }

    void download()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QString, text);
        QFETCH(QString, error);

        // The redirect's target sends the same body, so a success has one expected body.
        const QByteArray body = answer.mid(answer.indexOf("\r\n\r\n") + 4);
        answers = {{"/", answer}, {"/moved", response("200 OK", body)}};
        const QString url = QString("http://127.0.0.1:%1/").arg(server.serverPort());
        const QTemporaryDir dir;
        const bool full = error.contains("/dev/full");
        QFile file(full ? "/dev/full" : dir.filePath("file"));
        const QByteArray older = "older content, longer than any body";
        QVERIFY(full || (file.open(QIODevice::WriteOnly) && file.write(older) > 0));
        file.close();
        QStringList errors;
        UpdateManagerSetup setup;
        setup.transferTimeoutMs = 300;
        setup.maxDownloadBytes = 3000;
        UpdateManager manager(
            "1.0", [&](QString message) { errors << message; }, setup);

        QCOMPARE(manager.downloadString(url), text);
        QCOMPARE(manager.downloadToFile(url, file.fileName()), error.isNull());
        QCOMPARE(errors.isEmpty(), error.isNull());
        for (const QString &message : errors)
            QVERIFY2(message.startsWith(error), qPrintable(message));
        if (!full) {
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), error.isNull() ? body : older);
        }
    }

private:
    QTcpServer server;
    QHash<QByteArray, QByteArray> answers;
};

QTEST_GUILESS_MAIN(TestDownloads)
#include "tst_downloads.moc"
