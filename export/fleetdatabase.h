#pragma once

#include "export/fleethistory.h"
#include "export/queryrecord.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

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
    // 1: no history kept yet; the export upgrades it.
    int schemaVersion = 0;
    QStringList ignoreRules;
    QHash<QString, StoredFile> files; // by path
    qint64 largestId = 0;
};

// The schema version this program writes. Version 1 kept no history.
extern const int exportSchemaVersion;

// Opens an export database read only (nothing is changed, not even a journal
// beside it rolled back) in a read transaction that lasts until it is
// closed, and gives its schema version. False, with a message, and no
// connection left open, for a file that is not an SQLite database written by
// an export, one whose schema version is later than this program's, one with
// a hot rollback journal (left by a program that stopped while writing it)
// and one that cannot be read.
bool openExportDatabase(const QString &path, sqlite3 **db, int *schemaVersion, QString *error);

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

    // Opens the database at path as openExportDatabase does and reads what
    // the next export needs. False, with a message, and nothing changed, as
    // openExportDatabase refuses.
    bool open(const QString &path, PreviousExport *previous, QString *error);
    void close();

private:
    friend class FleetDatabase;
    sqlite3 *db = nullptr;
    int schemaVersion = 0;
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

// What an export did to the printers' history.
struct HistorySummary
{
    // Periods begun: printers seen for the first time or in a new state.
    int newStates = 0;
    // Printers given their first state by the upgrade of a database of
    // schema version 1; -1 when there was none.
    int upgradedPrinters = -1;
    QVector<SharedSerial> sharedSerials;
};

// An export database being written: the SQLite file of tables "files",
// "settings", "differences" and "export_info", and of the printers' history
// in "exports", "states", "state_settings", "printer_states" and
// "ignore_rules" (see the export guide for the schema), marked by its
// application id and schema version. All changes go into one transaction,
// opened by open() and committed by commit(); the file is meant to be a
// temporary one that the caller renames into place.
class FleetDatabase
{
public:
    FleetDatabase() = default;
    FleetDatabase(const FleetDatabase &) = delete;
    FleetDatabase &operator=(const FleetDatabase &) = delete;
    ~FleetDatabase();

    // Opens path, an empty file, and makes a new database in it, or, with
    // previous, a copy of that database made through SQLite's backup, which is
    // then changed in place: one of schema version 1 is upgraded, the file
    // read for each serial becoming the printer's first state, seen by an
    // export at the time version 1 recorded; with rebuild, the rows of files
    // are dropped (the history stays) so that every file is stored anew. The
    // ignore rules become rules; when they change, whether printers changed
    // is judged by the new ones from now on. The file's first page, which
    // marks it as an export database, is on disk before anything else is
    // written.
    bool open(const QString &path, const PreviousDatabase *previous, bool rebuild,
              const IgnoreRules &rules);
    // Drops the rows of these files; before any insert.
    bool remove(const QVector<qint64> &ids);
    // Stores a file's rows under id, which must be free.
    bool insert(qint64 id, const QueryRecord &record);
    // Offers the state of a file this export read (with digest under the
    // rules given to open) as its printer's. Of the files offered for a
    // serial, the one modified last gives it, then the first by path; a file
    // modified more than a day after the export started (its clock is wrong)
    // only when all are. One that lacks either settings section, or was
    // refused, gives none.
    bool offerState(const QueryRecord &record, const StateDigest &digest);
    // Offers a file this export kept unchanged: when it is the file its
    // printer was last seen in, in the state it was seen in.
    void offerUnchanged(const QString &path, qint64 modifiedMs);
    // Records the printers' periods (a printer whose configuration is as in
    // its last period is seen in it again; another begins a new one) and the
    // export, builds what is still missing and commits; the database is
    // closed afterwards. The file a printer was last seen in takes part in
    // the choice also when it lies outside the paths this export walked and
    // its row is kept: an older copy exported alone does not take the printer
    // back to an earlier state.
    bool commit(const QString &programVersion, HistorySummary *summary);

    // The last failure, in plain words.
    QString errorText() const { return error; }

private:
    // The period a printer was last seen in.
    struct Period
    {
        qint64 id = 0;
        QByteArray configuration;
        QString path;
    };
    // The file that gives a printer's state in this export so far.
    struct Candidate
    {
        QString path;
        qint64 modifiedMs = 0;
        qint64 stateId = 0; // 0: the state of the printer's last period
        int files = 0;
        int aheadFiles = 0;
        // The printer's last file, outside this export's walk, gives it:
        // the printer was not seen by this export.
        bool notSeen = false;
    };

    bool exec(const char *sql);
    bool prepare(sqlite3_stmt **statement, const char *sql);
    bool step(sqlite3_stmt *statement);
    bool fail();
    void close();
    bool readKeys(bool regroup);
    // The id of a setting's key, stored when it is new; 0 on failure.
    qint64 keyId(const SettingEntry &setting);
    // A side's settings, for a state (stateOnly) those stored in one.
    bool insertSettingRows(sqlite3_stmt *one, sqlite3_stmt *batch, qint64 owner,
                           const QVector<SettingEntry> &settings, bool factory, bool stateOnly);
    bool upgradeFromVersion1(const IgnoreRules &rules);
    bool applyIgnoreRules(const IgnoreRules &rules, bool refingerprint);
    bool readPeriods();
    // The id of the state of these settings, stored when it is new; 0 on
    // failure.
    qint64 stateId(const QVector<SettingEntry> &current, const QVector<SettingEntry> &factory,
                   const StateDigest &digest);
    Candidate *candidateFor(const QString &serial, const QString &path, qint64 modifiedMs,
                            bool *chosen);
    bool offerKeptFiles();

    sqlite3 *db = nullptr;
    bool freshSchema = false;
    bool buildIndexes = false;
    sqlite3_stmt *insertFile = nullptr;
    sqlite3_stmt *insertSetting = nullptr;
    sqlite3_stmt *insertSettings = nullptr;
    sqlite3_stmt *insertKey = nullptr;
    sqlite3_stmt *insertDifference = nullptr;
    sqlite3_stmt *findState = nullptr;
    sqlite3_stmt *insertState = nullptr;
    sqlite3_stmt *insertStateSetting = nullptr;
    sqlite3_stmt *insertStateSettings = nullptr;
    QHash<QString, qint64> keyIds;
    QString error;

    qint64 exportId = 0;
    QString exportedAt;
    qint64 startedMs = 0;
    qint64 largestStateId = 0;
    int upgradedPrinters = -1;
    qint64 statesBefore = 0;               // states with a larger id were stored by this export
    QHash<QString, Period> periods;        // by serial
    QHash<QString, QString> periodSerials; // serial by the path of its period
    QHash<QString, Candidate> candidates;  // by serial
    QSet<QString> walkedPaths;             // offered, whether they give a state or not
};
