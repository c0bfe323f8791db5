#include "query/settingsdiff.h"

#include "query/querydocument.h"
#include "settings/textescape.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace {

using SettingValues = QHash<QString, QStringList>;

SettingValues settingValues(const QVector<SettingEntry> &entries)
{
    SettingValues values;
    for (const SettingEntry &entry : entries)
        values[entry.key].append(entry.value);
    return values;
}

// Appends a mark for every entry whose key wanted gives a difference for.
template<typename Wanted>
void markEntries(const QVector<SettingEntry> &entries, SettingMark::Section section,
                 const Wanted &wanted, QVector<SettingMark> *marks)
{
    for (const SettingEntry &entry : entries) {
        const int difference = wanted(entry.key);
        if (difference >= 0)
            marks->append({entry.line, section, difference});
    }
}

} // namespace

QVector<SettingDifference> diffSettings(const QVector<SettingEntry> &left,
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

SettingMarks settingMarks(const QueryDocument &document)
{
    const QVector<SettingEntry> &primary = document.primary.entries;
    const QVector<SettingEntry> &shipped = document.shipped.entries;
    if (primary.isEmpty() || shipped.isEmpty())
        return {};

    SettingMarks result;
    result.differences = diffSettings(shipped, primary);
    QHash<QString, int> differing;
    for (int i = 0; i < result.differences.size(); ++i)
        differing.insert(result.differences.at(i).key, i);
    const auto anyDifference = [&differing](const QString &key) {
        return differing.value(key, -1);
    };
    const auto onlyShipped = [&](const QString &key) {
        const int difference = differing.value(key, -1);
        return difference >= 0 && result.differences.at(difference).right.isEmpty() ? difference
                                                                                    : -1;
    };
    // The document shows the primary block first, so the marks come in order.
    markEntries(primary, SettingMark::Current, anyDifference, &result.marks);
    markEntries(shipped, SettingMark::Factory, onlyShipped, &result.marks);
    return result;
}

ComparisonMarks comparisonMarks(const DocumentSettings &primary,
                                const QVector<SettingEntry> &otherPrimary)
{
    ComparisonMarks result;
    result.differences = diffSettings(primary.entries, otherPrimary);
    QHash<QString, int> differing;
    for (int i = 0; i < result.differences.size(); ++i) {
        const SettingDifference &difference = result.differences.at(i);
        differing.insert(difference.key, i);
        if (difference.left.isEmpty())
            result.onlyOnOther.append(difference.key);
    }
    if (!result.onlyOnOther.isEmpty())
        result.marks.append({primary.firstLine, SettingMark::Current, -1});
    markEntries(
        primary.entries, SettingMark::Current,
        [&differing](const QString &key) { return differing.value(key, -1); }, &result.marks);
    return result;
}

QString quotedSettingValues(const QStringList &values)
{
    if (values.isEmpty())
        return QStringLiteral("(missing)");
    QString side;
    for (const QString &value : values) {
        if (!side.isEmpty())
            side += QLatin1Char(' ');
        side += QLatin1Char('"');
        appendEscaped(side, value, EscapeStyle::Terminal);
        side += QLatin1Char('"');
    }
    return side;
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
        appendEscaped(text, difference.key, EscapeStyle::Terminal);
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
