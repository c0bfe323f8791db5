#include "query/queryreader.h"
#include "queryfixture.h"
#include "testfiles.h"

#include <QTemporaryDir>
#include <QtTest>

class tst_QueryReader : public QObject
{
    Q_OBJECT

private slots:
    void read_data();
    void read();
};

void tst_QueryReader::read_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("plainBytes");
    QTest::addColumn<QVector<ZipEntry>>("entries");
    QTest::addColumn<QString>("expected");
    const auto row = [](const char *name, const char *fileName, const QByteArray &bytes,
                        const QVector<ZipEntry> &entries, const QString &expected) {
        QTest::newRow(name) << QString::fromLatin1(fileName) << bytes << entries << expected;
    };
    row("readme.md, dump/query.txt -> dump/query.txt", "q.zip", {},
        {{"readme.md", "readme"}, {"dump/query.txt", "query"}}, "query");
    row("folder b/, a.txt, b.txt -> a.txt", "q.zip", {},
        {{"b/", ""}, {"a.txt", "A"}, {"b.txt", "B"}}, "A");
    row("QUERY.TXT only -> empty", "q.zip", {}, {{"QUERY.TXT", "query"}}, "");
    row("empty first .txt entry -> empty, no later entry", "q.zip", {},
        {{"a.txt", ""}, {"b.txt", "B"}}, "");
    row("entry A B 0 C D -> AB", "q.zip", {}, {{"q.txt", QByteArray("AB\0CD", 5)}}, "AB");
    row(".Zip -> empty", "q.Zip", {}, {{"q.txt", "query"}}, "");
    row("random bytes named .zip -> empty", "q.zip",
        QByteArray("PK\x05\x06\x9c\x11\xff\xfe\x00\x01garbage", 18), {}, "");
    row(".TXT -> empty", "q.TXT", "query", {}, "");
    row("A B 0 C D -> AB", "q.txt", QByteArray("AB\0CD", 5), {}, "AB");
    row("leading zero -> empty", "q.txt", QByteArray("\0AB", 3), {}, "");
    row("CR LF -> kept", "q.txt", "a\r\nb\r\n", {}, "a\r\nb\r\n");

    // Archives whose stored sizes or checksum do not match the entry's data.
    const QTemporaryDir dir;
    const auto damaged = [&dir](qint64 sizeChange, quint32 crcChange) {
        const QString path = dir.filePath(QStringLiteral("damaged.zip"));
        const QByteArray data("line one\nline two\n");
        if (!writeZipWithStoredFacts(path, QStringLiteral("q.txt"), data,
                                     quint64(data.size() + sizeChange), crc32Of(data) ^ crcChange))
            return QByteArray();
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    row("entry with sizes and CRC right -> text", "q.zip", damaged(0, 0), {},
        "line one\nline two\n");
    row("entry with CRC wrong -> empty", "q.zip", damaged(0, 1), {}, "");
    row("entry with stored size too large -> empty", "q.zip", damaged(5, 0), {}, "");
    row("entry with stored size too small -> empty", "q.zip", damaged(-5, 0), {}, "");
}

void tst_QueryReader::read()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, plainBytes);
    QFETCH(QVector<ZipEntry>, entries);
    const QTemporaryDir dir;
    const QString path = dir.filePath(fileName);
    QVERIFY(entries.isEmpty() ? writeFile(path, plainBytes) : writeZip(path, entries));
    QTEST(readQueryFile(path), "expected");
}

QTEST_GUILESS_MAIN(tst_QueryReader)
#include "tst_queryreader.moc"
