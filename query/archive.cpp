#include "query/archive.h"

#include "platform/fileserver.h"

const QString archivePath =
    fileServerPath(QStringLiteral("\\Production\\Archivon\\Brindle Arc\\Reports"));

QString archiveFileForSerial(const QString &serial)
{
    if (serial.isEmpty() || serial.contains(QLatin1Char('/')) ||
        serial.contains(QLatin1Char('\\')) || serial == QLatin1String(".") ||
        serial == QLatin1String("..")) {
        return QString();
    }
#ifdef Q_OS_WIN
    const QChar separator = QLatin1Char('\\');
#else
    const QChar separator = QLatin1Char('/');
#endif
    return archivePath + separator + serial + QLatin1String(".zip");
}
