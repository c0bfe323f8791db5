#include "query/queryreader.h"
#include "queryfixture.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

class tst_QueryReader : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void read_data();
    void read();
    void decodedInPieces_data();
    void decodedInPieces();
    void notRegularFile_data();
    void notRegularFile();
    void unreadableFile();
    void damagedEntry_data();
    void damagedEntry();
    void sizeLimit();

private:
    QString path(const QString &name) const { return dir->filePath(name); }
    void writeFile(const QString &name, const QByteArray &bytes);

    std::unique_ptr<QTemporaryDir> dir;
};

void tst_QueryReader::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY(dir->isValid());
}

void tst_QueryReader::cleanup()
{
    dir.reset();
}

void tst_QueryReader::writeFile(const QString &name, const QByteArray &bytes)
{
    QFile file(path(name));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
}

void tst_QueryReader::read_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("plainBytes");
    QTest::addColumn<QVector<ZipEntry>>("entries");
    QTest::addColumn<int>("truncateTo");
    QTest::addColumn<QString>("expected");
    const QVector<ZipEntry> none;
    const auto entry = [](const char *name, const QByteArray &bytes) {
        return ZipEntry(QString::fromUtf8(name), bytes);
    };

    QTest::newRow("readme.md, dump/query.txt -> dump/query.txt")
        << "q.zip" << QByteArray()
        << QVector<ZipEntry>{entry("readme.md", "readme"), entry("dump/query.txt", "query")} << -1
        << "query";
    QTest::newRow("a.txt, b.txt -> a.txt")
        << "q.zip" << QByteArray()
        << QVector<ZipEntry>{entry("b/", ""), entry("a.txt", "A"), entry("b.txt", "B")} << -1
        << "A";
    QTest::newRow("QUERY.TXT only -> empty")
        << "q.zip" << QByteArray() << QVector<ZipEntry>{entry("QUERY.TXT", "query")} << -1 << "";
    QTest::newRow("empty first .txt entry -> empty, no later entry")
        << "q.zip" << QByteArray() << QVector<ZipEntry>{entry("a.txt", ""), entry("b.txt", "B")}
        << -1 << "";
    QTest::newRow("entry A B 0 C D -> AB")
        << "q.zip" << QByteArray() << QVector<ZipEntry>{entry("q.txt", QByteArray("AB\0CD", 5))}
        << -1 << "AB";
    QTest::newRow("text named .zip -> empty") << "q.zip" << QByteArray("query") << none << -1 << "";
    QTest::newRow("random bytes named .zip -> empty")
        << "q.zip" << QByteArray("PK\x05\x06\x9c\x11\xff\xfe\x00\x01garbage", 18) << none << -1
        << "";
    QTest::newRow("truncated archive -> empty")
        << "q.zip" << QByteArray() << QVector<ZipEntry>{entry("q.txt", QByteArray(4000, 'q'))} << 40
        << "";
    QTest::newRow("archive named .txt -> bytes before its first zero")
        << "q.txt" << QByteArray() << QVector<ZipEntry>{entry("q.txt", "query")} << -1
        << "PK\x03\x04\x14";
    QTest::newRow(".Zip -> empty")
        << "q.Zip" << QByteArray() << QVector<ZipEntry>{entry("q.txt", "x")} << -1 << "";
    QTest::newRow(".TXT -> empty") << "q.TXT" << QByteArray("query") << none << -1 << "";
    QTest::newRow(".xml -> empty") << "q.xml" << QByteArray("query") << none << -1 << "";
    QTest::newRow("missing file -> empty") << "missing.txt" << QByteArray() << none << -1 << "";
    QTest::newRow("empty file -> empty") << "q.txt" << QByteArray("") << none << -1 << "";
    QTest::newRow("A B 0 C D -> AB") << "q.txt" << QByteArray("AB\0CD", 5) << none << -1 << "AB";
    QTest::newRow("leading zero -> empty") << "q.txt" << QByteArray("\0AB", 3) << none << -1 << "";
    QTest::newRow("CR LF -> kept")
        << "q.txt" << QByteArray("a\r\nb\r\n") << none << -1 << "a\r\nb\r\n";
    QTest::newRow("malformed UTF-8 -> replacement characters")
        << "q.txt" << QByteArray("a\xC3(b\xFF") << none << -1 << QStringLiteral("a\uFFFD(b\uFFFD");
    QTest::newRow("UTF-16 -> up to its first zero")
        << "q.txt" << QByteArray("\xFF\xFEQ\0u\0", 6) << none << -1
        << QStringLiteral("\uFFFD\uFFFDQ");
    QTest::newRow("UTF-8 -> decoded") << "q.txt" << QByteArray("Gr\xC3\xBC\xC3\x9F") << none << -1
                                      << QStringLiteral("Gr\u00FC\u00DF");
}

void tst_QueryReader::read()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, plainBytes);
    QFETCH(QVector<ZipEntry>, entries);
    QFETCH(int, truncateTo);
    QFETCH(QString, expected);
    if (!entries.isEmpty())
        QVERIFY(writeZip(path(fileName), entries));
    else if (!plainBytes.isNull())
        writeFile(fileName, plainBytes);
    if (truncateTo >= 0)
        QVERIFY(QFile::resize(path(fileName), truncateTo));
    QCOMPARE(readQueryFile(path(fileName)), expected);
}

