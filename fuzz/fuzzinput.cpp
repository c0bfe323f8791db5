#include "fuzzinput.h"

#include <QtCore>

QString writeFuzzInput(const QString &name, const uint8_t *data, size_t size)
{
    static const QString base = QDir("/dev/shm").exists() ? "/dev/shm" : QDir::tempPath();
    static const QTemporaryDir directory(base + "/brindle-fuzz-XXXXXX");
    QFile file(directory.filePath(name));
    if (!directory.isValid() || !file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size))
        qFatal("cannot write fuzz input %s", qPrintable(file.fileName()));
    return file.fileName();
}
