#include "export/fleethistory.h"

#include "export/fleetdatabase.h"
#include "export/sqlitetext.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFileInfo>

#include <algorithm>
#include <cstring>

namespace {

// Whether glob matches the whole of text: "*" any run, "?" any one
// character. On a mismatch the last "*" takes one more character, so the
// work is bounded by the product of the lengths, whatever the key.
bool globMatches(QStringView glob, QStringView text)
{
    qsizetype g = 0;
    qsizetype t = 0;
    qsizetype star = -1;
    qsizetype starText = 0;
    while (t < text.size()) {
        if (g < glob.size() && glob.at(g) == QLatin1Char('*')) {
            star = g++;
            starText = t;
        } else if (g < glob.size() &&
                   (glob.at(g) == QLatin1Char('?') || glob.at(g) == text.at(t))) {
            ++g;
            ++t;
        } else if (star >= 0) {
            g = star + 1;
            t = ++starText;
        } else {
            return false;
        }
    }
    while (g < glob.size() && glob.at(g) == QLatin1Char('*'))
        ++g;
    return g == glob.size();
}

// Text into a fingerprint's input as UTF-8 (most keys and values are ASCII:
// half the bytes of UTF-16), after its length (one byte below 255, else 255
// and four), so that no two lists of texts give the same bytes.
void appendText(QByteArray &input, const QString &text)
{
    const int size = text.size();
    const int lengthBytes = size < 255 ? 1 : 1 + int(sizeof size);
    const int at = input.size();
    input.resize(at + lengthBytes + size);
    char *out = input.data() + at;
    *out = char(qMin(size, 255));
    if (size >= 255)
        std::memcpy(out + 1, &size, sizeof size);
    out += lengthBytes;
    const ushort *const units = text.utf16();
    for (int i = 0; i < size; ++i) {
        if (units[i] >= 0x80) {
            input.resize(at + lengthBytes + i);
            input += QStringView(text).mid(i).toUtf8();
            return;
        }
        out[i] = char(units[i]);
    }
}

// One side's fingerprint input: its stored settings, each key's values in
// their order, the keys in code-unit order; into configuration (when given)
// those the rules do not match.
void appendSide(QByteArray &state, QByteArray *configuration, const QVector<SettingEntry> &settings,
                char side, const IgnoreRules &rules)
{
    QVector<const SettingEntry *> stored;
    stored.reserve(settings.size());
    for (const SettingEntry &setting : settings) {
        if (isStoredInState(setting))
            stored.append(&setting);
    }
    std::stable_sort(stored.begin(), stored.end(),
                     [](const SettingEntry *a, const SettingEntry *b) { return a->key < b->key; });
    state += side;
    if (configuration)
        *configuration += side;
    for (const SettingEntry *setting : qAsConst(stored)) {
        appendText(state, setting->key);
        appendText(state, setting->value);
        if (!configuration || rules.matches(setting->key))
            continue;
        appendText(*configuration, setting->key);
        appendText(*configuration, setting->value);
    }
}

// SHA-512 cut to 256 bits: as safe against collisions as SHA-256, and
// faster on 64-bit processors (in Qt's code, two thirds of the time).
QByteArray fingerprint(const QByteArray &input)
{
    return QCryptographicHash::hash(input, QCryptographicHash::Sha512).left(32);
}

bool readFailed(sqlite3 *db, QString *error)
{
    *error = QStringLiteral("Its history could not be read: %1.")
                 .arg(QString::fromUtf8(sqlite3_errmsg(db)));
    return false;
}

// A stored state's configuration settings.
bool configurationOf(FleetHistory &history, qint64 stateId, const IgnoreRules &rules,
                     QVector<SettingEntry> *current, QVector<SettingEntry> *factory, QString *error)
{
    if (!history.stateSettings(stateId, current, factory, error))
        return false;
    *current = configurationSettings(*current, rules);
    *factory = configurationSettings(*factory, rules);
    return true;
}

} // namespace

