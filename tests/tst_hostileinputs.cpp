#include "query/querydocument.h"
#include "query/queryreader.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipnewinfo.h>

#include <functional>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace {

constexpr qint64 MiB = 1024 * 1024;

// One figure of /proc/self/status, in KiB.
qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Starts a new peak for VmHWM at the current resident size.
bool resetPeakMemory()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    return clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1;
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

void appendLe(QByteArray &out, quint64 value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out += char((value >> (8 * i)) & 0xff);
}

// A raw deflate stream that inflates to megabytes MiB of 'q', made of one
// flushed block repeated: building it costs one MiB of compression, and the
// file stays about a thousandth of what it inflates to.
QByteArray repeatedDeflate(qint64 megabytes, quint32 *crc)
{
    const QByteArray plain(int(MiB), 'q');
    QByteArray block(int(compressBound(uLong(plain.size()))) + 64, '\0');
    z_stream stream = {};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(plain.constData()));
    stream.avail_in = uInt(plain.size());
    stream.next_out = reinterpret_cast<Bytef *>(block.data());
    stream.avail_out = uInt(block.size());
    deflate(&stream, Z_FULL_FLUSH);
    block.resize(int(stream.total_out));
    deflateEnd(&stream);

    const uLong blockCrc =
        crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef *>(plain.constData()), MiB);
    uLong total = blockCrc;
    QByteArray deflated;
    deflated.reserve(int(block.size() * megabytes + 2));
    deflated += block;
    for (qint64 i = 1; i < megabytes; ++i) {
        deflated += block;
        total = crc32_combine(total, blockCrc, MiB);
    }
    deflated += QByteArray("\x03\x00", 2); // final empty block
    *crc = quint32(total);
    return deflated;
}

// An archive of one deflated entry whose headers state the given facts,
// with ZIP64 records when zip64 is set.
QByteArray rawZip(const QByteArray &name, const QByteArray &deflated, quint32 crc,
                  quint64 declaredSize, bool zip64)
{
    const quint64 compressed = quint64(deflated.size());
    QByteArray extra;
    if (zip64) {
        appendLe(extra, 0x0001, 2);
        appendLe(extra, 16, 2);
        appendLe(extra, declaredSize, 8);
        appendLe(extra, compressed, 8);
    }
    const quint64 size32 = zip64 ? 0xffffffffu : declaredSize;
    const quint64 compressed32 = zip64 ? 0xffffffffu : compressed;
    const int version = zip64 ? 45 : 20;

    QByteArray zip;
    appendLe(zip, 0x04034b50, 4);
    appendLe(zip, version, 2);
    appendLe(zip, 0, 2);    // flags
    appendLe(zip, 8, 2);    // deflated
    appendLe(zip, 0, 2);    // time
    appendLe(zip, 0x21, 2); // 1980-01-01
    appendLe(zip, crc, 4);
    appendLe(zip, compressed32, 4);
    appendLe(zip, size32, 4);
    appendLe(zip, quint64(name.size()), 2);
    appendLe(zip, quint64(extra.size()), 2);
    zip += name + extra + deflated;

    const quint64 directoryStart = quint64(zip.size());
    appendLe(zip, 0x02014b50, 4);
    appendLe(zip, version, 2);
    appendLe(zip, version, 2);
    appendLe(zip, 0, 2);
    appendLe(zip, 8, 2);
    appendLe(zip, 0, 2);
    appendLe(zip, 0x21, 2);
    appendLe(zip, crc, 4);
    appendLe(zip, compressed32, 4);
    appendLe(zip, size32, 4);
    appendLe(zip, quint64(name.size()), 2);
    appendLe(zip, quint64(extra.size()), 2);
    appendLe(zip, 0, 2); // comment
    appendLe(zip, 0, 2); // disk
    appendLe(zip, 0, 2); // internal attributes
    appendLe(zip, 0, 4); // external attributes
    appendLe(zip, 0, 4); // local header at 0
    zip += name + extra;
    const quint64 directorySize = quint64(zip.size()) - directoryStart;

    if (zip64) {
        const quint64 recordStart = quint64(zip.size());
        appendLe(zip, 0x06064b50, 4);
        appendLe(zip, 44, 8);
        appendLe(zip, 45, 2);
        appendLe(zip, 45, 2);
        appendLe(zip, 0, 4);
        appendLe(zip, 0, 4);
        appendLe(zip, 1, 8);
        appendLe(zip, 1, 8);
        appendLe(zip, directorySize, 8);
        appendLe(zip, directoryStart, 8);
        appendLe(zip, 0x07064b50, 4);
        appendLe(zip, 0, 4);
        appendLe(zip, recordStart, 8);
        appendLe(zip, 1, 4);
    }
    appendLe(zip, 0x06054b50, 4);
    appendLe(zip, 0, 2);
    appendLe(zip, 0, 2);
    appendLe(zip, 1, 2);
    appendLe(zip, 1, 2);
    appendLe(zip, directorySize, 4);
    appendLe(zip, directoryStart, 4);
    appendLe(zip, 0, 2);
    return zip;
}

