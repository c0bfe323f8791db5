#include "query/settingsdiff.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace {

using SettingValues = QHash<QString, QStringList>;

SettingValues settingValues(const QVector<QStringRef> &lines, const SettingPattern &pattern)
{
    SettingValues values;
    QString key;
    QString value;
    for (const QStringRef &line : lines) {
        if (pattern.match(line, &key, &value))
            values[key].append(value);
    }
    return values;
}

QString quotedSide(const QStringList &values)
{
    if (values.isEmpty())
        return QStringLiteral("(missing)");
    QString side;
    for (const QString &value : values) {
        if (!side.isEmpty())
            side += QLatin1Char(' ');
        side += QLatin1Char('"');
        side += value;
        side += QLatin1Char('"');
    }
    return side;
}

} // namespace

QVector<SettingDifference> diffSettingSections(const QVector<QStringRef> &left,
                                               const QVector<QStringRef> &right)
{
    const SettingPattern pattern;
    const SettingValues leftValues = settingValues(left, pattern);
    const SettingValues rightValues = settingValues(right, pattern);

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
        text += difference.key;
        text += QLatin1Char('\t');
        text += quotedSide(difference.left);
        text += QLatin1Char('\t');
        text += quotedSide(difference.right);
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
