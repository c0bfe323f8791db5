#include "query/queryreader.h"

#include "query/viewtext.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipfileinfo.h>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

const qint64 maxQueryFileSize = qint64(512) * 1024 * 1024;
const int queryReadChunkSize = 1024 * 1024;
const int maxArchiveEntries = 1000;

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("QueryReader", text);
}

// Opens a regular file for reading and gives its size. A named pipe is opened
// without blocking and refused, like any other file that is not regular.
bool openRegularFile(const QString &path, QFile &file, qint64 *size, QString *reason)
{
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        *reason = error == ENOENT
                      ? tr("The file does not exist.")
                      : tr("The file could not be opened: %1.").arg(qt_error_string(error));
        return false;
    }
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 ||
        !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        *reason = tr("It is not a regular file.");
        ::close(fd);
        return false;
    }
    *size = status.st_size;
    return true;
#else
    const QFileInfo info(path);
    if (!info.exists()) {
        *reason = tr("The file does not exist.");
        return false;
    }
    if (!info.isFile()) {
        *reason = tr("It is not a regular file.");
        return false;
    }
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *reason = tr("The file could not be opened: %1.").arg(file.errorString());
        return false;
    }
    *size = file.size();
    return true;
#endif
}

// Makes every CR that no line feed follows a line feed; a CR LF pair stays
// one line end.
void withCarriageReturnLineEnds(QString &text)
{
    QChar *s = text.data();
    const int size = text.size();
    for (int cr = text.indexOf(QLatin1Char('\r')); cr >= 0;
         cr = text.indexOf(QLatin1Char('\r'), cr + 1)) {
        if (cr + 1 == size || s[cr + 1] != QLatin1Char('\n'))
            s[cr] = QLatin1Char('\n');
    }
}

bool isContinuationByte(char byte)
{
    return (uchar(byte) & 0xC0) == 0x80;
}

enum class ReadResult { Complete, Failed, TooLarge };

// The CRs of a text that no line feed follows, counted a piece of bytes at a
// time as they are read; a CR at the end of one piece is decided by the next.
class LoneCarriageReturns
{
public:
    void count(const char *from, const char *to)
    {
        if (from == to)
            return;
        if (pending && *from != '\n')
            ++found;
        pending = false;
        for (auto cr = static_cast<const char *>(std::memchr(from, '\r', std::size_t(to - from)));
             cr;
             cr = static_cast<const char *>(std::memchr(cr + 1, '\r', std::size_t(to - cr - 1)))) {
            if (cr + 1 == to)
                pending = true;
            else if (cr[1] != '\n')
                ++found;
        }
    }

    qint64 total() const { return found + (pending ? 1 : 0); }

private:
    qint64 found = 0;
    bool pending = false;
};

// Reads the device to its end and decodes the bytes exactly as
// QString::fromUtf8 decodes them in one piece, zero bytes then turned into
// U+FFFD, but a chunk at a time, so the raw bytes are never held whole. A
// chunk ends before an unfinished UTF-8 sequence, which is carried into the
// next one; every chunk after the first is decoded behind one ASCII guard
// character, so that a byte order mark inside the text is kept as the
// one-piece decoding keeps it. Stops as soon as more than maxQueryFileSize
// bytes arrive, whatever size was expected. Text whose lone CRs outnumber
// its line feeds was written with CR line ends: those CRs become line feeds,
// in place.
ReadResult readDecoded(QIODevice &device, qint64 expectedSize, QString &text, qint64 &total)
{
    if (expectedSize > maxQueryFileSize)
        return ReadResult::TooLarge;
    text.reserve(int(qMax<qint64>(expectedSize, 0)));
    const int guard = 0;
    const int start = 1;
    const int maxCarry = 3;
    QByteArray buffer(start + maxCarry + queryReadChunkSize, Qt::Uninitialized);
    char *const bytes = buffer.data();
    bytes[guard] = 'x';
    int carried = 0;
    bool decodedBefore = false;
    LoneCarriageReturns loneCRs;
    total = 0;
    const auto decode = [&](int end) {
        if (end == start)
            return;
        const int from = decodedBefore ? guard : start;
        QString part = QString::fromUtf8(bytes + from, end - from);
        if (std::memchr(bytes + start, 0, std::size_t(end - start)))
            part.replace(QChar(0), QChar(QChar::ReplacementCharacter));
        text.append(decodedBefore ? part.midRef(1) : QStringRef(&part));
        decodedBefore = true;
    };
    for (;;) {
        const qint64 got = device.read(bytes + start + carried, queryReadChunkSize);
        if (got < 0)
            return ReadResult::Failed;
        total += got;
        if (total > maxQueryFileSize)
            return ReadResult::TooLarge;
        const int end = start + carried + int(got);
        loneCRs.count(bytes + start + carried, bytes + end);
        if (got == 0) {
            decode(end);
            if (loneCRs.total() > 0 && loneCRs.total() > text.count(QLatin1Char('\n')))
                withCarriageReturnLineEnds(text);
            return ReadResult::Complete;
        }
        int keep = end;
        for (int back = 1; back <= maxCarry && end - back >= start; ++back) {
            if (!isContinuationByte(bytes[end - back])) {
                keep = end - back;
                break;
            }
        }
        decode(keep);
        carried = end - keep;
        std::memmove(bytes + start, bytes + keep, std::size_t(carried));
    }
}

