#pragma once

#include "export/fleethistory.h"
#include "export/queryrecord.h"

#include <QIODevice>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

// A query file found for an export, with its size and modification time as
// found.
struct FoundFile
{
    QString path; // absolute and clean
    qint64 size = 0;
    qint64 modifiedMs = 0;
};

// Called for each folder or name that a walk cannot read or represent, as it
// meets it: the path (names that are not valid UTF-8 shown with U+FFFD) and
// why, in plain words.
using UnreadableCallback = std::function<void(const QString &path, const QString &reason)>;

// What a walk of the paths named for an export found.
struct QueryFileWalk
{
    // A path as named, made absolute and clean.
    struct Named
    {
        QString path;
        bool exists = false;
        bool folder = false;
        int found = 0; // query files found under it
    };
    QVector<Named> named;
    // Sorted by path, each once.
    QVector<FoundFile> files;
    // Folders read to their end without error: a file missing from one of
    // them is gone.
    QSet<QString> listedFolders;
    // Folders that could not be read, or not to their end: what is below
    // them is unknown.
    QSet<QString> unreadableFolders;
    // Folders and names reported as unreadable.
    int unreadable = 0;
};

// The query files named by paths: a file as it is (whatever its name, so that
// the reader can say why it refuses it), a folder walked recursively, without
// following symbolic links to folders, for every entry that is not a folder
// and whose name ends in ".zip" or ".txt" in any case (the reader refuses the
// wrong case with its reason), except macOS metadata files (names starting
// with "._"), as the reader passes over them inside archives. A folder that
// cannot be read (or not to its end) and a name that is not valid UTF-8 are
// reported through unreadable and counted, never passed over in silence. A
// path that does not exist is in named with exists false.
QueryFileWalk findQueryFiles(const QStringList &paths, const UnreadableCallback &unreadable);

// The running count handed to the progress callback.
struct ExportProgress
{
    int done = 0;
    int total = 0;
    int refused = 0;
};

struct ExportOptions
{
    // Files and folders to export; see findQueryFiles.
    QStringList paths;
    // Stored in the database; rows of an export by another version are not
    // reused, so a change in the reader never leaves stale rows behind.
    QString programVersion;
    // At most this many files are read at once; 0 for one per core. Memory
    // holds fewer when their texts are large (see exportMemoryBudget).
    int threads = 0;
    // Rows of files under a named path that is missing, or a folder in which
    // no query file is found any more, are removed instead of the export
    // being refused.
    bool prune = false;
    // Ignore rules (see IgnoreRules) added to those the database holds, and
    // taken away from them: from this export on, the keys they match make no
    // new state. A rule taken away must be held (or added here).
    QStringList ignore;
    QStringList unignore;
    // Called on the calling thread after each file, and for each file that is
    // refused (also one refused before and unchanged since).
    std::function<void(const ExportProgress &)> progress;
    std::function<void(const QString &path, const QString &reason)> refused;
    UnreadableCallback unreadable;
    // Called, once the database is in place, for each serial that several
    // files of the export carry.
    std::function<void(const SharedSerial &)> sharedSerial;
};

// What an export did. Every file counted in files is exactly one of read,
// refused (now, or before and unchanged since) and unchanged; removed counts
// the rows dropped because their files are gone, unreadable the folders and
// names the walk could not read or represent.
struct ExportSummary
{
    int files = 0;
    int read = 0;
    int refused = 0;
    int unchanged = 0;
    int removed = 0;
    int unreadable = 0;
    // SQLite only: printers seen for the first time or in a new state.
    int newStates = 0;
    // SQLite only: printers given their first state by the upgrade of a
    // database of schema version 1; -1 when there was none.
    int upgradedPrinters = -1;
};

struct ExportResult
{
    // Nothing was changed: error says why.
    bool failed = false;
    QString error;
    ExportSummary summary;
};

// The memory that the files being read, and their records waiting to be
// stored, may take together: a file takes 8 bytes per byte of its text (as
// its file or archive entry declares it) plus 1 MiB before it is read, and
// gives it back once its record is stored; a file that needs more than the
// whole budget is read alone.
extern const qint64 exportMemoryBudget;

// How long a lock file stays valid unless refreshed, whatever host wrote it;
// a running export refreshes its own every exportLockRefreshMs.
extern const int exportLockStaleMs;
extern const int exportLockRefreshMs;

// Writes the records of the files under options.paths to the SQLite database
// at databasePath (a symbolic link is followed, also to a file not yet made),
// replacing it as one step once the new one is complete and on disk: whatever
// stops the export before (a kill, a full disk, an error) leaves the previous
// database as it was.
//
// One export at a time: the lock file "DATABASE.lock" is taken before
// anything else and held to the end; one whose export no longer runs on this
// host, or that was not refreshed for exportLockStaleMs, is taken over.
//
// Rows: the files found are added or updated; rows of files outside the named
// paths are kept; a row under a named path is removed only when its file is
// verifiably gone (the folder that held it was read to its end, or the file
// is found missing). Rows of files whose path, size and modification time are
// those stored by the previous export of the same program version, and that
// were read then, are kept without reading them again; files refused before
// are read again every time. An export by another version reads every file
// again, also those outside the named paths, and so does one that changes
// the ignore rules. When nothing changed the database is not written at all.
//
// History: every export that writes the database is recorded in it, and
// every printer it sees (see FleetDatabase::offerState) is seen in the state
// it was last seen in, or begins a new period. The history is never dropped:
// a database of schema version 1 is upgraded, a printer whose files are gone
// keeps its periods.
//
// Refused, with nothing changed: a path that is not a regular file; a file
// that is not an export database of this schema or the one before, or has a
// hot journal; an empty ignore rule, or one taken away that is not held; a
// journal or log beside a database that is missing; a database that another
// export is writing, or that another program keeps open in write-ahead-log
// mode; and, without options.prune, a named path that is missing, or a named
// folder in which no query file is found, while the database holds files
// from it.
//
// The new database is built in a temporary file beside the old one, named
// "DATABASE.brindle-export-XXXXXX.tmp"; such a file is removed by a later
// export only when it is one of ours by content and no running export holds
// it. A new database gets the mode the umask allows, a replaced one keeps
// the old one's mode (and, where allowed, its owner and group).
ExportResult exportToSqlite(const QString &databasePath, const ExportOptions &options);

// Writes one JSON object per file, one per line, in path order.
ExportResult exportToJsonLines(QIODevice *out, const ExportOptions &options);

// The JSON object for one file, the same fields as the SQLite tables.
QByteArray queryRecordJson(const QueryRecord &record);
