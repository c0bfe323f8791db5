#include "testfiles.h"

#include <QtCore>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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

// A child started by runLimited, and what is read from it.
struct Child
{
    pid_t pid = -1;
    pollfd fds[2] = {{-1, POLLIN, 0}, {-1, POLLIN, 0}};
    ChildRun run;
};

// Starts command (program, then arguments) with its limits; returns once the
// child runs the program, so that what it costs from then on is its own.
Child start(const QStringList &command, qint64 limitMiB, int cpuSeconds)
{
    QVector<QByteArray> strings;
    for (const QString &argument : command)
        strings.append(QFile::encodeName(argument));
    QVector<char *> argv;
    for (QByteArray &string : strings)
        argv.append(string.data());
    argv.append(nullptr);
#if defined(__SANITIZE_ADDRESS__)
    // A small quarantine, so that memory freed does not count as held.
    const QByteArray asan = qgetenv("ASAN_OPTIONS") + ":quarantine_size_mb=16:hard_rss_limit_mb=" +
                            QByteArray::number(limitMiB);
#endif
    Child child;
    int out[2];
    int err[2];
    int exec[2]; // closed by the exec
    if (pipe(out) != 0 || pipe(err) != 0 || pipe2(exec, O_CLOEXEC) != 0)
        return child;
    child.pid = fork();
    if (child.pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        const rlimit cpu{rlim_t(cpuSeconds), rlim_t(cpuSeconds)};
        setrlimit(RLIMIT_CPU, &cpu);
#if defined(__SANITIZE_ADDRESS__)
        setenv("ASAN_OPTIONS", asan.constData(), 1);
#else
        const rlimit memory{rlim_t(limitMiB) << 20, rlim_t(limitMiB) << 20};
        setrlimit(RLIMIT_AS, &memory);
#endif
        execv(argv.first(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    close(exec[1]);
    char ignored;
    while (read(exec[0], &ignored, 1) < 0 && errno == EINTR) {
    }
    close(exec[0]);
    child.fds[0].fd = out[0];
    child.fds[1].fd = err[0];
    return child;
}

} // namespace

QVector<ChildRun> runLimited(const QVector<LimitedCommand> &commands, qint64 limitMiB)
{
    int wallMs = 0;
    QVector<Child> children;
    for (const LimitedCommand &command : commands) {
        wallMs += command.cpuSeconds * 4000;
        children.append(start(command.command, limitMiB, command.cpuSeconds));
    }
    QElapsedTimer timer;
    timer.start();
    QVector<pollfd> fds;
    for (bool reading = true; reading && timer.elapsed() < wallMs;) {
        // The kernel's own peak (wait4) would start from this process's size
        // at the fork: each child's is sampled as it runs.
        fds.clear();
        for (Child &child : children) {
            child.run.peakMiB =
                qMax(child.run.peakMiB, processStatusKiB("VmHWM", child.pid) / 1024);
            fds << child.fds[0] << child.fds[1];
        }
        if (poll(fds.data(), nfds_t(fds.size()), 10) <= 0)
            continue;
        reading = false;
        for (int i = 0; i < fds.size(); ++i) {
            Child &child = children[i / 2];
            pollfd &fd = child.fds[i % 2];
            if (fd.fd < 0)
                continue;
            char buffer[65536];
            const ssize_t got = fds.at(i).revents ? read(fd.fd, buffer, sizeof buffer) : -1;
            if (got > 0)
                (i % 2 ? child.run.err : child.run.out).append(buffer, int(got));
            if (got == 0) {
                close(fd.fd);
                fd.fd = -1;
            } else {
                reading = true;
            }
        }
    }
    QVector<ChildRun> runs;
    for (Child &child : children) {
        const bool hung = child.fds[0].fd >= 0 || child.fds[1].fd >= 0;
        if (hung)
            kill(child.pid, SIGKILL);
        int status = 0;
        rusage usage{};
        wait4(child.pid, &status, 0, &usage);
        for (const pollfd &fd : child.fds) {
            if (fd.fd >= 0)
                close(fd.fd);
        }
        child.run.exited = WIFEXITED(status) && !hung;
        child.run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        child.run.cpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000 +
                          (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
        runs.append(child.run);
    }
    return runs;
}
