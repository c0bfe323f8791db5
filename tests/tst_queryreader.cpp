#include "query/queryreader.h"
#include "queryfixture.h"
#include "testfiles.h"

#include <QtTest>

#include <sys/stat.h>

// Each row: the file (archive entries, plain bytes, or neither: "pipe*" is a
// named pipe, anything else is missing) and the text read or, after "!", part
// of the reason for the refusal.
class tst_QueryReader : public QObject
{
    Q_OBJECT

private slots:
    void read_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QVector<ZipEntry>>("entries");
        QTest::addColumn<QString>("result");
        const auto row = [](const char *name, const char *fileName, const QByteArray &bytes,
                            const QString &result, const QVector<ZipEntry> &entries = {}) {
            QTest::newRow(name) << QString(fileName) << bytes << entries << result;
        };
        QVector<ZipEntry> named; // each entry holds its name
        for (const char *entry :
             {"readme.md", "b/", "__MACOSX/a.txt", "x/._b.txt", "dump/c.txt", "d.txt"})
            named << ZipEntry(entry, entry);
        row("entries above, first .txt not Mac metadata -> dump/c.txt", "q.zip", {}, "dump/c.txt",
            named);
        // Catches the entry limit refusing an archive that holds just as many.
        QVector<ZipEntry> most;
        for (int i = 1; i < maxArchiveEntries; ++i)
            most << ZipEntry(QString("e%1/").arg(i), {});
        row("1,000 entries, the query last -> read", "q.zip", {}, "query",
            most << ZipEntry("q.txt", "query"));
        row("QUERY.TXT only -> no .txt entry", "q.zip", {}, "!no entry whose name ends",
            {{"QUERY.TXT", "q"}});
        row("empty first .txt entry -> empty, no later entry", "q.zip", {}, "!a.txt is empty",
            {{"a.txt", ""}, {"b.txt", "B"}});
        row("entry A B 0 C D -> A B U+FFFD C D", "q.zip", {},
            "AB" + QString(QChar::ReplacementCharacter) + "CD",
            {{"q.txt", QByteArray("AB\0CD", 5)}});
        // Line ends by majority, in an archive and a plain file alike: lone
        // CRs that outnumber the line feeds are line ends, a CR LF pair stays.
        row("entry with CR line ends only -> read with line feeds", "q.zip", {}, "a\nb\n\nc",
            {{"q.txt", "a\rb\r\rc"}});
        row("plain file, CR line ends and one stray line feed -> CRs read as line feeds", "q.txt",
            "a\rb\r\nc\rd\ne\r", "a\nb\r\nc\nd\ne\n");
        row("as many lone CRs as line feeds -> as written", "q.txt", "a\rb\r\n", "a\rb\r\n");
        row(".Zip -> lower-case .zip", "q.Zip", {}, "!lower-case .zip", {{"q.txt", "query"}});
        row("random bytes named .zip -> not a ZIP archive", "q.zip",
            QByteArray("PK\x05\x06\x9c\x11\xff\xfe\x00\x01garbage", 18), "!not a ZIP archive");
        row(".TXT -> lower-case .txt", "q.TXT", "query", "!lower-case .txt");
        // Zero bytes and CR LF in a plain file are left to the fuzz target's seeds.
        row("missing -> does not exist", "missing.txt", {}, "!does not exist");
        row("named pipe -> not a regular file, no block", "pipe.txt", {}, "!not a regular file");

        // Archives whose recorded facts do not match the entry's data.
        const QTemporaryDir dir;
        const auto damaged = [&dir](qint64 sizeChange, quint32 crcChange, char flags = 0) {
            const QString path = dir.filePath("damaged.zip");
            const QByteArray data("line one\nline two\n");
            QFile zip(path);
            if (!writeZipWithStoredFacts(path, "q.txt", data, quint64(data.size() + sizeChange),
                                         crc32Of(data) ^ crcChange) ||
                !zip.open(QIODevice::ReadOnly))
                return QByteArray();
            QByteArray bytes = zip.readAll();
            // The entry's flags in the central directory.
            bytes.data()[bytes.indexOf("PK\x01\x02") + 8] |= flags;
            return bytes;
        };
        row("entry with CRC wrong -> damaged", "q.zip", damaged(0, 1), "!q.txt is damaged");
        row("entry with stored size too large -> damaged", "q.zip", damaged(5, 0),
            "!q.txt is damaged");
        row("entry of 600 MiB -> too large", "q.zip", damaged(600 << 20, 0),
            "!larger than 512 MiB");
        row("entry flagged encrypted -> encrypted", "q.zip", damaged(0, 0, 1),
            "!q.txt is encrypted");
    }

    void read()
    {
        QFETCH(QString, fileName);
        QFETCH(QByteArray, bytes);
        QFETCH(QVector<ZipEntry>, entries);
        QFETCH(QString, result);
        const QTemporaryDir dir;
        const QString path = dir.filePath(fileName);
        if (!entries.isEmpty())
            QVERIFY(writeZip(path, entries));
        else if (!bytes.isNull())
            QVERIFY(writeFile(path, bytes));
        else if (fileName.startsWith("pipe"))
            QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        const QString reason = result.startsWith('!') ? result.mid(1) : QString();
        QString given = "stale";
        QCOMPARE(readQueryFile(path, &given), reason.isNull() ? result : QString());
        QVERIFY2(reason.isNull() ? given.isEmpty() : given.contains(reason), qPrintable(given));
    }
};

QTEST_GUILESS_MAIN(tst_QueryReader)
#include "tst_queryreader.moc"