QString readPlainFile(const QString &path, QString *reason)
{
    QFile file;
    qint64 size = 0;
    if (!openRegularFile(path, file, &size, reason))
        return QString();
    QString text;
    qint64 total = 0;
    switch (readDecoded(file, size, text, total)) {
    case ReadResult::TooLarge:
        *reason = tr("The file is larger than 512 MiB.");
        return QString();
    case ReadResult::Failed:
        *reason = tr("The file could not be read: %1.").arg(file.errorString());
        return QString();
    case ReadResult::Complete:
        break;
    }
    if (text.isEmpty())
        *reason = tr("The file is empty.");
    return text;
}

QString readEntry(QuaZip &archive, const QuaZipFileInfo64 &info, QString *reason)
{
    if (info.isEncrypted()) {
        *reason = tr("The archive's entry %1 is encrypted.").arg(info.name);
        return QString();
    }
    const QString damaged =
        tr("The archive's entry %1 is damaged: its data does not match its recorded size or "
           "checksum.")
            .arg(info.name);
    QuaZipFile entry(&archive);
    if (!entry.open(QIODevice::ReadOnly)) {
        *reason = damaged;
        return QString();
    }
    const qint64 declaredSize = qint64(info.uncompressedSize);
    QString text;
    qint64 total = 0;
    const ReadResult result = readDecoded(entry, declaredSize, text, total);
    const bool readOk = result == ReadResult::Complete && entry.getZipError() == UNZ_OK;
    entry.close();
    if (result == ReadResult::TooLarge) {
        *reason = tr("The archive's entry %1 is larger than 512 MiB.").arg(info.name);
        return QString();
    }
    // A damaged entry reads short or fails its checksum at close; either way it
    // is not the query text.
    if (!readOk || entry.getZipError() != UNZ_OK || total != declaredSize) {
        *reason = damaged;
        return QString();
    }
    if (text.isEmpty())
        *reason = tr("The archive's entry %1 is empty.").arg(info.name);
    return text;
}

// The AppleDouble files and folder that the macOS Finder adds beside every
// file it packs: binary metadata, never a query text.
bool isMacMetadata(const QString &name)
{
    const QLatin1String folder("__MACOSX/");
    return name.startsWith(folder) || name.contains(QLatin1Char('/') + folder) ||
           name.midRef(name.lastIndexOf(QLatin1Char('/')) + 1).startsWith(QLatin1String("._"));
}

// The entry an archive's query text is read from: the first whose name ends
// in ".txt" and that is no macOS metadata.
bool isQueryEntryName(const QString &name)
{
    return name.endsWith(QLatin1String(".txt")) && !isMacMetadata(name);
}

QString readArchive(const QString &path, QString *reason)
{
    QFile file;
    qint64 size = 0;
    if (!openRegularFile(path, file, &size, reason))
        return QString();
    QuaZip archive(&file);
    const QString damaged = tr("It is not a ZIP archive, or the archive is damaged.");
    if (!archive.open(QuaZip::mdUnzip)) {
        *reason = damaged;
        return QString();
    }
    // Walking the entries costs time for each: a query archive holds one.
    const int entries = archive.getEntriesCount();
    if (entries < 0 || entries > maxArchiveEntries) {
        *reason =
            tr("The archive holds more than %1 entries.").arg(groupedNumber(maxArchiveEntries));
        return QString();
    }
    QuaZipFileInfo64 info;
    bool positioned = archive.goToFirstFile();
    while (positioned && archive.getCurrentFileInfo(&info)) {
        if (isQueryEntryName(info.name))
            return readEntry(archive, info, reason);
        positioned = archive.goToNextFile();
    }
    const int error = archive.getZipError();
    *reason = error == UNZ_OK || error == UNZ_END_OF_LIST_OF_FILE
                  ? tr("The archive holds no entry whose name ends in .txt.")
                  : damaged;
    return QString();
}

} // namespace

QString readQueryFile(const QString &path, QString *reason)
{
    QString ignored;
    QString &why = reason ? *reason : ignored;
    why.clear();
    if (path.endsWith(QLatin1String(".zip")))
        return readArchive(path, &why);
    if (path.endsWith(QLatin1String(".txt")))
        return readPlainFile(path, &why);
    if (path.endsWith(QLatin1String(".zip"), Qt::CaseInsensitive))
        why = tr("The file name must end in lower-case .zip.");
    else if (path.endsWith(QLatin1String(".txt"), Qt::CaseInsensitive))
        why = tr("The file name must end in lower-case .txt.");
    else
        why = tr("The file name must end in .zip or .txt.");
    return QString();
}

