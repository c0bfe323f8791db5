#include "export/fleetdatabase.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

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

QString jsonArray(const QStringList &values)
{
    return QString::fromUtf8(
        QJsonDocument(QJsonArray::fromStringList(values)).toJson(QJsonDocument::Compact));
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

bool readPreviousExport(const QString &path, PreviousExport *previous, QString *error)
{
    configureSqlite();
    sqlite3 *db = nullptr;
    const QByteArray name = path.toUtf8();
    const bool opened =
        sqlite3_open_v2(name.constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK;
    qint64 applicationId = 0;
    qint64 version = 0;
    bool ok = false;
    if (!opened || !pragmaValue(db, "PRAGMA application_id", &applicationId) ||
        applicationId != exportApplicationId) {
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
        ok = true;
    }
    sqlite3_close(db);
    return ok;
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

bool FleetDatabase::open(const QString &path, bool fresh)
{
    configureSqlite();
    freshSchema = fresh;
    const QByteArray name = path.toUtf8();
    // One thread uses the connection: it needs no mutex of its own.
    if (sqlite3_open_v2(name.constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK)
        return fail();
    // No journal and no syncing: the file is a temporary one, synced and
    // renamed into place only once it is complete, and dropped otherwise.
    // Larger pages than the default hold more of the many small settings rows
    // each, so a first export writes and sorts fewer of them.
    if (fresh && !exec("PRAGMA page_size = 16384"))
        return false;
    if (!exec("PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF; BEGIN"))
        return false;
    const QByteArray header = "PRAGMA application_id = " + QByteArray::number(exportApplicationId) +
                              "; PRAGMA user_version = " + QByteArray::number(exportSchemaVersion) +
                              ";" + schema;
    if (fresh && !exec(header.constData()))
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
        const QString factory = jsonArray(difference.left);
        const QString current = jsonArray(difference.right);
        sqlite3_bind_int64(insertDifference, 1, id);
        sqlite3_bind_int(insertDifference, 2, position++);
        bindText(insertDifference, 3, difference.key);
        bindText(insertDifference, 4, group);
        bindText(insertDifference, 5, factory);
        bindText(insertDifference, 6, current);
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
