#pragma once

#include <QByteArray>
#include <QString>

// Writes bytes to a new or emptied file, creating its folder first. False on
// any error.
bool writeFile(const QString &path, const QByteArray &bytes);

// A real installer package built with wixl in directory, holding one small
// payload and the given ProductVersion. Returns its path, or an empty string
// when wixl failed.
QString buildInstallerPackage(const QString &directory, const QString &name,
                              const QString &version);

// One figure of /proc/self/status in KiB ("VmRSS", "VmHWM"), or -1.
qint64 processStatusKiB(const char *field);
