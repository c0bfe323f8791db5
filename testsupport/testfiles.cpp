#include "testfiles.h"

#include <QtCore>

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush();
}

QString buildInstallerPackage(const QString &directory, const QString &name, const QString &version)
{
    const QString wxs = QStringLiteral(R"(<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi"><Product Id="*" Name="BrindleQueryTool"
 Language="1033" Version="%1" Manufacturer="Corvelle"
 UpgradeCode="6f1d2c3b-0a4e-4b6f-9c8d-7e6f5a4b3c2d">
<Package InstallerVersion="200" Compressed="yes"/>
<Media Id="1" Cabinet="payload.cab" EmbedCab="yes"/><Directory Id="TARGETDIR" Name="SourceDir">
<Directory Id="ProgramFilesFolder"><Directory Id="INSTALLDIR" Name="BrindleQueryTool">
<Component Id="Main" Guid="0b9a8c7d-6e5f-4a3b-8c2d-1e0f9a8b7c6d">
<File Id="payload" Source="payload.txt"/></Component></Directory></Directory></Directory>
<Feature Id="All" Level="1"><ComponentRef Id="Main"/></Feature></Product></Wix>
)");
    const QDir dir(directory);
    const QString source = dir.filePath(name + ".wxs");
    const QString package = dir.filePath(name + ".msi");
    if (!writeFile(dir.filePath("payload.txt"), "payload\n") ||
        !writeFile(source, wxs.arg(version).toUtf8()))
        return QString();
    QProcess wixl; // it finds the payload by its name in the working directory
    wixl.setWorkingDirectory(directory);
    wixl.start("wixl", {"-o", package, source});
    const bool built = wixl.waitForFinished(60000) && wixl.exitStatus() == QProcess::NormalExit;
    return built && wixl.exitCode() == 0 ? package : QString();
}

qint64 processStatusKiB(const char *field)
{
    QFile file(QStringLiteral("/proc/self/status"));
    const QByteArray status = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    const int at = status.indexOf(QByteArray(field) + ':');
    return at < 0
               ? -1
               : status.mid(at + qstrlen(field) + 1, 32).trimmed().split(' ').value(0).toLongLong();
}
