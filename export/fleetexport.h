#pragma once

#include "export/queryrecord.h"

#include <QIODevice>
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

// The query files named by paths: a file as it is (whatever its name, so that
// the reader can say why it refuses it), a folder walked recursively for
// names ending in ".zip" or ".txt" (lower case, as the reader requires) without
// following symbolic links to folders. Sorted by path, each once. False, with
// a message, when a path does not exist.
bool findQueryFiles(const QStringList &paths, QVector<FoundFile> *files, QString *error);

// The running count handed to the progress callback.
struct ExportProgress
{
    int done = 0;
    int total = 0;
    int refused = 0;
};

struct ExportOptions
{
    QStringList paths;
    // Stored in the database; rows of an export by another version are not
    // reused, so a change in the reader never leaves stale rows behind.
    QString programVersion;
    // At most this many files are read at once; 0 for one per core.
    int threads = 0;
    // Called on the calling thread after each file, and for each file that is
    // refused (also one refused before and unchanged since).
    std::function<void(const ExportProgress &)> progress;
    std::function<void(const QString &path, const QString &reason)> refused;
};

// What an export did. Every file is exactly one of read, refused (now, or
// before and unchanged since) and unchanged; removed counts the files of the
// previous export that are gone.
struct ExportSummary
{
    int read = 0;
    int refused = 0;
    int unchanged = 0;
    int removed = 0;
};

struct ExportResult
{
    // Nothing was changed: error says why.
    bool failed = false;
    QString error;
    ExportSummary summary;
};

// Writes the files' records to the SQLite database at databasePath, replacing
// it as one step once the new one is complete and on disk: whatever stops the
// export before (a kill, a full disk, an error) leaves the previous database
// as it was. Rows of files whose path, size and modification time are those
// stored by the previous export of the same program version are kept without
// reading them again; rows of files no longer found are dropped. When nothing
// changed the database is not written at all. Refused: a file that is not an
// export database of this schema, and a database that another export is
// writing (a lock file beside it, "DATABASE.lock", taken over when the export
// that left it is no longer running).
ExportResult exportToSqlite(const QVector<FoundFile> &files, const QString &databasePath,
                            const ExportOptions &options);

// Writes one JSON object per file, one per line, in the order of files.
ExportResult exportToJsonLines(const QVector<FoundFile> &files, QIODevice *out,
                               const ExportOptions &options);

// The JSON object for one file, the same fields as the SQLite tables.
QByteArray queryRecordJson(const QueryRecord &record);
