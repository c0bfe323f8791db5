#include "platform/installedversion.h"

#include <QSettings>

QString readInstalledVersion()
{
    const QString key = QStringLiteral("Version");
#ifdef Q_OS_WIN
    const QSettings native(
        QStringLiteral("HKEY_LOCAL_MACHINE\\Software\\Corvelle\\BrindleQueryTool"),
        QSettings::NativeFormat);
    if (native.contains(key))
        return native.value(key).toString();
    const QSettings wow(
        QStringLiteral("HKEY_LOCAL_MACHINE\\Software\\Wow6432node\\Corvelle\\BrindleQueryTool"),
        QSettings::NativeFormat);
    return wow.value(key).toString();
#else
    const QSettings system(QSettings::NativeFormat, QSettings::SystemScope,
                           QStringLiteral("Corvelle"), QStringLiteral("BrindleQueryTool"));
    return system.value(key).toString();
#endif
}
