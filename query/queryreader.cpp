#include "query/queryreader.h"

#include <QFile>
#include <QFileInfo>
#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipfileinfo.h>

#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

const qint64 maxQueryFileSize = qint64(512) * 1024 * 1024;
const int queryReadChunkSize = 1024 * 1024;

namespace {

// Opens a regular file for reading and gives its size. A named pipe is opened
// without blocking and refused, like any other file that is not regular.
bool openRegularFile(const QString &path, QFile &file, qint64 *size)
{
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 ||
        !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    *size = status.st_size;
    return true;
#else
    const QFileInfo info(path);
    if (!info.isFile())
        return false;
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    *size = file.size();
    return true;
#endif
}

bool isContinuationByte(char byte)
{
    return (uchar(byte) & 0xC0) == 0x80;
}

// Reads the device to its end and decodes the bytes before the first zero
// byte exactly as QString::fromUtf8 decodes them in one piece, but a chunk at
// a time, so the raw bytes are never held whole. A chunk ends before an
// unfinished UTF-8 sequence, which is carried into the next one; every chunk
// after the first is decoded behind one ASCII guard character, so that a byte
// order mark inside the text is kept as the one-piece decoding keeps it.
// Fails on a read error and as soon as more than maxQueryFileSize bytes
// arrive, whatever size was expected. With readPastZero the bytes after a zero
// byte are still read (and dropped), so that the device can check them.
bool readDecoded(QIODevice &device, qint64 expectedSize, bool readPastZero, QString &text,
                 qint64 &total)
{
    if (expectedSize > maxQueryFileSize)
        return false;
    text.reserve(int(qMax<qint64>(expectedSize, 0)));
    const int guard = 0;
    const int start = 1;
    const int maxCarry = 3;
    QByteArray buffer(start + maxCarry + queryReadChunkSize, Qt::Uninitialized);
    char *const bytes = buffer.data();
    bytes[guard] = 'x';
    int carried = 0;
    bool cut = false;
    bool decodedBefore = false;
    total = 0;
    const auto decode = [&](int end) {
        if (end == start)
            return;
        const int from = decodedBefore ? guard : start;
        const QString part = QString::fromUtf8(bytes + from, end - from);
        text.append(decodedBefore ? part.midRef(1) : QStringRef(&part));
        decodedBefore = true;
    };
    for (;;) {
        const qint64 got = device.read(bytes + start + carried, queryReadChunkSize);
        if (got < 0)
            return false;
        total += got;
        if (total > maxQueryFileSize)
            return false;
        if (cut) {
            if (got == 0)
                return true;
            continue;
        }
        const int end = start + carried + int(got);
        if (const void *zero = std::memchr(bytes + start + carried, 0, std::size_t(got))) {
            decode(int(static_cast<const char *>(zero) - bytes));
            cut = true;
            if (!readPastZero)
                return true;
            carried = 0;
            continue;
        }
        if (got == 0) {
            decode(end);
            return true;
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

QString readPlainFile(const QString &path)
{
    QFile file;
    qint64 size = 0;
    if (!openRegularFile(path, file, &size))
        return QString();
    QString text;
    qint64 total = 0;
    if (!readDecoded(file, size, false, text, total))
        return QString();
    return text;
}

QString readEntry(QuaZip &archive, const QuaZipFileInfo64 &info)
{
    QuaZipFile entry(&archive);
    if (!entry.open(QIODevice::ReadOnly))
        return QString();
    const qint64 declaredSize = qint64(info.uncompressedSize);
    QString text;
    qint64 total = 0;
    const bool complete =
        readDecoded(entry, declaredSize, true, text, total) && entry.getZipError() == UNZ_OK;
    entry.close();
    // A damaged entry reads short or fails its checksum at close; either way it
    // is not the query text.
    if (!complete || entry.getZipError() != UNZ_OK || total != declaredSize)
        return QString();
    return text;
}

QString readArchive(const QString &path)
{
    QFile file;
    qint64 size = 0;
    if (!openRegularFile(path, file, &size))
        return QString();
    QuaZip archive(&file);
    if (!archive.open(QuaZip::mdUnzip))
        return QString();
    QuaZipFileInfo64 info;
    bool positioned = archive.goToFirstFile();
    while (positioned && archive.getCurrentFileInfo(&info)) {
        if (info.name.endsWith(QLatin1String(".txt")))
            return readEntry(archive, info);
        positioned = archive.goToNextFile();
    }
    return QString();
}

} // namespace

QString readQueryFile(const QString &path)
{
    if (path.endsWith(QLatin1String(".zip")))
        return readArchive(path);
    if (path.endsWith(QLatin1String(".txt")))
        return readPlainFile(path);
    return QString();
}