IgnoreRules::IgnoreRules(const QStringList &globs)
    : patterns(globs)
{
    patterns.sort();
    patterns.removeDuplicates();
}

bool IgnoreRules::matches(const QString &key) const
{
    return std::any_of(patterns.cbegin(), patterns.cend(),
                       [&key](const QString &glob) { return globMatches(glob, key); });
}

bool isStoredInState(const SettingEntry &setting)
{
    return setting.group != SettingGroup::Statistics;
}

bool isConfigurationSetting(const SettingEntry &setting, const IgnoreRules &rules)
{
    return isStoredInState(setting) && !rules.matches(setting.key);
}

QVector<SettingEntry> configurationSettings(const QVector<SettingEntry> &settings,
                                            const IgnoreRules &rules)
{
    QVector<SettingEntry> kept;
    kept.reserve(settings.size());
    for (const SettingEntry &setting : settings) {
        if (isConfigurationSetting(setting, rules))
            kept.append(setting);
    }
    return kept;
}

StateDigest stateDigest(const QVector<SettingEntry> &current, const QVector<SettingEntry> &factory,
                        const IgnoreRules &rules)
{
    // Without rules the configuration is the state: one fingerprint for both.
    QByteArray state;
    QByteArray configuration;
    state.reserve(4096);
    QByteArray *ruled = rules.isEmpty() ? nullptr : &configuration;
    appendSide(state, ruled, current, 'c', rules);
    appendSide(state, ruled, factory, 'f', rules);
    const QByteArray stateHash = fingerprint(state);
    return {stateHash, ruled ? fingerprint(configuration) : stateHash};
}

QString exportDate(const QString &exportedAt)
{
    const QDateTime time = QDateTime::fromString(exportedAt, Qt::ISODate);
    return time.isValid() ? time.toUTC().date().toString(Qt::ISODate) : exportedAt;
}

FleetHistory::~FleetHistory()
{
    sqlite3_finalize(stateStatement);
    sqlite3_close(db);
}

bool FleetHistory::open(const QString &path, QString *error)
{
    const QFileInfo file(path);
    if (!file.isFile()) {
        // A FIFO or a device would block or harm the open.
        *error = file.exists() ? QStringLiteral("It is not a regular file.")
                               : QStringLiteral("No such file.");
        return false;
    }
    int version = 0;
    if (!openExportDatabase(path, &db, &version, error))
        return false;
    if (version < exportSchemaVersion) {
        *error = QStringLiteral("It was written by an earlier version of brindle-query export "
                                "(schema version %1), which kept no history; the next export to "
                                "it upgrades it.")
                     .arg(version);
        return false;
    }
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT glob FROM ignore_rules", -1, &statement, nullptr) !=
        SQLITE_OK)
        return readFailed(db, error);
    QStringList globs;
    int result;
    while ((result = sqlite3_step(statement)) == SQLITE_ROW)
        globs.append(columnText(statement, 0));
    sqlite3_finalize(statement);
    if (result != SQLITE_DONE)
        return readFailed(db, error);
    rules = IgnoreRules(globs);
    return true;
}

bool FleetHistory::printerStates(const QString &serial, QVector<PrinterPeriod> *periods,
                                 QString *error)
{
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db,
                           "SELECT p.state_id, p.first_export, first.exported_at, "
                           "last.exported_at, p.path, p.modified_ms FROM printer_states p "
                           "JOIN exports first ON first.id = p.first_export "
                           "JOIN exports last ON last.id = p.last_export "
                           "WHERE p.serial = ? ORDER BY p.first_export",
                           -1, &statement, nullptr) != SQLITE_OK)
        return readFailed(db, error);
    bindText(statement, 1, serial);
    periods->clear();
    int result;
    while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
        periods->append({sqlite3_column_int64(statement, 0), sqlite3_column_int64(statement, 1),
                         columnText(statement, 2), columnText(statement, 3),
                         columnText(statement, 4), sqlite3_column_int64(statement, 5)});
    }
    sqlite3_finalize(statement);
    return result == SQLITE_DONE || readFailed(db, error);
}

