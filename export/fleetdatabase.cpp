#include "export/fleetdatabase.h"

#include "export/sqlitetext.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

const int exportSchemaVersion = 2;

namespace {

// "BQEx": marks a database as an export of ours; user_version is the schema.
const int exportApplicationId = 0x42514578;

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

// The history, added by schema version 2. A state's settings are stored
// together, in the order of its id, so that reading one state reads a few
// pages, their side as 0 (current) or 1 (factory), which takes no byte; a
// state is stored once, whichever printers are in it. A printer's periods
// are found through its serial.
const char *const historySchema = R"(
CREATE TABLE exports (
  id INTEGER PRIMARY KEY,
  exported_at TEXT NOT NULL,
  program_version TEXT NOT NULL
);
CREATE TABLE ignore_rules (
  glob TEXT PRIMARY KEY
);
CREATE TABLE states (
  id INTEGER PRIMARY KEY,
  hash BLOB NOT NULL UNIQUE,
  configuration_hash BLOB NOT NULL
);
CREATE TABLE state_settings (
  state_id INTEGER NOT NULL,
  side INTEGER NOT NULL,
  position INTEGER NOT NULL,
  key_id INTEGER NOT NULL,
  value TEXT NOT NULL,
  PRIMARY KEY (state_id, side, position)
) WITHOUT ROWID;
CREATE TABLE printer_states (
  id INTEGER PRIMARY KEY,
  serial TEXT NOT NULL,
  state_id INTEGER NOT NULL,
  first_export INTEGER NOT NULL,
  last_export INTEGER NOT NULL,
  modified_ms INTEGER NOT NULL,
  path TEXT NOT NULL
);
CREATE INDEX printer_states_by_serial ON printer_states (serial, first_export);
CREATE VIEW state_values AS
  SELECT s.state_id, CASE s.side WHEN 0 THEN 'current' ELSE 'factory' END AS side, k.key,
    s.value, k.setting_group, s.position
  FROM state_settings s JOIN keys k ON k.id = s.key_id;
CREATE VIEW printer_history AS
  SELECT p.serial, p.state_id,
    (SELECT q.state_id FROM printer_states q WHERE q.serial = p.serial
      AND q.first_export < p.first_export ORDER BY q.first_export DESC LIMIT 1)
      AS previous_state_id,
    first.exported_at AS first_seen, last.exported_at AS last_seen,
    p.first_export, p.last_export, p.path, p.modified_ms
  FROM printer_states p JOIN exports first ON first.id = p.first_export
  JOIN exports last ON last.id = p.last_export;
)";

// The latest modification time believed of a report file seen by an export
// that started at exportMs: a day covers clocks set to another time zone, or
// a little wrong. A later one is a clock that is wrong, or a copy touched
// with a date in the future.
qint64 latestBelievableMs(qint64 exportMs)
{
    return exportMs + 24 * 3600 * 1000;
}

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

// The text of each row of a query of one column.
bool readTexts(sqlite3 *db, const char *sql, QStringList *texts)
{
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK)
        return false;
    int result;
    while ((result = sqlite3_step(statement)) == SQLITE_ROW)
        texts->append(columnText(statement, 0));
    sqlite3_finalize(statement);
    return result == SQLITE_DONE;
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
    QStringList versions;
    if (!readTexts(db, "SELECT program_version FROM export_info", &versions))
        return false;
    previous->programVersion = versions.value(0);
    return previous->schemaVersion < 2 ||
           readTexts(db, "SELECT glob FROM ignore_rules", &previous->ignoreRules);
}

} // namespace

bool hasExportDatabaseHeader(const QByteArray &start)
{
    const int applicationIdOffset = 68;
    return start.size() >= 100 && start.startsWith(QByteArray("SQLite format 3\0", 16)) &&
           qFromBigEndian<qint32>(start.constData() + applicationIdOffset) == exportApplicationId;
}