// Large files are decoded a chunk at a time; the result must be what one
// QString::fromUtf8 of the whole file gives, whatever straddles a boundary.
void tst_QueryReader::decodedInPieces_data()
{
    QTest::addColumn<QByteArray>("bytes");
    const QList<QPair<const char *, QByteArray>> sequences = {
        {"byte order mark", "\xEF\xBB\xBF"},         {"4-byte sequence", "\xF0\x9F\x98\x80"},
        {"3-byte sequence", "\xE2\x82\xAC"},         {"unfinished sequence", "\xE2\x82"},
        {"stray continuations", "\x80\x80\x80\x80"}, {"invalid lead", "\xF8\x88\x80"},
    };
    for (const auto &sequence : sequences) {
        for (int offset = 0; offset <= 4; ++offset) {
            const QByteArray bytes = QByteArray(queryReadChunkSize - offset, 'a') +
                                     sequence.second + QByteArray(queryReadChunkSize, 'b') +
                                     sequence.second;
            QTest::addRow("%s %d before the boundary -> as one piece", sequence.first, offset)
                << bytes;
        }
    }
    const QList<QByteArray> fragments = {
        "a",    "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xEF\xBB\xBF", "\xE2",
        "\x80", "\xFF",     "\r\n"};
    QRandomGenerator random(7);
    QByteArray mixed;
    while (mixed.size() < 3 * queryReadChunkSize)
        mixed += fragments.at(int(random.bounded(quint32(fragments.size()))));
    QTest::newRow("3 MiB of mixed fragments -> as one piece") << mixed;
}

void tst_QueryReader::decodedInPieces()
{
    QFETCH(QByteArray, bytes);
    writeFile(QStringLiteral("q.txt"), bytes);
    QVERIFY(readQueryFile(path(QStringLiteral("q.txt"))) == QString::fromUtf8(bytes));
}

void tst_QueryReader::notRegularFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("fileName");
    QTest::newRow("directory x.txt -> empty") << "directory"
                                              << "x.txt";
    QTest::newRow("directory x.zip -> empty") << "directory"
                                              << "x.zip";
#ifdef Q_OS_UNIX
    QTest::newRow("named pipe x.txt -> empty, no block") << "pipe"
                                                         << "x.txt";
    QTest::newRow("named pipe x.zip -> empty, no block") << "pipe"
                                                         << "x.zip";
    QTest::newRow("link to /dev/zero x.txt -> empty") << "device"
                                                      << "x.txt";
#endif
}

void tst_QueryReader::notRegularFile()
{
    QFETCH(QString, kind);
    QFETCH(QString, fileName);
    const QString target = path(fileName);
    if (kind == QLatin1String("directory"))
        QVERIFY(QDir().mkdir(target));
#ifdef Q_OS_UNIX
    else if (kind == QLatin1String("pipe"))
        QCOMPARE(::mkfifo(QFile::encodeName(target).constData(), 0600), 0);
    else
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), target));
#endif
    QCOMPARE(readQueryFile(target), QString());
}

void tst_QueryReader::unreadableFile()
{
#ifdef Q_OS_UNIX
    if (::geteuid() == 0)
        QSKIP("Running as root: file permissions do not stop reading.");
#endif
    writeFile(QStringLiteral("q.txt"), "query");
    QVERIFY(QFile::setPermissions(path(QStringLiteral("q.txt")), QFileDevice::WriteOwner));
    QCOMPARE(readQueryFile(path(QStringLiteral("q.txt"))), QString());
}

void tst_QueryReader::damagedEntry_data()
{
    QTest::addColumn<qint64>("sizeChange");
    QTest::addColumn<quint32>("crcChange");
    QTest::addColumn<QString>("expected");
    QTest::newRow("sizes and CRC right -> text") << qint64(0) << 0u << "line one\nline two\n";
    QTest::newRow("CRC wrong -> empty") << qint64(0) << 1u << "";
    QTest::newRow("stored size too large -> empty") << qint64(5) << 0u << "";
    QTest::newRow("stored size too small -> empty") << qint64(-5) << 0u << "";
}

void tst_QueryReader::damagedEntry()
{
    QFETCH(qint64, sizeChange);
    QFETCH(quint32, crcChange);
    QFETCH(QString, expected);
    const QByteArray data("line one\nline two\n");
    QVERIFY(writeZipWithStoredFacts(path(QStringLiteral("q.zip")), QStringLiteral("q.txt"), data,
                                    quint64(data.size() + sizeChange), crc32Of(data) ^ crcChange));
    QCOMPARE(readQueryFile(path(QStringLiteral("q.zip"))), expected);
}

// Refused before reading: a sparse file and an archive inflating past the
// limit stay small on disk and are never held in memory.
void tst_QueryReader::sizeLimit()
{
    const QString big = path(QStringLiteral("big.txt"));
    writeFile(QStringLiteral("big.txt"), "x");
    QVERIFY(QFile::resize(big, maxQueryFileSize + 1));
    QCOMPARE(readQueryFile(big), QString());

    const QString bomb = path(QStringLiteral("bomb.zip"));
    QVERIFY(writeFillerZip(bomb, QStringLiteral("q.txt"), maxQueryFileSize + 1, 'q'));
    QVERIFY2(QFileInfo(bomb).size() < 2 * 1024 * 1024,
             qPrintable(QString::number(QFileInfo(bomb).size())));
    QCOMPARE(readQueryFile(bomb), QString());
}

QTEST_GUILESS_MAIN(tst_QueryReader)
#include "tst_queryreader.moc"
