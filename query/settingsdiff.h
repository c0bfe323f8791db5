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
    int difference = 0; // index into SettingMarks::differences
};

struct SettingMarks
{
    // diffSettingSections(shipped, primary): the factory side is left.
    QVector<SettingDifference> differences;
    // Ascending by block: every line of either block whose key is among the
    // differences.
    QVector<SettingMark> marks;
};

// The marks for the document of a query text. A query text without a shipped
// or without a primary settings section gives none.
SettingMarks settingMarks(const QString &queryText);

// A side of a difference as the text form writes it: its values, each in
// double quotes and separated by one blank ("v1" "v2"), or (missing). TAB, CR,
// LF and backslash are written as \t, \r, \n and \\, other control characters
// as \xHH, so that nothing in a value reaches a terminal as a control sequence.
QString quotedSettingValues(const QStringList &values);

// quotedSettingValues bounded for a tool tip, whatever the file holds: the
// first 10 values, a value longer than 200 characters cut there and followed
// by the view's marker ("v"… [N more characters]), then " … and N more
// values" when more are left out.
QString boundedQuotedSettingValues(const QStringList &values);

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