QByteArray queryWithPrimary(const QByteArray &settings, const QByteArray &log = QByteArray())
{
    QByteArray text =
        "<query>\n<command name=\"cat\" args=\"/opt/corvelle/sdcard/settings/primary\">\n" +
        settings + "</command>\n";
    if (!log.isNull()) {
        text += "<command name=\"journalctl\" args=\"-u corvelle-printer\"><![CDATA[" + log +
                "]]></command>\n";
    }
    return text + "</query>\n";
}

// Writes the input of one row into dir and gives its path; an empty path
// after a failed QVERIFY or QSKIP.
using Fixture = std::function<QString(const QTemporaryDir &dir)>;

QString bytesFile(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes)
{
    const QString path = dir.filePath(name);
    return writeBytes(path, bytes) ? path : QString();
}

QString zipBomb(const QTemporaryDir &dir, qint64 inflatedMiB, quint64 declaredSize, bool zip64)
{
    quint32 crc = 0;
    const QByteArray deflated = repeatedDeflate(inflatedMiB, &crc);
    return bytesFile(dir, QStringLiteral("query.zip"),
                     rawZip("query.txt", deflated, crc, declaredSize, zip64));
}

QString encryptedZip(const QTemporaryDir &dir)
{
    const QString path = dir.filePath(QStringLiteral("query.zip"));
    const QByteArray text = queryWithPrimary("  <s key=\"k\" value=\"v\"/>\n");
    QuaZip zip(path);
    if (!zip.open(QuaZip::mdCreate))
        return QString();
    QuaZipFile file(&zip);
    const quint32 crc =
        quint32(crc32(0L, reinterpret_cast<const Bytef *>(text.constData()), uInt(text.size())));
    if (!file.open(QIODevice::WriteOnly, QuaZipNewInfo(QStringLiteral("query.txt")), "secret",
                   crc) ||
        file.write(text) != text.size())
        return QString();
    file.close();
    zip.close();
    return zip.getZipError() == UNZ_OK ? path : QString();
}

QString sparseText(const QTemporaryDir &dir)
{
    const QString path = dir.filePath(QStringLiteral("query.txt"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(2 * 1024 * MiB + 1))
        return QString();
    return path;
}

} // namespace

Q_DECLARE_METATYPE(Fixture)

class tst_HostileInputs : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void boundedOutcome_data();
    void boundedOutcome();

private:
    std::unique_ptr<QTemporaryDir> dir;
};

void tst_HostileInputs::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY(dir->isValid());
}

void tst_HostileInputs::cleanup()
{
    dir.reset();
}