bool FleetHistory::stateSettings(qint64 stateId, QVector<SettingEntry> *current,
                                 QVector<SettingEntry> *factory, QString *error)
{
    if (!stateStatement &&
        sqlite3_prepare_v3(db,
                           "SELECT s.side, s.position, k.key, s.value "
                           "FROM state_settings s JOIN keys k ON k.id = s.key_id "
                           "WHERE s.state_id = ? ORDER BY s.side, s.position",
                           -1, SQLITE_PREPARE_PERSISTENT, &stateStatement, nullptr) != SQLITE_OK)
        return readFailed(db, error);
    sqlite3_stmt *const statement = stateStatement;
    sqlite3_bind_int64(statement, 1, stateId);
    current->clear();
    factory->clear();
    int result;
    while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
        appendColumnSetting(statement, 0, 2, current, factory).line =
            sqlite3_column_int(statement, 1);
    }
    sqlite3_reset(statement);
    return result == SQLITE_DONE || readFailed(db, error);
}

bool historyChanges(FleetHistory &history, const QString &serial, const QDate &since,
                    QVector<HistoryChange> *changes, QString *error)
{
    QVector<PrinterPeriod> periods;
    if (!history.printerStates(serial, &periods, error))
        return false;
    if (periods.isEmpty()) {
        *error = QStringLiteral("The database holds no state of a printer with the serial %1.")
                     .arg(serial);
        return false;
    }
    const IgnoreRules rules = history.ignoreRules();
    const QString from = since.isValid() ? since.toString(Qt::ISODate) : QString();
    QVector<SettingEntry> earlierCurrent;
    QVector<SettingEntry> earlierFactory;
    if (!configurationOf(history, periods.first().stateId, rules, &earlierCurrent, &earlierFactory,
                         error))
        return false;
    changes->clear();
    for (int i = 1; i < periods.size(); ++i) {
        if (periods.at(i).stateId == periods.at(i - 1).stateId)
            continue;
        QVector<SettingEntry> current;
        QVector<SettingEntry> factory;
        if (!configurationOf(history, periods.at(i).stateId, rules, &current, &factory, error))
            return false;
        const QString date = exportDate(periods.at(i).firstSeen);
        if (date >= from) {
            for (const SettingDifference &difference : diffSettings(earlierCurrent, current))
                changes->append({date, false, difference});
            for (const SettingDifference &difference : diffSettings(earlierFactory, factory))
                changes->append({date, true, difference});
        }
        earlierCurrent = std::move(current);
        earlierFactory = std::move(factory);
    }
    return true;
}

QString historyChangesText(const QVector<HistoryChange> &changes)
{
    QString text;
    for (const HistoryChange &change : changes) {
        // A date that is no export time of ours is the database's text.
        appendEscaped(text, change.date, EscapeStyle::Terminal);
        text += change.factory ? QLatin1String("\tfactory\t") : QLatin1String("\tcurrent\t");
        text += settingDifferencesText({change.difference});
    }
    return text;
}

QByteArray historyChangesJson(const QVector<HistoryChange> &changes)
{
    QVector<QByteArray> objects;
    objects.reserve(changes.size());
    for (const HistoryChange &change : changes) {
        QByteArray leading = "\"date\":";
        appendJsonString(leading, change.date);
        leading += change.factory ? ",\"side\":\"factory\"," : ",\"side\":\"current\",";
        QByteArray object;
        appendDifferenceJson(object, change.difference, QLatin1String("earlier"),
                             QLatin1String("later"), leading);
        objects.append(object);
    }
    return jsonListDocument(QLatin1String("history"), objects);
}
