#include "query/queryreader.h"
#include "queryfixture.h"
#include "testfiles.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

class tst_QueryReader : public QObject
{
    Q_OBJECT

private slots:
    void read_data();
    void read();
};

// Each row: the file (plain bytes, archive entries, or neither: "pipe*" is a
// named pipe, anything else is missing), the text read and, for a refusal,
// part of the reason given.
void tst_QueryReader::read_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("plainBytes");
    QTest::addColumn<QVector<ZipEntry>>("entries");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("reason");
    const auto row = [](const char *name, const char *fileName, const QByteArray &bytes,
                        const QVector<ZipEntry> &entries, const QString &expected,
                        const char *reason = "") {
        QTest::newRow(name) << QString::fromLatin1(fileName) << bytes << entries << expected
                            << QString::fromLatin1(reason);
    };
    const QString fffd(QChar::ReplacementCharacter);
    row("readme.md, b/, __MACOSX/a.txt, x/._b.txt, dump/c.txt, d.txt -> dump/c.txt", "q.zip", {},
        {{"readme.md", "readme"},
         {"b/", ""},
         {"__MACOSX/a.txt", "mac"},
         {"x/._b.txt", QByteArray("\0\5\26\7", 4)},
         {"dump/c.txt", "C"},
         {"d.txt", "D"}},
        "C");
    row("QUERY.TXT only -> no .txt entry", "q.zip", {}, {{"QUERY.TXT", "query"}}, "",
        "no entry whose name ends in .txt");
    row("empty first .txt entry -> empty, no later entry", "q.zip", {},
        {{"a.txt", ""}, {"b.txt", "B"}}, "", "a.txt is empty");
    row("entry A B 0 C D -> A B U+FFFD C D", "q.zip", {}, {{"q.txt", QByteArray("AB\0CD", 5)}},
        "AB" + fffd + "CD");
    row(".Zip -> lower-case .zip", "q.Zip", {}, {{"q.txt", "query"}}, "", "lower-case .zip");
    row("random bytes named .zip -> not a ZIP archive", "q.zip",
        QByteArray("PK\x05\x06\x9c\x11\xff\xfe\x00\x01garbage", 18), {}, "", "not a ZIP archive");
    row(".TXT -> lower-case .txt", "q.TXT", "query", {}, "", "lower-case .txt");
    row("0 A 0 B -> U+FFFD A U+FFFD B", "q.txt", QByteArray("\0A\0B", 4), {},
        fffd + "A" + fffd + "B");
    row("CR LF -> kept", "q.txt", "a\r\nb\r\n", {}, "a\r\nb\r\n");
    row("missing -> does not exist", "missing.txt", {}, {}, "", "does not exist");
    row("named pipe -> not a regular file, no block", "pipe.txt", {}, {}, "", "not a regular file");

    // Archives whose recorded facts do not match the entry's data.
    const QTemporaryDir dir;
    const auto damaged = [&dir](qint64 sizeChange, quint32 crcChange, char flags = 0) {
        const QString path = dir.filePath(QStringLiteral("damaged.zip"));
        const QByteArray data("line one\nline two\n");
        if (!writeZipWithStoredFacts(path, QStringLiteral("q.txt"), data,
                                     quint64(data.size() + sizeChange), crc32Of(data) ^ crcChange))
            return QByteArray();
        QFile file(path);
        QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        const int at = bytes.indexOf("PK\x01\x02") + 8; // the entry's flags, central directory
        bytes[at] = char(bytes.at(at) | flags);
        return bytes;
    };
    row("entry with CRC wrong -> damaged", "q.zip", damaged(0, 1), {}, "", "q.txt is damaged");
    row("entry with stored size too large -> damaged", "q.zip", damaged(5, 0), {}, "",
        "q.txt is damaged");
    row("entry of 600 MiB -> too large", "q.zip", damaged(600 << 20, 0), {}, "",
        "larger than 512 MiB");
    row("entry flagged encrypted -> encrypted", "q.zip", damaged(0, 0, 1), {}, "",
        "q.txt is encrypted");
}

void tst_QueryReader::read()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, plainBytes);
    QFETCH(QVector<ZipEntry>, entries);
    QFETCH(QString, reason);
    const QTemporaryDir dir;
    const QString path = dir.filePath(fileName);
    if (!entries.isEmpty())
        QVERIFY(writeZip(path, entries));
    else if (!plainBytes.isNull())
        QVERIFY(writeFile(path, plainBytes));
    else if (fileName.startsWith("pipe"))
        QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    QString given = QStringLiteral("stale");
    QTEST(readQueryFile(path, &given), "expected");
    QVERIFY2(reason.isEmpty() ? given.isEmpty() : given.contains(reason), qPrintable(given));
}

QTEST_GUILESS_MAIN(tst_QueryReader)
#include "tst_queryreader.moc"
