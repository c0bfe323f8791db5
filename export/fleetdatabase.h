#pragma once

#include "export/queryrecord.h"

#include <QHash>
#include <QString>

struct sqlite3;
struct sqlite3_stmt;

// What an earlier export database holds about one query file.
struct StoredFile
{
    qint64 id = 0;
    qint64 size = 0;
    qint64 modifiedMs = 0;
    QString refusal; // null when the file was read
};

// An earlier export database, as far as the next export needs it.
struct PreviousExport
{
    QString programVersion;
    QHash<QString, StoredFile> files; // by path
    qint64 largestId = 0;
};

// An earlier export database, read through SQLite (never as bytes), so that
// its write-ahead log is part of what is read. open() reads it in one read
// transaction that stays open until close(), so that a FleetDatabase copied
// from it holds the same state as was read.
class PreviousDatabase
{
public:
    PreviousDatabase() = default;
    PreviousDatabase(const PreviousDatabase &) = delete;
    PreviousDatabase &operator=(const PreviousDatabase &) = delete;
    ~PreviousDatabase();

    // Opens the database at path read only and reads what the next export
    // needs. False, with a message, and nothing changed, for a file that is
    // not an SQLite database written by an export, one whose schema version is
    // not this program's, one with a hot rollback journal (left by a program
    // that stopped while writing it) and one that cannot be read.
    bool open(const QString &path, PreviousExport *previous, QString *error);
    void close();

private:
    friend class FleetDatabase;
    sqlite3 *db = nullptr;
};

// Holds an export database in place while a new one is renamed over it, so
// that nothing of the old one is left beside the new one: a write-ahead log is
// merged into the old file and removed first, and no other program writes the
// old file (the hold takes its write lock) while the name changes. Released
// by the destructor.
class DatabaseHold
{
public:
    DatabaseHold() = default;
    DatabaseHold(const DatabaseHold &) = delete;
    DatabaseHold &operator=(const DatabaseHold &) = delete;
    ~DatabaseHold();

    // False, with a message, when another program keeps the database open in
    // write-ahead-log mode or is writing it.
    bool hold(const QString &path, QString *error);

private:
    sqlite3 *db = nullptr;
};

// Whether a file that starts with these bytes (at least its first 100) is an
// export database: SQLite's header with an export's application id.
bool hasExportDatabaseHeader(const QByteArray &start);

// An export database being written: the SQLite file of tables "files",
// "settings", "differences" and "export_info" (see the README for the
// schema), marked by its application id and schema version. All changes go
// into one transaction, opened by open() and committed by commit(); the file
// is meant to be a temporary one that the caller renames into place.
class FleetDatabase
{
public:
    FleetDatabase() = default;
    FleetDatabase(const FleetDatabase &) = delete;
    FleetDatabase &operator=(const FleetDatabase &) = delete;
    ~FleetDatabase();

    // Opens path, an empty file, and makes a new database in it, or, with
    // previous, a copy of that database made through SQLite's backup, which is
    // then changed in place. The file's first page, which marks it as an
    // export database, is on disk before anything else is written.
    bool open(const QString &path, const PreviousDatabase *previous = nullptr);
    // Drops the rows of these files; before any insert.
    bool remove(const QVector<qint64> &ids);
    // Stores a file's rows under id, which must be free.
    bool insert(qint64 id, const QueryRecord &record);
    // Records the program's version, builds what is still missing and
    // commits; the database is closed afterwards.
    bool commit(const QString &programVersion);

    // The last failure, in plain words.
    QString errorText() const { return error; }

private:
    bool exec(const char *sql);
    bool prepare(sqlite3_stmt **statement, const char *sql);
    bool step(sqlite3_stmt *statement);
    bool fail();
    void close();
    bool readKeys();
    // The id of a setting's key, stored when it is new; 0 on failure.
    qint64 keyId(const SettingEntry &setting);

    sqlite3 *db = nullptr;
    bool freshSchema = false;
    sqlite3_stmt *insertFile = nullptr;
    sqlite3_stmt *insertSetting = nullptr;
    sqlite3_stmt *insertSettings = nullptr;
    sqlite3_stmt *insertKey = nullptr;
    sqlite3_stmt *insertDifference = nullptr;
    QHash<QString, qint64> keyIds;
    QString error;
};
