#include "query/querydocument.h"
#include "query/queryreader.h"
#include "queryfixture.h"
#include "testfiles.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>
#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipnewinfo.h>

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace {

constexpr qint64 MiB = 1024 * 1024;

// One figure of /proc/self/status, in KiB.
qint64 statusKiB(const char *field)
{
    QFile file(QStringLiteral("/proc/self/status"));
    const QByteArray status = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    const int at = status.indexOf(field);
    return at < 0 ? -1 : std::atoll(status.constData() + at + qstrlen(field));
}

// An archive of one entry "query.txt" holding data as given: raw data is
// written as it is (already deflated) and records declaredSize and crc, other
// data is deflated and, with a password, encrypted. ZIP64 records are written
// for sizes past 4 GiB.
QByteArray archive(const QByteArray &data, bool raw, quint64 declaredSize, quint32 crc,
                   const char *password = nullptr)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    QuaZip zip(&buffer);
    zip.setZip64Enabled(declaredSize > 0xffffffffu);
    QuaZipNewInfo info(QStringLiteral("query.txt"));
    info.uncompressedSize = ulong(declaredSize);
    QuaZipFile file(&zip);
    const bool written = zip.open(QuaZip::mdCreate) &&
                         file.open(QIODevice::WriteOnly, info, password, crc, Z_DEFLATED,
                                   Z_DEFAULT_COMPRESSION, raw) &&
                         file.write(data) == data.size();
    file.close();
    zip.close();
    return written && zip.getZipError() == UNZ_OK ? bytes : QByteArray();
}

// An archive whose one entry inflates to inflatedMiB MiB of 'q' but records
// declaredSize. Its data is one flushed deflate block of a MiB repeated:
// building it costs one MiB of compression, and it stays about a thousandth
// of what it inflates to.
QByteArray bomb(qint64 inflatedMiB, quint64 declaredSize)
{
    const QByteArray plain(int(MiB), 'q');
    QByteArray block(int(compressBound(uLong(MiB))) + 64, '\0');
    z_stream stream = {};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(plain.constData()));
    stream.avail_in = uInt(MiB);
    stream.next_out = reinterpret_cast<Bytef *>(block.data());
    stream.avail_out = uInt(block.size());
    deflate(&stream, Z_FULL_FLUSH);
    block.resize(int(stream.total_out));
    deflateEnd(&stream);
    const uLong blockCrc = crc32Of(plain);
    uLong crc = blockCrc;
    for (qint64 i = 1; i < inflatedMiB; ++i)
        crc = crc32_combine(crc, blockCrc, MiB);
    const QByteArray finalEmptyBlock("\x03\x00", 2);
    return archive(block.repeated(int(inflatedMiB)) + finalEmptyBlock, true, declaredSize,
                   quint32(crc));
}

QByteArray queryWithPrimary(const QByteArray &settings)
{
    return "<command name=\"cat\" args=\"/opt/corvelle/sdcard/settings/primary\">\n" + settings +
           "</command>\n";
}

} // namespace

class tst_HostileInputs : public QObject
{
    Q_OBJECT

private slots:
    void boundedOutcome_data();
    void boundedOutcome();
};

