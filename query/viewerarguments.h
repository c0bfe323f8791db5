#pragma once

#include <QString>
#include <QStringList>

// What the viewer's command line asks for: BrindleQueryTool [FILE]
// [--history DATABASE], the option before or after the file. The first
// argument that is not the option (or its value) is the file, whatever it
// looks like (./-h names a file -h); later ones are ignored.
struct ViewerArguments
{
    QString file;
    // --history DATABASE or --history=DATABASE: the history database for
    // this run, made absolute; the one remembered in the settings stays.
    QString historyDatabase;
    // Set, in plain words, when the arguments cannot be taken.
    QString error;
};

// The whole command line, the program first (as QCoreApplication gives it).
ViewerArguments viewerArguments(const QStringList &arguments);