namespace {

quint32 littleEndian(const char *bytes, int count)
{
    quint32 value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = value << 8 | uchar(bytes[i]);
    return value;
}

// queryTextSize of an archive from its end, read at once: the central
// directory found as minizip finds it, its entries walked in its order until
// the first that readArchive would read. -2 when anything is out of the
// ordinary (ZIP64 ends, bounds that do not add up), for QuaZip to answer.
qint64 declaredEntrySize(QFile &file, qint64 fileSize)
{
    const int endSize = 22;
    // minizip looks for the end record in the last 64 KiB, and not at 0.
    const qint64 tailSize = qMin<qint64>(fileSize, 0xFFFF);
    if (tailSize < endSize || !file.seek(fileSize - tailSize))
        return -2;
    const QByteArray tail = file.read(tailSize);
    const qint64 end = tail.lastIndexOf(QByteArray("PK\x05\x06", 4));
    if (tail.size() != tailSize || end < 0 || end + endSize > tail.size() ||
        fileSize - tailSize + end == 0 ||
        (end >= 20 && tail.mid(end - 20, 4) == QByteArray("PK\x06\x07", 4)))
        return -2;
    const char *record = tail.constData() + end;
    const qint64 entries = littleEndian(record + 10, 2);
    const qint64 directorySize = littleEndian(record + 12, 4);
    const qint64 directoryStart = fileSize - tailSize + end - directorySize;
    if (entries == 0xFFFF || directorySize > 64 * 1024 * 1024 || directoryStart < 0)
        return -2;
    QByteArray directory;
    if (directoryStart >= fileSize - tailSize) {
        directory = tail.mid(int(directoryStart - (fileSize - tailSize)), int(directorySize));
    } else if (file.seek(directoryStart)) {
        directory = file.read(directorySize);
    }
    if (directory.size() != directorySize)
        return -2;
    const int headerSize = 46;
    int at = 0;
    for (qint64 entry = 0; entry < entries; ++entry) {
        const char *header = directory.constData() + at;
        if (at + headerSize > directory.size() || std::memcmp(header, "PK\x01\x02", 4) != 0)
            return -2;
        const int nameSize = int(littleEndian(header + 28, 2));
        const int extraSize = int(littleEndian(header + 30, 2));
        const int next = at + headerSize + nameSize + extraSize + int(littleEndian(header + 32, 2));
        if (next > directory.size())
            return -2;
        // The tests look at ASCII only, which every name encoding keeps as it is.
        const QString name = QString::fromLatin1(header + headerSize, nameSize);
        if (isQueryEntryName(name)) {
            const qint64 size = littleEndian(header + 24, 4);
            if (size != 0xFFFFFFFF)
                return size;
            // ZIP64: the size is the first field of its extra block.
            const char *extra = header + headerSize + nameSize;
            for (int field = 0; field + 4 <= extraSize;) {
                const int fieldSize = int(littleEndian(extra + field + 2, 2));
                if (littleEndian(extra + field, 2) == 0x0001 && fieldSize >= 8 &&
                    field + 4 + fieldSize <= extraSize) {
                    const qint64 high = littleEndian(extra + field + 8, 4);
                    return high > 0 ? maxQueryFileSize + 1 : littleEndian(extra + field + 4, 4);
                }
                field += 4 + fieldSize;
            }
            return -2;
        }
        at = next;
    }
    return -1;
}

} // namespace

qint64 queryTextSize(const QString &path)
{
    QFile file;
    qint64 size = 0;
    QString ignored;
    const bool archive = path.endsWith(QLatin1String(".zip"));
    if ((!archive && !path.endsWith(QLatin1String(".txt"))) ||
        !openRegularFile(path, file, &size, &ignored))
        return -1;
    if (!archive)
        return size;
    const qint64 declared = declaredEntrySize(file, size);
    if (declared != -2)
        return qMin(declared, maxQueryFileSize + 1);
    QuaZip zip(&file);
    if (!zip.open(QuaZip::mdUnzip))
        return -1;
    QuaZipFileInfo64 info;
    for (bool more = zip.goToFirstFile(); more && zip.getCurrentFileInfo(&info);
         more = zip.goToNextFile()) {
        if (isQueryEntryName(info.name))
            return info.uncompressedSize > quint64(maxQueryFileSize)
                       ? maxQueryFileSize + 1
                       : qint64(info.uncompressedSize);
    }
    return -1;
}

QString notEnoughMemoryReason()
{
    return tr("There is not enough memory to read it.");
}
