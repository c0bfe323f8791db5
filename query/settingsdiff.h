#pragma once

#include "query/querydocument.h"
#include "settings/settingsdecoder.h"
#include "settings/textescape.h"

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

// The keys whose value lists differ between the settings left and right,
// including the keys found on only one side, and nothing else. Ordered by
// the decoder's group order, then by key compared in UTF-16 code units.
QVector<SettingDifference> diffSettings(const QVector<SettingEntry> &left,
                                        const QVector<SettingEntry> &right);

// A line of a document whose setting differs: the document line, the block
// it is in, and the difference it shows.
struct SettingMark
{
    enum Section { Current, Factory };
    int line = 0;
    Section section = Current;
    // Index into SettingMarks::differences; -1 on the primary heading of a
    // comparison, whose tip lists the keys only the other printer has.
    int difference = 0;
};

struct SettingMarks
{
    // diffSettings(shipped, primary): the factory side is left.
    QVector<SettingDifference> differences;
    // Ascending by line: every line of either block whose key is among the
    // differences.
    QVector<SettingMark> marks;
};

// The marks of a document against its own factory settings. A document
// whose query lacks either settings section gives none.
SettingMarks settingMarks(const QueryDocument &document);

// One printer's primary (current) settings compared with another printer's,
// placed on the first printer's document. differences: diffSettings(first
// primary, other primary), as brindle-query compare gives them, the first
// printer on the left. marks, ascending by line: the primary heading when
// some keys are only on the other printer, then every primary line whose key
// is among the differences.
struct ComparisonMarks : SettingMarks
{
    // The keys only the other printer has, in the order of the differences.
    QStringList onlyOnOther;
};

ComparisonMarks comparisonMarks(const DocumentSettings &primary,
                                const QVector<SettingEntry> &otherPrimary);

// A side of a difference as the text form writes it: its values, each in
// double quotes and separated by one blank ("v1" "v2"), or (missing). Values
// are escaped in EscapeStyle::Terminal, so that nothing in a value reaches a
// terminal as a control sequence, breaks the line or reorders it.
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

// JSON is written one way wherever it leaves the program (diff --json,
// compare --json, the export's JSON Lines and its "differences" columns):
// UTF-8, no blank between tokens, a string's quote, backslash and C0 control
// characters escaped (\b \t \n \f \r, the others as \u00XX) and every
// other character as it is.

// A JSON string.
void appendJsonString(QByteArray &out, QStringView text);

// A JSON array of strings: ["v1","v2"].
void appendJsonList(QByteArray &out, const QStringList &values);

// One difference as a JSON object, with leftName and rightName naming its
// sides: {"key":K,"group":G,LEFTNAME:[values],RIGHTNAME:[values]}, G as
// settingGroupName gives it, an empty array for a side that lacks the key.
// leadingFields, when given, are whole "name":value pairs each followed by a
// comma, written before "key".
void appendDifferenceJson(QByteArray &out, const SettingDifference &difference,
                          QLatin1String leftName, QLatin1String rightName,
                          const QByteArray &leadingFields = QByteArray());

// Settings as a JSON array of objects, in the order given:
// [{"key":K,"value":V,"group":G},...].
void appendSettingsJson(QByteArray &out, const QVector<SettingEntry> &settings);

// A UTF-8 JSON document of one list of objects, one object per line:
//   {"NAME": [
//     OBJECT,
//     ...
//   ]}
// with the objects as given.
QByteArray jsonListDocument(QLatin1String name, const QVector<QByteArray> &objects);

// The differences as jsonListDocument writes them under "differences", each
// written by appendDifferenceJson, in the order given.
QByteArray settingDifferencesJson(const QVector<SettingDifference> &differences,
                                  QLatin1String leftName, QLatin1String rightName);
