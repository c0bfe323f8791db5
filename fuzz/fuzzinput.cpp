#include "fuzzinput.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

QByteArray inputDirectory;

void removeInputDirectory()
{
    if (!inputDirectory.isEmpty())
        QDir(QFile::decodeName(inputDirectory)).removeRecursively();
}

const QString &fuzzDirectory()
{
    static const QString directory = [] {
        QByteArray pattern =
            QDir("/dev/shm").exists() ? "/dev/shm" : QFile::encodeName(QDir::tempPath());
        pattern += "/brindle-fuzz-XXXXXX";
        if (!mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            std::abort();
        }
        inputDirectory = pattern;
        std::atexit(removeInputDirectory);
        return QFile::decodeName(pattern);
    }();
    return directory;
}

} // namespace

QString writeFuzzInput(const QString &name, const uint8_t *data, size_t size)
{
    const QString path = fuzzDirectory() + QLatin1Char('/') + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size)) {
        std::fprintf(stderr, "cannot write fuzz input %s\n", qPrintable(path));
        std::abort();
    }
    return path;
}

void fuzzCheckFailed(const char *condition, const char *file, int line)
{
    std::fprintf(stderr, "%s:%d: property failed: %s\n", file, line, condition);
    std::abort();
}
