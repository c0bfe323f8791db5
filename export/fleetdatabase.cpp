#include "export/fleetdatabase.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <sqlite3.h>

namespace {

// "BQEx": marks a database as an export of ours; user_version is the schema.
const int exportApplicationId = 0x42514578;
const int exportSchemaVersion = 1;

// Setting rows per INSERT statement: a file's settings go in a few steps.
const int settingsBatch = 50;

// A key is stored once, with its group, and setting rows refer to it: the
// rows stay small, so a first export of many printers is mostly reading.
// Indexes come after the rows of a new database: building them once is much
// cheaper than keeping them up to date row by row.
const char *const schema = R"(
CREATE TABLE export_info (
  program_version TEXT NOT NULL,
  exported_at TEXT NOT NULL
);
CREATE TABLE files (
  id INTEGER PRIMARY KEY,
  path TEXT NOT NULL UNIQUE,
  size INTEGER NOT NULL,
  modified_ms INTEGER NOT NULL,
  serial TEXT NOT NULL,
  model TEXT,
  was_read INTEGER NOT NULL,
  refusal TEXT,
  has_current INTEGER NOT NULL,
  has_factory INTEGER NOT NULL,
  difference_count INTEGER
);
CREATE TABLE keys (
  id INTEGER PRIMARY KEY,
  key TEXT NOT NULL UNIQUE,
  setting_group TEXT NOT NULL
);
CREATE TABLE settings (
  file_id INTEGER NOT NULL,
  side TEXT NOT NULL,
  position INTEGER NOT NULL,
  key_id INTEGER NOT NULL,
  value TEXT NOT NULL
);
CREATE TABLE differences (
  file_id INTEGER NOT NULL,
  position INTEGER NOT NULL,
  key TEXT NOT NULL,
  setting_group TEXT NOT NULL,
  factory TEXT NOT NULL,
  current TEXT NOT NULL
);
CREATE VIEW setting_values AS
  SELECT s.file_id, f.serial, f.model, s.side, k.key, s.value, k.setting_group, s.position
  FROM settings s JOIN keys k ON k.id = s.key_id JOIN files f ON f.id = s.file_id;
)";

const char *const indexes = R"(
CREATE INDEX files_by_serial ON files (serial);
CREATE INDEX settings_by_key ON settings (key_id);
CREATE INDEX differences_by_key ON differences (key);
)";

// Called before the first connection: the export counts no memory, so the
// one writing thread takes no lock for each allocation.
void configureSqlite()
{
    static const bool configured = [] {
        sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
        return true;
    }();
    Q_UNUSED(configured)
}

QString sqliteMessage(sqlite3 *db)
{
    return QString::fromUtf8(db ? sqlite3_errmsg(db) : "out of memory");
}

// Binds text for the next step only: the string must live until then.
void bindText(sqlite3_stmt *statement, int index, const QString &text)
{
    if (text.isNull())
        sqlite3_bind_null(statement, index);
    else
        sqlite3_bind_text16(statement, index, text.utf16(), text.size() * 2, SQLITE_STATIC);
}

QString columnText(sqlite3_stmt *statement, int index)
{
    if (sqlite3_column_type(statement, index) == SQLITE_NULL)
        return QString();
    const void *text = sqlite3_column_text16(statement, index);
    return QString::fromUtf16(static_cast<const char16_t *>(text),
                              sqlite3_column_bytes16(statement, index) / 2);
}

// Binds UTF-8 text for the next step only: the bytes must live until then.
void bindUtf8(sqlite3_stmt *statement, int index, const QByteArray &text)
{
    sqlite3_bind_text(statement, index, text.constData(), text.size(), SQLITE_STATIC);
}

// One value of a query that gives one integer.
bool pragmaValue(sqlite3 *db, const char *sql, qint64 *value)
{
    sqlite3_stmt *statement = nullptr;
    bool ok = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK &&
              sqlite3_step(statement) == SQLITE_ROW;
    if (ok)
        *value = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    return ok;
}

bool readFiles(sqlite3 *db, PreviousExport *previous)
{
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT id, path, size, modified_ms, refusal FROM files", -1,
                           &statement, nullptr) != SQLITE_OK)
        return false;
    int result;
    while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
        StoredFile file;
        file.id = sqlite3_column_int64(statement, 0);
        file.size = sqlite3_column_int64(statement, 2);
        file.modifiedMs = sqlite3_column_int64(statement, 3);
        file.refusal = columnText(statement, 4);
        previous->largestId = qMax(previous->largestId, file.id);
        previous->files.insert(columnText(statement, 1), file);
    }
    sqlite3_finalize(statement);
    if (result != SQLITE_DONE)
        return false;
    if (sqlite3_prepare_v2(db, "SELECT program_version FROM export_info", -1, &statement,
                           nullptr) != SQLITE_OK)
        return false;
    if (sqlite3_step(statement) == SQLITE_ROW)
        previous->programVersion = columnText(statement, 0);
    sqlite3_finalize(statement);
    return true;
}

} // namespace