bool openExportDatabase(const QString &path, sqlite3 **db, int *schemaVersion, QString *error)
{
    configureSqlite();
    const QByteArray name = path.toUtf8();
    qint64 applicationId = 0;
    qint64 version = 0;
    // Read only, so that a file that is not ours is never changed, not even by
    // SQLite rolling back a journal beside it. A writer of another program
    // is given a few seconds to finish.
    const bool opened =
        sqlite3_open_v2(name.constData(), db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_extended_result_codes(*db, 1) == SQLITE_OK &&
        sqlite3_busy_timeout(*db, 5000) == SQLITE_OK &&
        sqlite3_exec(*db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
    const bool header = opened && pragmaValue(*db, "PRAGMA application_id", &applicationId);
    const int code = *db ? sqlite3_extended_errcode(*db) : SQLITE_NOMEM;
    if (!header && code == SQLITE_READONLY_ROLLBACK) {
        *error = QStringLiteral("Its rollback journal (%1-journal) is hot: a program stopped while "
                                "writing the database. Open the database once with sqlite3, which "
                                "rolls the journal back.")
                     .arg(QFileInfo(path).fileName());
    } else if (!header && (code & 0xff) == SQLITE_BUSY) {
        *error = QStringLiteral("Another program is writing to it.");
    } else if (!header && code != SQLITE_NOTADB && code != SQLITE_OK) {
        *error = QStringLiteral("It could not be read: %1.").arg(sqliteMessage(*db));
    } else if (applicationId != exportApplicationId) {
        *error = QStringLiteral("It is not a database written by brindle-query export.");
    } else if (!pragmaValue(*db, "PRAGMA user_version", &version) || version < 1 ||
               version > exportSchemaVersion) {
        *error = QStringLiteral("Its schema version %1 is not this program's (%2).")
                     .arg(version)
                     .arg(exportSchemaVersion);
    } else {
        *schemaVersion = int(version);
        return true;
    }
    sqlite3_close(*db);
    *db = nullptr;
    return false;
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
    if (!openExportDatabase(path, &db, &schemaVersion, error)) {
        *error += QStringLiteral(" It is left as it is.");
        return false;
    }
    previous->schemaVersion = schemaVersion;
    if (!readFiles(db, previous)) {
        *error = QStringLiteral("It could not be read: %1.").arg(sqliteMessage(db));
        close();
        return false;
    }
    return true;
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
         {insertFile, insertSetting, insertSettings, insertKey, insertDifference, findState,
          insertState, insertStateSetting, insertStateSettings})
        sqlite3_finalize(statement);
    insertFile = insertSetting = insertSettings = insertKey = insertDifference = nullptr;
    findState = insertState = insertStateSetting = insertStateSettings = nullptr;
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

bool FleetDatabase::open(const QString &path, const PreviousDatabase *previous, bool rebuild,
                         const IgnoreRules &rules)
{
    configureSqlite();
    freshSchema = !previous;
    buildIndexes = freshSchema || rebuild;
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
    const bool upgrade = previous && previous->schemaVersion < exportSchemaVersion;
    const QByteArray version = "PRAGMA user_version = " + QByteArray::number(exportSchemaVersion);
    if (!exec("BEGIN") || (freshSchema && !exec(schema)) ||
        ((freshSchema || upgrade) && !exec(historySchema)) || !exec(version.constData()))
        return false;
    if (!prepare(&insertFile, "INSERT INTO files VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)") ||
        !prepare(&insertSetting, "INSERT INTO settings VALUES (?, ?, ?, ?, ?)") ||
        !prepare(&insertSettings,
                 QByteArray("INSERT INTO settings VALUES (?, ?, ?, ?, ?)" +
                            QByteArray(", (?, ?, ?, ?, ?)").repeated(settingsBatch - 1))
                     .constData()) ||
        !prepare(&insertKey, "INSERT INTO keys VALUES (?, ?, ?)") ||
        !prepare(&insertDifference, "INSERT INTO differences VALUES (?, ?, ?, ?, ?, ?)") ||
        !prepare(&findState, "SELECT id FROM states WHERE hash = ?") ||
        !prepare(&insertState, "INSERT INTO states VALUES (?, ?, ?)") ||
        !prepare(&insertStateSetting, "INSERT INTO state_settings VALUES (?, ?, ?, ?, ?)") ||
        !prepare(&insertStateSettings,
                 QByteArray("INSERT INTO state_settings VALUES (?, ?, ?, ?, ?)" +
                            QByteArray(", (?, ?, ?, ?, ?)").repeated(settingsBatch - 1))
                     .constData()) ||
        !readKeys(rebuild))
        return false;

    // Every export that writes the database is one, with its time as this
    // machine's clock gives it.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    exportedAt = now.toString(Qt::ISODate);
    startedMs = now.toMSecsSinceEpoch();
    qint64 lastExport = 0;
    if (!pragmaValue(db, "SELECT coalesce(max(id), 0) FROM exports", &lastExport) ||
        !pragmaValue(db, "SELECT coalesce(max(id), 0) FROM states", &largestStateId))
        return fail();
    exportId = lastExport + 1;
    if (upgrade ? !upgradeFromVersion1(rules) : !applyIgnoreRules(rules, rebuild))
        return false;
    statesBefore = largestStateId;
    // The history stays; the files' rows are stored anew, their indexes built
    // once afterwards.
    if (rebuild && !exec("DROP INDEX IF EXISTS files_by_serial;"
                         "DROP INDEX IF EXISTS settings_by_key;"
                         "DROP INDEX IF EXISTS differences_by_key;"
                         "DELETE FROM files; DELETE FROM settings; DELETE FROM differences"))
        return false;
    return readPeriods();
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

bool FleetDatabase::insertSettingRows(sqlite3_stmt *one, sqlite3_stmt *batch, qint64 owner,
                                      const QVector<SettingEntry> &settings, bool factory,
                                      bool stateOnly)
{
    const char *const side = factory ? "factory" : "current";
    QVector<int> positions;
    positions.reserve(settings.size());
    for (int position = 0; position < settings.size(); ++position) {
        if (!stateOnly || isStoredInState(settings.at(position)))
            positions.append(position);
    }
    // Whole batches through the statement of many rows, the rest one by one.
    for (int next = 0; next < positions.size();) {
        const bool many = positions.size() - next >= settingsBatch;
        sqlite3_stmt *statement = many ? batch : one;
        const int rows = many ? settingsBatch : 1;
        for (int row = 0; row < rows; ++row, ++next) {
            const int position = positions.at(next);
            const SettingEntry &setting = settings.at(position);
            const qint64 key = keyId(setting);
            if (key == 0)
                return false;
            const int column = row * 5;
            sqlite3_bind_int64(statement, column + 1, owner);
            if (stateOnly)
                sqlite3_bind_int(statement, column + 2, factory);
            else
                sqlite3_bind_text(statement, column + 2, side, -1, SQLITE_STATIC);
            sqlite3_bind_int(statement, column + 3, position);
            sqlite3_bind_int64(statement, column + 4, key);
            bindText(statement, column + 5, setting.value);
        }
        if (!step(statement))
            return false;
    }
    return true;
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
    if (!step(insertFile) ||
        !insertSettingRows(insertSetting, insertSettings, id, record.current, false, false) ||
        !insertSettingRows(insertSetting, insertSettings, id, record.factory, true, false))
        return false;
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

bool FleetDatabase::readKeys(bool regroup)
{
    sqlite3_stmt *statement = nullptr;
    if (!prepare(&statement, "SELECT id, key, setting_group FROM keys"))
        return false;
    QVector<QPair<qint64, QString>> regrouped;
    int result;
    while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
        const QString key = columnText(statement, 1);
        keyIds.insert(key, sqlite3_column_int64(statement, 0));
        // Another version may group a key otherwise; its rows are all stored
        // anew, and so is the group.
        const QString group = settingGroupName(settingGroup(key));
        if (regroup && columnText(statement, 2) != group)
            regrouped.append({sqlite3_column_int64(statement, 0), group});
    }
    sqlite3_finalize(statement);
    if (result != SQLITE_DONE)
        return fail();
    if (regrouped.isEmpty())
        return true;
    bool ok = prepare(&statement, "UPDATE keys SET setting_group = ? WHERE id = ?");
    for (int i = 0; ok && i < regrouped.size(); ++i) {
        bindText(statement, 1, regrouped.at(i).second);
        sqlite3_bind_int64(statement, 2, regrouped.at(i).first);
        ok = step(statement);
    }
    sqlite3_finalize(statement);
    return ok;
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

// Rules are stored as the user gave them. A change makes every stored
// state's configuration fingerprint be taken again under the new rules, so
// that a printer is judged changed by them alone from now on; states are
// stored with every setting but the statistics, so a rule taken away again
// brings its keys back into the comparison. Another version of the program
// takes them again too (refingerprint), in case it groups keys otherwise.
bool FleetDatabase::applyIgnoreRules(const IgnoreRules &rules, bool refingerprint)
{
    QStringList stored;
    if (!readTexts(db, "SELECT glob FROM ignore_rules", &stored))
        return fail();
    const bool changed = IgnoreRules(stored) != rules;
    if (!changed && !refingerprint)
        return true;
    sqlite3_stmt *statement = nullptr;
    bool ok = !changed || (exec("DELETE FROM ignore_rules") &&
                           prepare(&statement, "INSERT INTO ignore_rules VALUES (?)"));
    for (int i = 0; changed && ok && i < rules.globs().size(); ++i) {
        const QString glob = rules.globs().at(i);
        bindText(statement, 1, glob);
        ok = step(statement);
    }
    sqlite3_finalize(statement);
    statement = nullptr;
    sqlite3_stmt *update = nullptr;
    const QByteArray empty = stateDigest({}, {}, rules).configuration;
    ok = ok && prepare(&update, "UPDATE states SET configuration_hash = ? WHERE id = ?") &&
         prepare(&statement, "SELECT s.state_id, s.side, k.key, s.value "
                             "FROM state_settings s JOIN keys k ON k.id = s.key_id "
                             "ORDER BY s.state_id, s.side, s.position");
    // A state without settings (all of them statistics) has no rows.
    sqlite3_stmt *all = nullptr;
    ok = ok && prepare(&all, "UPDATE states SET configuration_hash = ?") &&
         (bindBlob(all, 1, empty), step(all));
    sqlite3_finalize(all);
    qint64 state = 0;
    QVector<SettingEntry> sides[2];
    const auto flush = [&] {
        if (state == 0)
            return true;
        const QByteArray configuration = stateDigest(sides[0], sides[1], rules).configuration;
        bindBlob(update, 1, configuration);
        sqlite3_bind_int64(update, 2, state);
        sides[0].clear();
        sides[1].clear();
        return step(update);
    };
    int result = SQLITE_DONE;
    while (ok && (result = sqlite3_step(statement)) == SQLITE_ROW) {
        const qint64 id = sqlite3_column_int64(statement, 0);
        if (id != state) {
            ok = flush();
            state = id;
        }
        appendColumnSetting(statement, 1, 2, &sides[0], &sides[1]);
    }
    ok = ok && (result == SQLITE_DONE || fail()) && flush();
    sqlite3_finalize(statement);
    sqlite3_finalize(update);
    return ok;
}

// Version 1 kept the rows of the files only: each serial's file (chosen as
// an export chooses it) becomes the printer's first state, seen by the
// export that wrote them.
bool FleetDatabase::upgradeFromVersion1(const IgnoreRules &rules)
{
    QStringList times;
    QStringList versions;
    if (!readTexts(db, "SELECT exported_at FROM export_info", &times) ||
        !readTexts(db, "SELECT program_version FROM export_info", &versions))
        return fail();
    sqlite3_stmt *statement = nullptr;
    bool ok = prepare(&statement, "INSERT INTO exports VALUES (1, ?, ?)");
    if (ok) {
        const QString time = times.value(0, exportedAt);
        const QString version = versions.value(0, QStringLiteral(""));
        bindText(statement, 1, time);
        bindText(statement, 2, version);
        ok = step(statement);
    }
    sqlite3_finalize(statement);
    statement = nullptr;
    exportId = 2;
    upgradedPrinters = 0;
    // Files dated ahead of that export's time give a state only when all of
    // the serial's files are, as in every export.
    const QDateTime exported = QDateTime::fromString(times.value(0), Qt::ISODate);
    const QByteArray ahead =
        "modified_ms > " + QByteArray::number(latestBelievableMs(
                               exported.isValid() ? exported.toMSecsSinceEpoch() : startedMs));
    const QByteArray first =
        "CREATE TEMP TABLE first_states (id INTEGER PRIMARY KEY, serial TEXT, path TEXT, "
        "modified_ms INTEGER);"
        "INSERT INTO first_states SELECT id, serial, path, modified_ms FROM files f "
        "WHERE was_read AND has_current AND has_factory AND NOT EXISTS (SELECT 1 FROM "
        "files g WHERE g.serial = f.serial AND g.was_read AND g.has_current AND "
        "g.has_factory AND ((g." +
        ahead + ") < (f." + ahead + ") OR ((g." + ahead + ") = (f." + ahead +
        ") AND (g.modified_ms > f.modified_ms OR (g.modified_ms = f.modified_ms AND "
        "g.path < f.path)))))";
    if (!ok || !applyIgnoreRules(rules, false) || !exec(first.constData()))
        return false;
    sqlite3_stmt *period = nullptr;
    ok = prepare(&period, "INSERT INTO printer_states (serial, state_id, first_export, "
                          "last_export, modified_ms, path) VALUES (?, ?, 1, 1, ?, ?)") &&
         prepare(&statement,
                 "SELECT f.id, f.serial, f.path, f.modified_ms, s.side = 'factory', k.key, "
                 "s.value FROM temp.first_states f JOIN settings s ON s.file_id = f.id "
                 "JOIN keys k ON k.id = s.key_id ORDER BY f.id, s.side, s.position");
    qint64 file = 0;
    QString serial;
    QString path;
    qint64 modifiedMs = 0;
    QVector<SettingEntry> sides[2];
    const auto flush = [&] {
        if (file == 0)
            return true;
        const qint64 state = stateId(sides[0], sides[1], stateDigest(sides[0], sides[1], rules));
        sides[0].clear();
        sides[1].clear();
        if (state == 0)
            return false;
        bindText(period, 1, serial);
        sqlite3_bind_int64(period, 2, state);
        sqlite3_bind_int64(period, 3, modifiedMs);
        bindText(period, 4, path);
        ++upgradedPrinters;
        return step(period);
    };
    int result = SQLITE_DONE;
    while (ok && (result = sqlite3_step(statement)) == SQLITE_ROW) {
        const qint64 id = sqlite3_column_int64(statement, 0);
        if (id != file) {
            ok = flush();
            file = id;
            serial = columnText(statement, 1);
            path = columnText(statement, 2);
            modifiedMs = sqlite3_column_int64(statement, 3);
        }
        appendColumnSetting(statement, 4, 5, &sides[0], &sides[1]);
    }
    ok = ok && (result == SQLITE_DONE || fail()) && flush();
    sqlite3_finalize(statement);
    sqlite3_finalize(period);
    return ok && exec("DROP TABLE temp.first_states");
}

bool FleetDatabase::readPeriods()
{
    // A printer's last period is the one begun last. Its file, kept
    // unchanged, shows it again only while the file still carries its serial
    // (as the files' rows, not yet changed by this export, say): a file whose
    // printer was renamed shows another one.
    sqlite3_stmt *statement = nullptr;
    if (!prepare(&statement, "SELECT p.id, p.serial, s.configuration_hash, p.path, "
                             "max(p.first_export), EXISTS (SELECT 1 FROM files f WHERE "
                             "f.path = p.path AND f.serial = p.serial) FROM printer_states p "
                             "JOIN states s ON s.id = p.state_id GROUP BY p.serial"))
        return false;
    int result;
    while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
        const QString serial = columnText(statement, 1);
        const Period period{sqlite3_column_int64(statement, 0), columnBlob(statement, 2),
                            columnText(statement, 3)};
        periods.insert(serial, period);
        if (sqlite3_column_int(statement, 5))
            periodSerials.insert(period.path, serial);
    }
    sqlite3_finalize(statement);
    return result == SQLITE_DONE || fail();
}

qint64 FleetDatabase::stateId(const QVector<SettingEntry> &current,
                              const QVector<SettingEntry> &factory, const StateDigest &digest)
{
    bindBlob(findState, 1, digest.state);
    const int found = sqlite3_step(findState);
    const qint64 known = found == SQLITE_ROW ? sqlite3_column_int64(findState, 0) : 0;
    sqlite3_reset(findState);
    if (found == SQLITE_ROW)
        return known;
    if (found != SQLITE_DONE) {
        fail();
        return 0;
    }
    const qint64 id = largestStateId + 1;
    sqlite3_bind_int64(insertState, 1, id);
    bindBlob(insertState, 2, digest.state);
    bindBlob(insertState, 3, digest.configuration);
    if (!step(insertState) ||
        !insertSettingRows(insertStateSetting, insertStateSettings, id, current, false, true) ||
        !insertSettingRows(insertStateSetting, insertStateSettings, id, factory, true, true))
        return 0;
    largestStateId = id;
    return id;
}

FleetDatabase::Candidate *FleetDatabase::candidateFor(const QString &serial, const QString &path,
                                                      qint64 modifiedMs, bool *chosen)
{
    const qint64 latestBelievable = latestBelievableMs(startedMs);
    const bool believable = modifiedMs <= latestBelievable;
    Candidate &candidate = candidates[serial];
    const bool chosenBelievable = candidate.modifiedMs <= latestBelievable;
    *chosen = candidate.files == 0 ||
              (believable != chosenBelievable
                   ? believable
                   : modifiedMs > candidate.modifiedMs ||
                         (modifiedMs == candidate.modifiedMs && path < candidate.path));
    ++candidate.files;
    candidate.aheadFiles += believable ? 0 : 1;
    if (*chosen) {
        candidate.path = path;
        candidate.modifiedMs = modifiedMs;
    }
    return &candidate;
}

bool FleetDatabase::offerState(const QueryRecord &record, const StateDigest &digest)
{
    walkedPaths.insert(record.path);
    if (!record.wasRead() || !record.comparable())
        return true;
    bool chosen = false;
    Candidate *candidate = candidateFor(record.serial, record.path, record.modifiedMs, &chosen);
    if (!chosen)
        return true;
    const auto period = periods.constFind(record.serial);
    if (period != periods.cend() && period->configuration == digest.configuration) {
        candidate->stateId = 0;
        return true;
    }
    // Stored now, while its settings are at hand; dropped at the commit if a
    // later file of the serial gives the state instead.
    candidate->stateId = stateId(record.current, record.factory, digest);
    return candidate->stateId != 0;
}

void FleetDatabase::offerUnchanged(const QString &path, qint64 modifiedMs)
{
    walkedPaths.insert(path);
    const auto serial = periodSerials.constFind(path);
    if (serial == periodSerials.cend())
        return;
    bool chosen = false;
    Candidate *candidate = candidateFor(*serial, path, modifiedMs, &chosen);
    if (chosen)
        candidate->stateId = 0;
}

// A printer offered a file by this export whose last file lies outside the
// paths walked is given that file too while its row, with the printer's
// serial, is kept, and could give a state (a later export may have refused
// it, or found a section missing).
bool FleetDatabase::offerKeptFiles()
{
    sqlite3_stmt *kept = nullptr;
    bool ok = prepare(&kept, "SELECT modified_ms FROM files WHERE path = ? AND serial = ? AND "
                             "was_read AND has_current AND has_factory");
    for (auto candidate = candidates.begin(); ok && candidate != candidates.end(); ++candidate) {
        const auto period = periods.constFind(candidate.key());
        if (period == periods.cend() || walkedPaths.contains(period->path))
            continue;
        bindText(kept, 1, period->path);
        bindText(kept, 2, candidate.key());
        const int found = sqlite3_step(kept);
        const qint64 modifiedMs = sqlite3_column_int64(kept, 0);
        sqlite3_reset(kept);
        ok = found == SQLITE_ROW || found == SQLITE_DONE || fail();
        bool chosen = false;
        if (ok && found == SQLITE_ROW &&
            candidateFor(candidate.key(), period->path, modifiedMs, &chosen) && chosen) {
            candidate->stateId = 0;
            candidate->notSeen = true;
        }
    }
    sqlite3_finalize(kept);
    return ok;
}

bool FleetDatabase::commit(const QString &programVersion, HistorySummary *summary)
{
    sqlite3_stmt *seen = nullptr;
    sqlite3_stmt *begun = nullptr;
    bool ok = offerKeptFiles() &&
              prepare(&seen, "UPDATE printer_states SET last_export = ?, path = ?, "
                             "modified_ms = ? WHERE id = ?") &&
              prepare(&begun, "INSERT INTO printer_states (serial, state_id, first_export, "
                              "last_export, modified_ms, path) VALUES (?, ?, ?, ?, ?, ?)");
    summary->upgradedPrinters = upgradedPrinters;
    QStringList serials = candidates.keys();
    std::sort(serials.begin(), serials.end());
    for (int i = 0; ok && i < serials.size(); ++i) {
        const QString &serial = serials.at(i);
        const Candidate &candidate = candidates[serial];
        if (candidate.files > 1)
            summary->sharedSerials.append(
                {serial, candidate.path, candidate.files, candidate.aheadFiles});
        if (candidate.notSeen)
            continue;
        if (candidate.stateId == 0) {
            sqlite3_bind_int64(seen, 1, exportId);
            bindText(seen, 2, candidate.path);
            sqlite3_bind_int64(seen, 3, candidate.modifiedMs);
            sqlite3_bind_int64(seen, 4, periods.value(serial).id);
            ok = step(seen);
        } else {
            bindText(begun, 1, serial);
            sqlite3_bind_int64(begun, 2, candidate.stateId);
            sqlite3_bind_int64(begun, 3, exportId);
            sqlite3_bind_int64(begun, 4, exportId);
            sqlite3_bind_int64(begun, 5, candidate.modifiedMs);
            bindText(begun, 6, candidate.path);
            ok = step(begun);
            ++summary->newStates;
        }
    }
    sqlite3_finalize(seen);
    sqlite3_finalize(begun);
    const QByteArray before = QByteArray::number(statesBefore);
    // The states stored now that no printer took (a later file of its serial
    // gave the state): found among the few new states, so that their settings
    // are deleted through the key they lead, not by a scan of every new one.
    const QByteArray orphans = "CREATE TEMP TABLE orphans AS SELECT id FROM states WHERE id > " +
                               before +
                               " AND id NOT IN (SELECT state_id FROM printer_states);"
                               "DELETE FROM state_settings WHERE state_id IN temp.orphans;"
                               "DELETE FROM states WHERE id IN temp.orphans;"
                               "DROP TABLE temp.orphans";
    sqlite3_stmt *info = nullptr;
    sqlite3_stmt *exported = nullptr;
    ok = ok && (largestStateId == statesBefore || exec(orphans.constData())) &&
         exec("DELETE FROM export_info") &&
         prepare(&info, "INSERT INTO export_info VALUES (?, ?)") &&
         (bindText(info, 1, programVersion), bindText(info, 2, exportedAt), step(info)) &&
         prepare(&exported, "INSERT INTO exports VALUES (?, ?, ?)") &&
         (sqlite3_bind_int64(exported, 1, exportId), bindText(exported, 2, exportedAt),
          bindText(exported, 3, programVersion), step(exported)) &&
         (!buildIndexes || exec(indexes)) && exec("COMMIT");
    sqlite3_finalize(info);
    sqlite3_finalize(exported);
    close();
    return ok;
}
