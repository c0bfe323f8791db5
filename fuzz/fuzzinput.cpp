#include "fuzzinput.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

QString writeFuzzInput(const QString &name, const uint8_t *data, size_t size)
{
    static const QTemporaryDir directory((QDir(QStringLiteral("/dev/shm")).exists()
                                              ? QStringLiteral("/dev/shm")
                                              : QDir::tempPath()) +
                                         QStringLiteral("/brindle-fuzz-XXXXXX"));
    const QString path = directory.filePath(name);
    QFile file(path);
    if (!directory.isValid() || !file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
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
