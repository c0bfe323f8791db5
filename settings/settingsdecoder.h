#pragma once

#include <QString>
#include <QStringRef>
#include <QVector>

// Groups of a settings block, in the order they appear in it. A key belongs
// to the first group whose rule holds.
enum class SettingGroup { Identity, Market, Maintenance, Statistics, Dye, Identification, Other };

// The group of a key. Comparisons are exact and case-sensitive on the
// untrimmed key.
SettingGroup settingGroup(const QString &key);

// The line grammar of a setting, the Perl-compatible regular expression
// settingPatternText. match() gives exactly that expression's result for a
// whole-line match (start of line, no options) in time linear in the line's
// length, however the line is built; it never gives up the way a backtracking
// engine does at its match limit. A line holding unpaired surrogates is not
// valid text and never matches.
class SettingPattern
{
public:
    static const QString settingPatternText;

    // True when the line is a setting line; key and value (either may be
    // null) then receive the two captures, views into the line's string.
    bool match(const QStringRef &line, QStringRef *key, QStringRef *value) const;
};

// A setting line and the key and value that SettingPattern captures in it,
// all views into the text the line comes from.
struct SettingLine
{
    QStringRef line;
    QStringRef key;
    QStringRef value;
};

// One setting of a settings block: its key and value as the printer wrote
// them (the block shows them escaped), its group, and the line that shows it.
struct SettingEntry
{
    QString key;
    QString value;
    SettingGroup group = SettingGroup::Other;
    int line = 0;
};

// The value of the first setting named key whose value is not empty; null
// when there is none. The one rule for a printer's serial and model.
QString firstNonEmptyValue(const QVector<SettingEntry> &settings, QLatin1String key);

// A settings block and where its settings stand in it.
struct SettingsBlock
{
    QString text;
    // In the block's order: by group, within a group in the order of the
    // lines. Each line counts from the heading's line, 0; every entry is
    // exactly one line.
    QVector<SettingEntry> entries;
    // The lines of text, each ended by a line feed.
    int lineCount = 0;
};

// The block for the setting lines of one settings section: the heading, an
// empty line, the seven groups (each its entries in the order of the lines,
// then an empty line), a rule of 80 hyphens and an empty line. An entry is
// key, TAB, value, line feed, with key and value escaped in
// EscapeStyle::Document, so that it is one line however the printer wrote
// them. The lines are only read during the call.
SettingsBlock decodeSettings(const QString &heading, const QVector<SettingLine> &lines);

// The length of the text decodeSettings gives for these lines, found without
// building it, so that a block too long to hold is refused before it is paid
// for.
qint64 settingsBlockLength(const QString &heading, const QVector<SettingLine> &lines);

// The rule of 80 hyphens that closes every section of the document.
QString sectionRule();
