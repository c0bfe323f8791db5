#include "platform/fileserver.h"

QString fileServerPath(const QString &sharePath)
{
    const QString server = QStringLiteral(BRINDLE_FILE_SERVER);
#ifdef Q_OS_WIN
    return QStringLiteral("\\\\") + server + sharePath;
#else
    QString path = sharePath;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return server + path;
#endif
}
