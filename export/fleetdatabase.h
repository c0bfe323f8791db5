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

// Reads an existing export database without changing it. False, with a
// message, for a file that is not an SQLite database written by an export or
// whose schema version is not this program's.
bool readPreviousExport(const QString &path, PreviousExport *previous, QString *error);

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

    // Opens path, an empty file (a new database is made in it) or a copy of
    // an earlier export database (which is then changed in place).
    bool open(const QString &path, bool fresh);
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
