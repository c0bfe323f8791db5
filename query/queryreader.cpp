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

// Reads the device to its end into bytes, sized for expectedSize up front.
// Fails on a read error and as soon as more than maxQueryFileSize bytes
// arrive, whatever size was expected.
bool readBounded(QIODevice &device, qint64 expectedSize, QByteArray &bytes)
{
    if (expectedSize > maxQueryFileSize)
        return false;
    bytes.resize(int(qMax<qint64>(expectedSize, 0)));
    qint64 total = 0;
    for (;;) {
        if (total < bytes.size()) {
            const qint64 got = device.read(bytes.data() + total, bytes.size() - total);
            if (got < 0)
                return false;
            if (got == 0)
                break;
            total += got;
            continue;
        }
        // Full as expected: only grow when the data really goes on.
        char probe[4096];
        const qint64 got = device.read(probe, sizeof probe);
        if (got < 0)
            return false;
        if (got == 0)
            break;
        if (total + got > maxQueryFileSize)
            return false;
        const qint64 grown = qMin(qMax(total * 2, total + got), maxQueryFileSize);
        bytes.resize(int(grown));
        std::memcpy(bytes.data() + total, probe, std::size_t(got));
        total += got;
    }
    bytes.resize(int(total));
    return true;
}

QString decodeQueryBytes(const QByteArray &bytes)
{
    const char *zero =
        static_cast<const char *>(std::memchr(bytes.constData(), 0, std::size_t(bytes.size())));
    const int size = zero ? int(zero - bytes.constData()) : bytes.size();
    return QString::fromUtf8(bytes.constData(), size);
}

QString readPlainFile(const QString &path)
{
    QFile file;
    qint64 size = 0;
    if (!openRegularFile(path, file, &size))
        return QString();
    QByteArray bytes;
    if (!readBounded(file, size, bytes))
        return QString();
    file.close();
    return decodeQueryBytes(bytes);
}

QString readEntry(QuaZip &archive, const QuaZipFileInfo64 &info)
{
    QuaZipFile entry(&archive);
    if (!entry.open(QIODevice::ReadOnly))
        return QString();
    const qint64 declaredSize = qint64(info.uncompressedSize);
    QByteArray bytes;
    const bool complete = readBounded(entry, declaredSize, bytes) && entry.getZipError() == UNZ_OK;
    entry.close();
    // A damaged entry reads short or fails its checksum at close; either way it
    // is not the query text.
    if (!complete || entry.getZipError() != UNZ_OK || bytes.size() != declaredSize)
        return QString();
    return decodeQueryBytes(bytes);
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