// What the user sees for each hostile file: the read failure (the reader
// gives nothing, the window shows its warning) or a document holding the
// expected text; and how long reading and assembling may take and how much
// memory they may add. Bounds hold under the sanitizers the suite runs with.
void tst_HostileInputs::boundedOutcome_data()
{
    QTest::addColumn<Fixture>("fixture");
    QTest::addColumn<QString>("expected"); // null: the read failure
    QTest::addColumn<int>("maxMs");
    QTest::addColumn<int>("maxExtraMiB");

    const QString refused;
    QTest::newRow("zip bomb, 3 MiB inflating to 3 GiB -> read failure")
        << Fixture([](const QTemporaryDir &d) { return zipBomb(d, 3072, 3072 * MiB, false); })
        << refused << 2000 << 64;
    QTest::newRow("ZIP64 entry of 4.5 GiB -> read failure")
        << Fixture([](const QTemporaryDir &d) { return zipBomb(d, 4608, 4608 * MiB, true); })
        << refused << 2000 << 64;
    QTest::newRow("header says 1000 bytes, data inflates to 1 GiB -> read failure")
        << Fixture([](const QTemporaryDir &d) { return zipBomb(d, 1024, 1000, false); }) << refused
        << 2000 << 64;
    QTest::newRow("header says 2 MiB, data inflates to 1 MiB -> read failure")
        << Fixture([](const QTemporaryDir &d) { return zipBomb(d, 1, 2 * MiB, false); }) << refused
        << 2000 << 64;
    QTest::newRow("encrypted entry -> read failure")
        << Fixture([](const QTemporaryDir &d) { return encryptedZip(d); }) << refused << 2000 << 64;

    QTest::newRow(".txt that is a directory -> read failure")
        << Fixture([](const QTemporaryDir &d) {
               const QString path = d.filePath(QStringLiteral("query.txt"));
               return QDir().mkdir(path) ? path : QString();
           })
        << refused << 2000 << 64;
    QTest::newRow(".txt that is a named pipe -> read failure, no block")
        << Fixture([](const QTemporaryDir &d) {
               const QString path = d.filePath(QStringLiteral("query.txt"));
               return mkfifo(QFile::encodeName(path).constData(), 0600) == 0 ? path : QString();
           })
        << refused << 2000 << 64;
    QTest::newRow(".txt linked to /dev/zero -> read failure")
        << Fixture([](const QTemporaryDir &d) {
               const QString path = d.filePath(QStringLiteral("query.txt"));
               return QFile::link(QStringLiteral("/dev/zero"), path) ? path : QString();
           })
        << refused << 2000 << 64;
    QTest::newRow(".txt without read permission -> read failure")
        << Fixture([](const QTemporaryDir &d) {
               const QString path = bytesFile(d, QStringLiteral("query.txt"), "query");
               return chmod(QFile::encodeName(path).constData(), 0) == 0 ? path : QString();
           })
        << refused << 2000 << 64;
    QTest::newRow("sparse .txt of 2 GiB -> read failure")
        << Fixture([](const QTemporaryDir &d) { return sparseText(d); }) << refused << 2000 << 64;

    QTest::newRow("invalid UTF-8 -> document with replacement characters")
        << Fixture([](const QTemporaryDir &d) {
               return bytesFile(d, QStringLiteral("query.txt"),
                                queryWithPrimary("  <s key=\"a\xff\" value=\"\xc3(\"/>\n"));
           })
        << QString::fromUtf8("a\xef\xbf\xbd\t\xef\xbf\xbd(\n") << 2000 << 64;
    QTest::newRow("UTF-16 -> document without settings") << Fixture([](const QTemporaryDir &d) {
        const QString text = QString::fromUtf8(queryWithPrimary("  <s key=\"k\" value=\"v\"/>\n"));
        QByteArray utf16("\xff\xfe");
        utf16.append(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
        return bytesFile(d, QStringLiteral("query.txt"), utf16);
    }) << QString(primaryHeading + QLatin1String("\n\n\n\n\n\n\n\n\n"))
                                                         << 2000 << 64;

    QTest::newRow("100000 backtracking settings lines -> document")
        << Fixture([](const QTemporaryDir &d) {
               const QByteArray trap = "  <s " + QByteArray("key=\"k\" ").repeated(10) +
                                       "value=\"" + QByteArray(60, 'v') + "\n";
               return bytesFile(
                   d, QStringLiteral("query.txt"),
                   queryWithPrimary(trap.repeated(100000) + "  <s key=\"last\" value=\"1\"/>\n"));
           })
        << QStringLiteral("\nlast\t1\n") << 2000 << 256;
    QTest::newRow("settings line of 10 MB -> document") << Fixture([](const QTemporaryDir &d) {
        return bytesFile(d, QStringLiteral("query.txt"),
                         queryWithPrimary("  <s key=\"big\" value=\"" +
                                          QByteArray(10 * 1000 * 1000, 'v') + "\"/>\n"));
    }) << QStringLiteral("\nbig\tvvvvvvvvvv") << 2000 << 256;
    QTest::newRow("settings line of 10 MB, value never closed -> document")
        << Fixture([](const QTemporaryDir &d) {
               return bytesFile(d, QStringLiteral("query.txt"),
                                queryWithPrimary("  <s key=\"big\" value=\"" +
                                                 QByteArray(10 * 1000 * 1000, 'v') +
                                                 "\n  <s key=\"small\" value=\"1\"/>\n"));
           })
        << QStringLiteral("\nsmall\t1\n") << 2000 << 256;
    QTest::newRow("journal log of one 8 MB line -> document")
        << Fixture([](const QTemporaryDir &d) {
               return bytesFile(d, QStringLiteral("query.txt"),
                                queryWithPrimary("", QByteArray(8 * 1000 * 1000, 'l')));
           })
        << QString(logHeading + QLatin1String("\n\nllllllllll")) << 2000 << 256;
}

void tst_HostileInputs::boundedOutcome()
{
    QFETCH(Fixture, fixture);
    QFETCH(QString, expected);
    QFETCH(int, maxMs);
    QFETCH(int, maxExtraMiB);

    if (QByteArray(QTest::currentDataTag()).contains("permission") && geteuid() == 0)
        QSKIP("running as root, which reads files whatever their permissions");
    const QString path = fixture(*dir);
    QVERIFY2(!path.isEmpty(), "fixture not written");

    QVERIFY(resetPeakMemory());
    const qint64 baseKiB = statusKiB("VmRSS:");
    QElapsedTimer timer;
    timer.start();
    const QString text = readQueryFile(path);
    const QString document = text.isEmpty() ? QString() : assembleQueryDocument(text);
    const qint64 elapsedMs = timer.elapsed();
    const qint64 extraKiB = statusKiB("VmHWM:") - baseKiB;

    if (expected.isNull()) {
        QVERIFY2(text.isEmpty(), qPrintable(text.left(80)));
    } else {
        QVERIFY(document.startsWith(primaryHeading));
        QVERIFY2(document.contains(expected), qPrintable(document.left(400)));
    }
    QVERIFY2(elapsedMs <= maxMs, qPrintable(QStringLiteral("%1 ms").arg(elapsedMs)));
    QVERIFY2(extraKiB <= maxExtraMiB * 1024,
             qPrintable(QStringLiteral("%1 MiB more memory").arg(extraKiB / 1024)));
    qDebug("%lld ms, %lld MiB more memory", elapsedMs, extraKiB / 1024);
}

QTEST_GUILESS_MAIN(tst_HostileInputs)
#include "tst_hostileinputs.moc"