// What the user sees for each hostile file: the read failure (the reader
// gives nothing, the window shows its warning) or a document holding the
// expected text. Reading and assembling must take at most 2 s and add at most
// 64 MiB of memory for a refused file, 256 MiB for a document, under the
// sanitizers the suite runs with.
void tst_HostileInputs::boundedOutcome_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("expected"); // null: the read failure
    const auto refused = [](const char *name, const char *fileName, const QByteArray &bytes,
                            const char *kind = "", qint64 size = -1) {
        QTest::newRow(name) << QString::fromLatin1(fileName) << bytes << QString::fromLatin1(kind)
                            << size << QString();
    };
    const auto document = [](const char *name, const QByteArray &bytes, const QString &expected) {
        QTest::newRow(name) << QStringLiteral("query.txt") << bytes << QString() << qint64(-1)
                            << expected;
    };
    refused("zip bomb, 3 MiB inflating to 3 GiB -> read failure", "query.zip",
            bomb(3072, 3072 * MiB));
    refused("ZIP64 entry of 4.5 GiB -> read failure", "query.zip", bomb(4608, 4608 * MiB));
    refused("entry of 513 MiB -> read failure", "query.zip", bomb(513, 513 * MiB));
    refused("header says 1000 bytes, data inflates to 1 GiB -> read failure", "query.zip",
            bomb(1024, 1000));
    const QByteArray secret = queryWithPrimary("  <s key=\"k\" value=\"v\"/>\n");
    refused("encrypted entry -> read failure", "query.zip",
            archive(secret, false, quint64(secret.size()), crc32Of(secret), "secret"));
    refused(".txt that is a directory -> read failure", "query.txt", {}, "directory");
    refused(".txt that is a named pipe -> read failure, no block", "query.txt", {}, "pipe");
    refused(".zip that is a named pipe -> read failure, no block", "query.zip", {}, "pipe");
    refused(".txt linked to /dev/zero -> read failure", "query.txt", {}, "link");
    refused(".txt without read permission -> read failure", "query.txt", "query", "unreadable");
    refused("sparse .txt of 512 MiB + 1 -> read failure", "query.txt", "", "", 512 * MiB + 1);
    refused("sparse .txt of 2 GiB + 1 -> read failure", "query.txt", "", "", 2048 * MiB + 1);

    const QString onlySetting = primaryHeading + QString(8, QLatin1Char('\n'));
    document("invalid UTF-8 -> document with replacement characters",
             queryWithPrimary("  <s key=\"a\xff\" value=\"\xc3(\"/>\n"),
             onlySetting + QString::fromUtf8("a\xef\xbf\xbd\t\xef\xbf\xbd(\n\n"));
    const QString text = QString::fromUtf8(secret);
    document("UTF-16 -> document without settings",
             "\xff\xfe" + QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2),
             primaryHeading + QString(9, QLatin1Char('\n')));
    const QByteArray trap =
        "  <s " + QByteArray("key=\"k\" ").repeated(10) + "value=\"" + QByteArray(60, 'v') + "\n";
    document("100000 backtracking settings lines -> document",
             queryWithPrimary(trap.repeated(100000) + "  <s key=\"last\" value=\"1\"/>\n"),
             onlySetting + QStringLiteral("last\t1\n\n"));
    const int tenMB = 10 * 1000 * 1000;
    document("settings line of 10 MB -> document",
             queryWithPrimary("  <s key=\"big\" value=\"" + QByteArray(tenMB, 'v') + "\"/>\n"),
             onlySetting + QStringLiteral("big\tvvvvvvvvvv"));
    document("settings line of 10 MB of keys, value never closed -> next line",
             queryWithPrimary("  <s " + QByteArray("key=\"x\" ").repeated(tenMB / 8) +
                              "value=\"open\n  <s key=\"small\" value=\"1\"/>\n"),
             onlySetting + QStringLiteral("small\t1\n\n"));
    document("settings line of 10 MB of pairs, unclosed tail -> last whole pair",
             queryWithPrimary("  <s " + QByteArray("key=\"x\" value=\"v\" ").repeated(tenMB / 18) +
                              "value=\"open\n"),
             onlySetting + QStringLiteral("x\tv\n\n"));
    document("journal log of one 8 MB line -> document",
             "<command name=\"journalctl\" args=\"-u corvelle-printer\"><![CDATA[" +
                 QByteArray(8 * 1000 * 1000, 'l') + "]]></command>",
             logHeading + QLatin1String("\n\nllllllllll"));
}

void tst_HostileInputs::boundedOutcome()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, kind);
    QFETCH(qint64, size);
    QFETCH(QString, expected);
    const QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(fileName);
    if (kind == "unreadable" && geteuid() == 0)
        QSKIP("running as root, which reads files whatever their permissions");
    if (kind == "directory")
        QVERIFY(QDir().mkdir(path));
    else if (kind == "pipe")
        QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    else if (kind == "link")
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), path));
    else
        QVERIFY(!bytes.isNull() && writeFile(path, bytes));
    if (size >= 0)
        QVERIFY(QFile::resize(path, size));
    if (kind == "unreadable")
        QVERIFY(QFile::setPermissions(path, QFileDevice::WriteOwner));

    QFile clearRefs(QStringLiteral("/proc/self/clear_refs")); // a new peak for VmHWM
    QVERIFY(clearRefs.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    QCOMPARE(clearRefs.write("5"), qint64(1));
    const qint64 baseKiB = statusKiB("VmRSS:");
    QElapsedTimer timer;
    timer.start();
    const QString text = readQueryFile(path);
    const QString document = text.isEmpty() ? QString() : assembleQueryDocument(text);
    const qint64 elapsedMs = timer.elapsed();
    const qint64 extraMiB = (statusKiB("VmHWM:") - baseKiB) / 1024;

    if (expected.isNull())
        QVERIFY2(text.isEmpty(), qPrintable(text.left(80)));
    else
        QVERIFY2(document.contains(expected), qPrintable(document.left(400)));
    QVERIFY2(elapsedMs <= 2000, qPrintable(QStringLiteral("%1 ms").arg(elapsedMs)));
    QVERIFY2(extraMiB <= (expected.isNull() ? 64 : 256),
             qPrintable(QStringLiteral("%1 MiB more memory").arg(extraMiB)));
    qDebug("%lld ms, %lld MiB more memory", elapsedMs, extraMiB);
}

QTEST_GUILESS_MAIN(tst_HostileInputs)
#include "tst_hostileinputs.moc"
