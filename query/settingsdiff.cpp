#include "query/settingsdiff.h"

#include "query/querydocument.h"
#include "query/viewtext.h"

#include <QCoreApplication>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <limits>

namespace {

struct SettingEntry
{
    QString key;
    QString value;
    SettingGroup group = SettingGroup::Other;
};

using SettingValues = QHash<QString, QStringList>;

// The setting lines of a section, in line order.
QVector<SettingEntry> settingEntries(const QVector<QStringRef> &lines)
{
    const SettingPattern pattern;
    QVector<SettingEntry> entries;
    SettingEntry entry;
    for (const QStringRef &line : lines) {
        if (pattern.match(line, &entry.key, &entry.value)) {
            entry.group = settingGroup(entry.key);
            entries.append(entry);
        }
    }
    return entries;
}

SettingValues settingValues(const QVector<SettingEntry> &entries)
{
    SettingValues values;
    for (const SettingEntry &entry : entries)
        values[entry.key].append(entry.value);
    return values;
}

// Appends text with TAB, CR, LF and backslash written as \t, \r, \n and \\,
// and every other control character (C0, DEL, C1) as \xHH, so that each
// difference stays one line of three fields and nothing in a value reaches a
// terminal as a control sequence.
void appendEscaped(QString &out, const QString &text)
{
    for (const QChar c : text) {
        const ushort code = c.unicode();
        if (code == '\t')
            out += QLatin1String("\\t");
        else if (code == '\n')
            out += QLatin1String("\\n");
        else if (code == '\r')
            out += QLatin1String("\\r");
        else if (code == '\\')
            out += QLatin1String("\\\\");
        else if (code < 0x20 || (code >= 0x7f && code < 0xa0))
            out += QStringLiteral("\\x%1").arg(code, 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
}

// The values, each in double quotes and escaped, separated by one blank:
// at most maxValues of them, each cut after maxLength characters.
QString quoted(const QStringList &values, int maxValues, int maxLength)
{
    if (values.isEmpty())
        return QStringLiteral("(missing)");
    QString side;
    for (int i = 0; i < qMin(maxValues, values.size()); ++i) {
        const QString &value = values.at(i);
        int keep = qMin(maxLength, value.size());
        if (keep < value.size() && value.at(keep - 1).isHighSurrogate())
            --keep;
        if (i > 0)
            side += QLatin1Char(' ');
        side += QLatin1Char('"');
        appendEscaped(side, keep < value.size() ? value.left(keep) : value);
        side += QLatin1Char('"');
        if (keep < value.size())
            side += moreCharactersMarker(QStringView(value).mid(keep));
    }
    const int more = values.size() - maxValues;
    if (more > 0) {
        side += more == 1
                    ? QCoreApplication::translate("BrindleQueryTool", " \u2026 and 1 more value")
                    : QCoreApplication::translate("BrindleQueryTool", " \u2026 and %1 more values")
                          .arg(groupedNumber(more));
    }
    return side;
}

QVector<SettingDifference> differences(const QVector<SettingEntry> &left,
                                       const QVector<SettingEntry> &right)
{
    const SettingValues leftValues = settingValues(left);
    const SettingValues rightValues = settingValues(right);
    QVector<SettingDifference> differences;
    for (auto it = leftValues.cbegin(); it != leftValues.cend(); ++it) {
        const QStringList other = rightValues.value(it.key());
        if (other != it.value())
            differences.append({it.key(), settingGroup(it.key()), it.value(), other});
    }
    for (auto it = rightValues.cbegin(); it != rightValues.cend(); ++it) {
        if (!leftValues.contains(it.key()))
            differences.append({it.key(), settingGroup(it.key()), QStringList(), it.value()});
    }
    std::sort(differences.begin(), differences.end(),
              [](const SettingDifference &a, const SettingDifference &b) {
                  if (a.group != b.group)
                      return static_cast<int>(a.group) < static_cast<int>(b.group);
                  return a.key < b.key;
              });
    return differences;
}

// Block breaks that a key or value adds to its document line: the text
// document starts a block at each of these, and a CR just before the line's
// own line feed joins it as one break.
int innerBlockBreaks(const SettingEntry &entry)
{
    const auto breaks = [](const QString &text) {
        return int(std::count_if(text.cbegin(), text.cend(), [](QChar c) {
            return c == QLatin1Char('\r') || c == QChar::ParagraphSeparator ||
                   c.unicode() == 0xFDD0 || c.unicode() == 0xFDD1;
        }));
    };
    return breaks(entry.key) + breaks(entry.value) -
           (entry.value.endsWith(QLatin1Char('\r')) ? 1 : 0);
}

// Walks one settings block laid out as decodeSettings lays it out, from its
// first block *block on, and marks the entries that wanted says are marked.
template<typename Wanted>
void markBlock(const QVector<SettingEntry> &entries, SettingMark::Section section,
               const Wanted &wanted, int *block, QVector<SettingMark> *marks)
{
    *block += 2; // heading, empty line
    for (int group = 0; group <= int(SettingGroup::Other); ++group) {
        for (const SettingEntry &entry : entries) {
            if (int(entry.group) != group)
                continue;
            const int difference = wanted(entry.key);
            if (difference >= 0)
                marks->append({*block, section, difference});
            *block += 1 + innerBlockBreaks(entry);
        }
        *block += 1; // the group's closing empty line
    }
    *block += 2; // rule, empty line
}

} // namespace

QVector<SettingDifference> diffSettingSections(const QVector<QStringRef> &left,
                                               const QVector<QStringRef> &right)
{
    return differences(settingEntries(left), settingEntries(right));
}

SettingMarks settingMarks(const QString &queryText)
{
    const QVector<QStringRef> primaryLines =
        settingsSectionLines(queryText, QString(primarySettingsMarker));
    const QVector<QStringRef> shippedLines =
        settingsSectionLines(queryText, QString(shippedSettingsMarker));
    if (primaryLines.isEmpty() || shippedLines.isEmpty())
        return {};
    const QVector<SettingEntry> primary = settingEntries(primaryLines);
    const QVector<SettingEntry> shipped = settingEntries(shippedLines);

    SettingMarks result;
    result.differences = differences(shipped, primary);
    QHash<QString, int> differing;
    for (int i = 0; i < result.differences.size(); ++i)
        differing.insert(result.differences.at(i).key, i);
    const auto anyDifference = [&differing](const QString &key) {
        return differing.value(key, -1);
    };
    // The document shows the primary block first.
    int block = 0;
    markBlock(primary, SettingMark::Current, anyDifference, &block, &result.marks);
    markBlock(shipped, SettingMark::Factory, anyDifference, &block, &result.marks);
    return result;
}

QString quotedSettingValues(const QStringList &values)
{
    return quoted(values, values.size(), std::numeric_limits<int>::max());
}

QString boundedQuotedSettingValues(const QStringList &values)
{
    return quoted(values, 10, 200);
}

QString settingGroupName(SettingGroup group)
{
    switch (group) {
    case SettingGroup::Identity:
        return QStringLiteral("identity");
    case SettingGroup::Market:
        return QStringLiteral("market");
    case SettingGroup::Maintenance:
        return QStringLiteral("maintenance");
    case SettingGroup::Statistics:
        return QStringLiteral("statistics");
    case SettingGroup::Dye:
        return QStringLiteral("dye");
    case SettingGroup::Identification:
        return QStringLiteral("identification");
    case SettingGroup::Other:
        break;
    }
    return QStringLiteral("other");
}

QString settingDifferencesText(const QVector<SettingDifference> &differences)
{
    QString text;
    for (const SettingDifference &difference : differences) {
        // Piece by piece: a concatenation appended in a loop would reserve
        // the exact size each time and copy the whole text on every line.
        appendEscaped(text, difference.key);
        text += QLatin1Char('\t');
        text += quotedSettingValues(difference.left);
        text += QLatin1Char('\t');
        text += quotedSettingValues(difference.right);
        text += QLatin1Char('\n');
    }
    return text;
}

QByteArray settingDifferencesJson(const QVector<SettingDifference> &differences,
                                  const QString &leftName, const QString &rightName)
{
    QJsonArray list;
    for (const SettingDifference &difference : differences) {
        QJsonObject entry;
        entry.insert(QStringLiteral("key"), difference.key);
        entry.insert(QStringLiteral("group"), settingGroupName(difference.group));
        entry.insert(leftName, QJsonArray::fromStringList(difference.left));
        entry.insert(rightName, QJsonArray::fromStringList(difference.right));
        list.append(entry);
    }
    QJsonObject root;
    root.insert(QStringLiteral("differences"), list);
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}