bool hasExportDatabaseHeader(const QByteArray &start)
{
    const int applicationIdOffset = 68;
    return start.size() >= 100 && start.startsWith(QByteArray("SQLite format 3\0", 16)) &&
           qFromBigEndian<qint32>(start.constData() + applicationIdOffset) == exportApplicationId;
}

PreviousDatabase::~PreviousDatabase()
{
    close();
}

void PreviousDatabase::close()
{
    sqlite3_close(db);
    db = nullptr;
}

bool PreviousDatabase::open(const QString &path, PreviousExport *previous, QString *error)
{
    configureSqlite();
    const QByteArray name = path.toUtf8();
    qint64 applicationId = 0;
    qint64 version = 0;
    // Read only, so that a file that is not ours is never changed, not even by
    // SQLite rolling back a journal beside it. A writer of another program
    // is given a few seconds to finish.
    const bool opened =
        sqlite3_open_v2(name.constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_extended_result_codes(db, 1) == SQLITE_OK &&
        sqlite3_busy_timeout(db, 5000) == SQLITE_OK &&
        sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
    const bool header = opened && pragmaValue(db, "PRAGMA application_id", &applicationId);
    const int code = db ? sqlite3_extended_errcode(db) : SQLITE_NOMEM;
    if (!header && code == SQLITE_READONLY_ROLLBACK) {
        *error = QStringLiteral("Its rollback journal (%1-journal) is hot: a program stopped while "
                                "writing the database. Open the database once with sqlite3, which "
                                "rolls the journal back, then export again. It is left as it is.")
                     .arg(QFileInfo(path).fileName());
    } else if (!header && (code & 0xff) == SQLITE_BUSY) {
        *error = QStringLiteral("Another program is writing to it. It is left as it is.");
    } else if (!header && code != SQLITE_NOTADB && code != SQLITE_OK) {
        *error =
            QStringLiteral("It could not be read: %1. It is left as it is.").arg(sqliteMessage(db));
    } else if (applicationId != exportApplicationId) {
        *error = QStringLiteral("It is not a database written by brindle-query export; it is "
                                "left as it is.");
    } else if (!pragmaValue(db, "PRAGMA user_version", &version) ||
               version != exportSchemaVersion) {
        *error = QStringLiteral("Its schema version %1 is not this program's (%2); it is left as "
                                "it is.")
                     .arg(version)
                     .arg(exportSchemaVersion);
    } else if (!readFiles(db, previous)) {
        *error = QStringLiteral("It could not be read: %1.").arg(sqliteMessage(db));
    } else {
        return true;
    }
    close();
    return false;
}

DatabaseHold::~DatabaseHold()
{
    sqlite3_close(db); // an open transaction is rolled back: it wrote nothing
}

bool DatabaseHold::hold(const QString &path, QString *error)
{
    configureSqlite();
    const QByteArray file = path.toUtf8();
    // Merging the log needs the database to itself; readers and writers of
    // other programs are given two seconds to finish.
    if (sqlite3_open_v2(file.constData(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
        sqlite3_busy_timeout(db, 2000) != SQLITE_OK) {
        *error =
            QStringLiteral("It could not be opened to be replaced: %1.").arg(sqliteMessage(db));
        return false;
    }
    sqlite3_stmt *statement = nullptr;
    QByteArray mode;
    if (sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
        mode = reinterpret_cast<const char *>(sqlite3_column_text(statement, 0));
    sqlite3_finalize(statement);
    // A log left beside the new file would be read as part of it. Leaving
    // write-ahead-log mode merges the log into the old file and deletes it;
    // it needs the database to itself.
    const QString name = QFileInfo(path).fileName();
    if (mode == "wal" &&
        sqlite3_exec(db, "PRAGMA journal_mode = DELETE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        *error = sqlite3_errcode(db) == SQLITE_BUSY
                     ? QStringLiteral("Another program has it open in write-ahead-log mode "
                                      "(%1-wal): close it, then export again. It is left as it is.")
                           .arg(name)
                     : QStringLiteral("Its write-ahead log (%1-wal) could not be merged into it: "
                                      "%2. It is left as it is.")
                           .arg(name, sqliteMessage(db));
        return false;
    }
    if (QFileInfo::exists(path + QStringLiteral("-wal"))) {
        *error = QStringLiteral("Its write-ahead log (%1-wal) could not be merged into it. It is "
                                "left as it is.")
                     .arg(name);
        return false;
    }
    // The write lock: a program writing the old file while it is replaced
    // would leave a journal that the new file would take for its own. Nobody
    // writes a file that is read only.
    if (sqlite3_db_readonly(db, "main") != 1 &&
        sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        *error = QStringLiteral("Another program is writing to it. It is left as it is.");
        return false;
    }
    return true;
}

FleetDatabase::~FleetDatabase()
{
    close();
}

void FleetDatabase::close()
{
    for (sqlite3_stmt *statement :
         {insertFile, insertSetting, insertSettings, insertKey, insertDifference})
        sqlite3_finalize(statement);
    insertFile = insertSetting = insertSettings = insertKey = insertDifference = nullptr;
    sqlite3_close(db);
    db = nullptr;
}

bool FleetDatabase::fail()
{
    if (error.isEmpty())
        error = sqliteMessage(db);
    return false;
}

bool FleetDatabase::exec(const char *sql)
{
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK || fail();
}

bool FleetDatabase::prepare(sqlite3_stmt **statement, const char *sql)
{
    return sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, statement, nullptr) ==
               SQLITE_OK ||
           fail();
}

bool FleetDatabase::step(sqlite3_stmt *statement)
{
    const int result = sqlite3_step(statement);
    sqlite3_reset(statement);
    return result == SQLITE_DONE || fail();
}

bool FleetDatabase::open(const QString &path, const PreviousDatabase *previous)
{
    configureSqlite();
    freshSchema = !previous;
    const QByteArray name = path.toUtf8();
    // One thread uses the connection: it needs no mutex of its own.
    if (sqlite3_open_v2(name.constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK)
        return fail();
    // No journal and no syncing: the file is a temporary one, synced and
    // renamed into place only once it is complete, and dropped otherwise.
    // Larger pages than the default hold more of the many small settings rows
    // each, so a first export writes and sorts fewer of them. The first page
    // goes to disk at once: it is what marks a temporary file left by a killed
    // export as ours, to be removed by the next one.
    const QByteArray header = "PRAGMA application_id = " + QByteArray::number(exportApplicationId);
    if ((freshSchema && !exec("PRAGMA page_size = 16384")) ||
        !exec("PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF") || !exec(header.constData()))
        return false;
    if (previous) {
        // A copy through SQLite: a consistent state, its log included. The copy
        // takes the old file's journal mode, which the temporary file must not
        // have: its write-ahead log would be a file of its own beside it.
        sqlite3_backup *backup = sqlite3_backup_init(db, "main", previous->db, "main");
        const bool copied = backup && sqlite3_backup_step(backup, -1) == SQLITE_DONE;
        if (sqlite3_backup_finish(backup) != SQLITE_OK || !copied ||
            !exec("PRAGMA journal_mode = DELETE; PRAGMA journal_mode = OFF"))
            return fail();
    }
    if (!exec("BEGIN"))
        return false;
    const QByteArray versionAndSchema =
        "PRAGMA user_version = " + QByteArray::number(exportSchemaVersion) + ";" + schema;
    if (freshSchema && !exec(versionAndSchema.constData()))
        return false;
    return prepare(&insertFile, "INSERT INTO files VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)") &&
           prepare(&insertSetting, "INSERT INTO settings VALUES (?, ?, ?, ?, ?)") &&
           prepare(&insertSettings,
                   QByteArray("INSERT INTO settings VALUES (?, ?, ?, ?, ?)" +
                              QByteArray(", (?, ?, ?, ?, ?)").repeated(settingsBatch - 1))
                       .constData()) &&
           prepare(&insertKey, "INSERT INTO keys VALUES (?, ?, ?)") &&
           prepare(&insertDifference, "INSERT INTO differences VALUES (?, ?, ?, ?, ?, ?)") &&
           readKeys();
}

bool FleetDatabase::remove(const QVector<qint64> &ids)
{
    // One pass over each table for all files: an index on the settings'
    // file_id, only for this, would cost every first export more than the
    // pass costs an incremental one.
    sqlite3_stmt *gone = nullptr;
    bool ok = exec("CREATE TEMP TABLE gone (id INTEGER PRIMARY KEY)") &&
              prepare(&gone, "INSERT INTO gone VALUES (?)");
    for (int i = 0; ok && i < ids.size(); ++i) {
        sqlite3_bind_int64(gone, 1, ids.at(i));
        ok = step(gone);
    }
    sqlite3_finalize(gone);
    return ok && exec("DELETE FROM files WHERE id IN gone;"
                      "DELETE FROM settings WHERE file_id IN gone;"
                      "DELETE FROM differences WHERE file_id IN gone;"
                      "DROP TABLE gone");
}

bool FleetDatabase::insert(qint64 id, const QueryRecord &record)
{
    sqlite3_bind_int64(insertFile, 1, id);
    bindText(insertFile, 2, record.path);
    sqlite3_bind_int64(insertFile, 3, record.size);
    sqlite3_bind_int64(insertFile, 4, record.modifiedMs);
    bindText(insertFile, 5, record.serial);
    bindText(insertFile, 6, record.model);
    sqlite3_bind_int(insertFile, 7, record.wasRead());
    bindText(insertFile, 8, record.refusal);
    sqlite3_bind_int(insertFile, 9, record.hasCurrent());
    sqlite3_bind_int(insertFile, 10, record.hasFactory());
    if (record.comparable())
        sqlite3_bind_int(insertFile, 11, record.differences.size());
    else
        sqlite3_bind_null(insertFile, 11);
    if (!step(insertFile))
        return false;

    const char *const sides[] = {"current", "factory"};
    const QVector<SettingEntry> *sections[] = {&record.current, &record.factory};
    for (int side = 0; side < 2; ++side) {
        const QVector<SettingEntry> &settings = *sections[side];
        // Whole batches through the statement of many rows, the rest one by one.
        for (int position = 0; position < settings.size();) {
            const bool batch = settings.size() - position >= settingsBatch;
            sqlite3_stmt *statement = batch ? insertSettings : insertSetting;
            const int rows = batch ? settingsBatch : 1;
            for (int row = 0; row < rows; ++row, ++position) {
                const SettingEntry &setting = settings.at(position);
                const qint64 key = keyId(setting);
                if (key == 0)
                    return false;
                const int column = row * 5;
                sqlite3_bind_int64(statement, column + 1, id);
                sqlite3_bind_text(statement, column + 2, sides[side], -1, SQLITE_STATIC);
                sqlite3_bind_int(statement, column + 3, position);
                sqlite3_bind_int64(statement, column + 4, key);
                bindText(statement, column + 5, setting.value);
            }
            if (!step(statement))
                return false;
        }
    }
    int position = 0;
    for (const SettingDifference &difference : record.differences) {
        const QString group = settingGroupName(difference.group);
        QByteArray factory;
        appendJsonList(factory, difference.left);
        QByteArray current;
        appendJsonList(current, difference.right);
        sqlite3_bind_int64(insertDifference, 1, id);
        sqlite3_bind_int(insertDifference, 2, position++);
        bindText(insertDifference, 3, difference.key);
        bindText(insertDifference, 4, group);
        bindUtf8(insertDifference, 5, factory);
        bindUtf8(insertDifference, 6, current);
        if (!step(insertDifference))
            return false;
    }
    return true;
}

bool FleetDatabase::readKeys()
{
    sqlite3_stmt *statement = nullptr;
    if (!prepare(&statement, "SELECT id, key FROM keys"))
        return false;
    int result;
    while ((result = sqlite3_step(statement)) == SQLITE_ROW)
        keyIds.insert(columnText(statement, 1), sqlite3_column_int64(statement, 0));
    sqlite3_finalize(statement);
    return result == SQLITE_DONE || fail();
}

qint64 FleetDatabase::keyId(const SettingEntry &setting)
{
    const auto known = keyIds.constFind(setting.key);
    if (known != keyIds.cend())
        return *known;
    const qint64 id = keyIds.size() + 1;
    const QString group = settingGroupName(setting.group);
    sqlite3_bind_int64(insertKey, 1, id);
    bindText(insertKey, 2, setting.key);
    bindText(insertKey, 3, group);
    if (!step(insertKey))
        return 0;
    keyIds.insert(setting.key, id);
    return id;
}

bool FleetDatabase::commit(const QString &programVersion)
{
    sqlite3_stmt *info = nullptr;
    const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    const bool ok = exec("DELETE FROM export_info") &&
                    prepare(&info, "INSERT INTO export_info VALUES (?, ?)") &&
                    (bindText(info, 1, programVersion), bindText(info, 2, now), step(info)) &&
                    (!freshSchema || exec(indexes)) && exec("COMMIT");
    sqlite3_finalize(info);
    close();
    return ok;
}
