#include "testfiles.h"

#include <QtCore>

#include <memory>
#include <sys/resource.h>
#include <vector>

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

qint64 processStatusKiB(const char *field, qint64 pid)
{
    QFile file(pid < 0 ? QStringLiteral("/proc/self/status")
                       : QStringLiteral("/proc/%1/status").arg(pid));
    const QByteArray status = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    const int at = status.indexOf(QByteArray(field) + ':');
    return at < 0
               ? -1
               : status.mid(at + qstrlen(field) + 1, 32).trimmed().split(' ').value(0).toLongLong();
}

namespace {

// A process started with the limits of runLimited, set in the child before
// it runs the program.
class LimitedProcess : public QProcess
{
public:
    LimitedProcess(qint64 limitMiB, int cpuSeconds)
        : limitMiB(limitMiB)
        , cpuSeconds(cpuSeconds)
    {
#if defined(__SANITIZE_ADDRESS__)
        // A small quarantine, so that memory freed does not count as held.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("ASAN_OPTIONS", environment.value("ASAN_OPTIONS") +
                                               ":quarantine_size_mb=16:hard_rss_limit_mb=" +
                                               QString::number(limitMiB));
        setProcessEnvironment(environment);
#endif
    }

protected:
    void setupChildProcess() override
    {
        const rlimit cpu{rlim_t(cpuSeconds), rlim_t(cpuSeconds)};
        setrlimit(RLIMIT_CPU, &cpu);
#if !defined(__SANITIZE_ADDRESS__)
        const rlimit memory{rlim_t(limitMiB) << 20, rlim_t(limitMiB) << 20};
        setrlimit(RLIMIT_AS, &memory);
#endif
    }

private:
    const qint64 limitMiB;
    const int cpuSeconds;
};

} // namespace

QVector<ChildRun> runLimited(const QVector<LimitedCommand> &commands, qint64 limitMiB)
{
    std::vector<std::unique_ptr<LimitedProcess>> processes;
    QVector<ChildRun> runs(commands.size());
    int wallMs = 0;
    for (const LimitedCommand &command : commands) {
        wallMs += command.cpuSeconds * 4000;
        processes.emplace_back(new LimitedProcess(limitMiB, command.cpuSeconds));
        processes.back()->start(command.command.first(), command.command.mid(1));
        processes.back()->waitForStarted(-1);
    }
    QElapsedTimer timer;
    timer.start();
    // Sampled from the start of the program: the kernel's own peak (wait4)
    // would begin with this process's size at the fork.
    for (bool running = true; running && timer.elapsed() < wallMs;) {
        running = false;
        for (std::size_t i = 0; i < processes.size(); ++i) {
            if (processes[i]->state() == QProcess::NotRunning)
                continue;
            runs[int(i)].peakMiB = qMax(
                runs[int(i)].peakMiB, processStatusKiB("VmHWM", processes[i]->processId()) / 1024);
            running = !processes[i]->waitForFinished(10) || running;
        }
    }
    for (std::size_t i = 0; i < processes.size(); ++i) {
        QProcess &process = *processes[i];
        ChildRun &run = runs[int(i)];
        run.exited =
            process.state() == QProcess::NotRunning && process.exitStatus() == QProcess::NormalExit;
        process.kill();
        process.waitForFinished(-1);
        run.status = process.exitCode();
        run.out = process.readAllStandardOutput();
        run.err = process.readAllStandardError();
    }
    return runs;
}
