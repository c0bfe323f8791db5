#pragma once

// A printer's history in an export database. An export keeps, per serial,
// each distinct state of the printer's configuration (its current and
// factory settings but the volatile ones) and the periods in which the
// printer was seen in it; FleetDatabase writes them. brindle-query history
// and the viewer read them here, read only, through one reader.

#include "query/settingsdiff.h"

#include <QByteArray>
#include <QDate>
#include <QString>
#include <QStringList>
#include <QVector>

struct sqlite3;
struct sqlite3_stmt;

// The keys a user told the export to leave out of printers' states, besides
// the statistics group: globs over the whole key, "*" any run of characters,
// "?" any one character, every other character itself, letter case counted.
class IgnoreRules
{
public:
    IgnoreRules() = default;
    explicit IgnoreRules(const QStringList &globs);

    // Sorted, each once.
    QStringList globs() const { return patterns; }
    bool isEmpty() const { return patterns.isEmpty(); }
    bool matches(const QString &key) const;

    bool operator==(const IgnoreRules &other) const { return patterns == other.patterns; }
    bool operator!=(const IgnoreRules &other) const { return patterns != other.patterns; }

private:
    QStringList patterns;
};

// Whether a setting is kept in a printer's stored state: every key but
// those of the statistics group (counters and hours that move with every
// card). The one rule for what a state holds.
bool isStoredInState(const SettingEntry &setting);

// Whether a setting takes part in a printer's configuration: stored in a
// state, and matched by no ignore rule. Changes of other settings alone
// never make a new state, nor show in a history.
bool isConfigurationSetting(const SettingEntry &setting, const IgnoreRules &rules);

// The settings that take part in the configuration, in the order given.
QVector<SettingEntry> configurationSettings(const QVector<SettingEntry> &settings,
                                            const IgnoreRules &rules);

// Fingerprints of a printer's current and factory settings, equal exactly
// when the settings are equal as diffSettings compares them (each key's
// values in their order; the order of keys aside). state covers the
// settings a state stores, and tells whether a state is already stored;
// configuration covers the configuration settings alone, and tells whether
// the printer's configuration changed.
struct StateDigest
{
    QByteArray state;
    QByteArray configuration;
};

StateDigest stateDigest(const QVector<SettingEntry> &current, const QVector<SettingEntry> &factory,
                        const IgnoreRules &rules);

// A serial that several files of one export carry, and the file the
// printer's state was taken from (see FleetDatabase::offerState).
struct SharedSerial
{
    QString serial;
    QString path;
    int files = 0;
    // Those modified more than a day after the export started.
    int aheadFiles = 0;
};

// One period in which a printer was seen in one state: from the export that
// first saw it to the last one that did, until it was seen in another.
struct PrinterPeriod
{
    qint64 stateId = 0;
    // The id of the export that first saw it: exports are numbered in the
    // order they ran, whatever their clocks said.
    qint64 firstExport = 0;
    // The times of those exports as they recorded them: ISO 8601, UTC.
    QString firstSeen;
    QString lastSeen;
    // The latest report file that showed the state, and its modification time
    // (milliseconds since 1970, UTC).
    QString path;
    qint64 modifiedMs = 0;
};

// The date of an export's time as periods give it, yyyy-mm-dd in UTC; the
// time as given when it is no ISO 8601 time.
QString exportDate(const QString &exportedAt);

// An export database opened read only for its history: nothing is written,
// no journal beside it is rolled back, and no lock of an export is taken, so
// that it can be read while an export runs, and from a read-only copy.
class FleetHistory
{
public:
    FleetHistory() = default;
    FleetHistory(const FleetHistory &) = delete;
    FleetHistory &operator=(const FleetHistory &) = delete;
    ~FleetHistory();

    // False, with a message, for a path that is not a regular file, a file
    // that is not an export database or one of another schema version (an
    // earlier one is upgraded by the next export to it), and one that cannot
    // be read.
    bool open(const QString &path, QString *error);

    // The ignore rules the database holds.
    IgnoreRules ignoreRules() const { return rules; }

    // The periods of the printer with this serial, oldest first; none for a
    // serial the database does not know. False, with a message, when they
    // cannot be read.
    bool printerStates(const QString &serial, QVector<PrinterPeriod> *periods, QString *error);

    // A stored state's current and factory settings, in the document's order.
    // Each entry's line is its position in the document it was taken from.
    bool stateSettings(qint64 stateId, QVector<SettingEntry> *current,
                       QVector<SettingEntry> *factory, QString *error);

private:
    sqlite3 *db = nullptr;
    // Prepared once: a long history reads many states.
    sqlite3_stmt *stateStatement = nullptr;
    IgnoreRules rules;
};

// One key whose values changed between two consecutive states of a printer.
struct HistoryChange
{
    // exportDate of the export that first saw the later state.
    QString date;
    bool factory = false;
    // left: the earlier values, right: the later ones.
    SettingDifference difference;
};

// The configuration changes of a printer, in the order of its periods (the
// order of the exports): for each period after the first, its configuration
// settings against the period's before, the current side then the factory
// side, each in diffSettings' order. Only changes dated on or after since
// when since is valid. False, with a message, for a serial the database does
// not know and when the history cannot be read.
bool historyChanges(FleetHistory &history, const QString &serial, const QDate &since,
                    QVector<HistoryChange> *changes, QString *error);

// The changes as text, one line per change: the date, TAB, "current" or
// "factory", TAB, then the key and its earlier and later values as
// settingDifferencesText writes a difference.
QString historyChangesText(const QVector<HistoryChange> &changes);

// The changes as jsonListDocument writes them under "history", each object
// {"date":D,"side":S,"key":K,"group":G,"earlier":[values],"later":[values]}.
QByteArray historyChangesJson(const QVector<HistoryChange> &changes);
