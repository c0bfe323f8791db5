#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

// Writes bytes to a new or emptied file, creating its folder first. False on
// any error.
bool writeFile(const QString &path, const QByteArray &bytes);

// A real installer package built with wixl in directory, holding one small
// payload and the given ProductVersion. Returns its path, or an empty string
// when wixl failed.
QString buildInstallerPackage(const QString &directory, const QString &name,
                              const QString &version);

// One figure of /proc/self/status, or of process pid's, in KiB ("VmRSS",
// "VmHWM"), or -1.
qint64 processStatusKiB(const char *field, qint64 pid = -1);

// How a child process ended, and what it cost.
struct ChildRun
{
    // It ended by itself, by exit.
    bool exited = false;
    int status = -1;
    // Its peak resident memory, sampled every 10 ms or so while it ran.
    qint64 peakMiB = 0;
    QByteArray out;
    QByteArray err;
};

// A program, its arguments and the processor time it may take.
struct LimitedCommand
{
    QStringList command;
    int cpuSeconds = 5;
};

// Runs the commands at once, each under a memory limit of limitMiB (the
// address space in a plain build, the resident size under AddressSanitizer,
// which reserves terabytes of address space) and its limit of processor
// time, which a machine's load does not stretch: past either the child is
// killed or its allocations fail. Children that have not all ended after
// four times their processor time together on the clock are killed as hung.
// Standard output and error are read as they run.
QVector<ChildRun> runLimited(const QVector<LimitedCommand> &commands, qint64 limitMiB);
