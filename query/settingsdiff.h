#pragma once

#include "settings/settingsdecoder.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QStringRef>
#include <QVector>

// One key whose values differ between two settings sections. Each side lists
// every value the key has in that section, in the section's line order (the
// order the document shows), duplicates kept. A side that lacks the key is an
// empty list: a key that is present always has at least one value.
struct SettingDifference
{
    QString key;
    SettingGroup group = SettingGroup::Other;
    QStringList left;
    QStringList right;
};

// The keys whose value lists differ between the settings lines left and
// right (section lines as settingsSectionLines gives them), including the keys
// found on only one side, and nothing else. Lines that are no setting line are
// passed over exactly as the document does. Ordered by the decoder's group
// order, then by key compared in UTF-16 code units.
QVector<SettingDifference> diffSettingSections(const QVector<QStringRef> &left,
                                               const QVector<QStringRef> &right);

// A line of the shown document (assembleQueryDocument of the same query text)
// whose setting differs: its block number as QTextDocument counts blocks, the
// section it is in, and the difference it shows.
struct SettingMark
{
    enum Section { Current, Factory };
    int block = 0;
    Section section = Current;
    // Index into SettingMarks::differences; -1 on the primary heading of a
    // comparison, whose tip lists the keys only the other printer has.
    int difference = 0;
};

struct SettingMarks
{
    // diffSettingSections(shipped, primary): the factory side is left.
    QVector<SettingDifference> differences;
    // Ascending by block: every primary line whose key is among the
    // differences, and every shipped line whose key the primary lacks.
    QVector<SettingMark> marks;
};

// The marks for the document of a query text. A query text without a shipped
// or without a primary settings section gives none.
SettingMarks settingMarks(const QString &queryText);

// The setting lines of the primary (current) settings section of a query
// text, in the order settingsSectionLines gives them, copied so that they
// outlive the text: what a comparison with another printer needs of a query.
// Empty when the section is missing or holds no setting line.
QStringList primarySettingLines(const QString &queryText);

// One printer's primary (current) settings compared with another printer's,
// placed on the first printer's document. differences: diffSettingSections(
// first primary, other primary), as brindle-query compare gives them, the
// first printer on the left. marks, ascending by block: the primary heading
// when some keys are only on the other printer, then every primary line whose
// key is among the differences.
struct ComparisonMarks : SettingMarks
{
    // The keys only the other printer has, in the order of the differences.
    QStringList onlyOnOther;
    // The other printer's id-printer-serial (its first non-empty value), else
    // its file name without ".zip" or ".txt".
    QString otherSerial;
};

// The comparison of a printer's primary setting lines with another printer's
// (both as primarySettingLines gives them, neither empty), the other
// printer's query file being at otherPath.
ComparisonMarks comparisonMarks(const QStringList &lines, const QStringList &otherLines,
                                const QString &otherPath);

// Text escaped as quotedSettingValues escapes a value, without the quotes.
QString escapedSettingText(const QString &text);

// A side of a difference as the text form writes it: its values, each in
// double quotes and separated by one blank ("v1" "v2"), or (missing). TAB, CR,
// LF and backslash are written as \t, \r, \n and \\, other control characters
// as \xHH, so that nothing in a value reaches a terminal as a control sequence.
QString quotedSettingValues(const QStringList &values);

// The lower-case name of a group as the JSON form writes it: "identity",
// "market", "maintenance", "statistics", "dye", "identification", "other".
QString settingGroupName(SettingGroup group);

// The differences as text, one line per key ended by a line feed:
// key, TAB, left side, TAB, right side, each side as quotedSettingValues
// writes it; the key is escaped as the values are. Every line then holds
// exactly two TABs and splits back into key and values without doubt, also
// when a value is empty or holds blanks. No differences give an empty text.
QString settingDifferencesText(const QVector<SettingDifference> &differences);

// The differences as a UTF-8 JSON document:
//   {"differences": [{"key": K, "group": G, LEFTNAME: [values], RIGHTNAME: [values]}, ...]}
// in the order given, with G as settingGroupName gives it and an empty array
// for a side that lacks the key.
QByteArray settingDifferencesJson(const QVector<SettingDifference> &differences,
                                  const QString &leftName, const QString &rightName);
