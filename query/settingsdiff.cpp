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

void appendSide(QString &out, const QStringList &values)
{
    if (values.isEmpty()) {
        out += QLatin1String("(missing)");
        return;
    }
    for (int i = 0; i < values.size(); ++i) {
        out += QLatin1String(i == 0 ? "\"" : " \"");
        appendEscaped(out, values.at(i));
        out += QLatin1Char('"');
    }
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
        appendEscaped(text, difference.key);
        text += QLatin1Char('\t');
        appendSide(text, difference.left);
        text += QLatin1Char('\t');
        appendSide(text, difference.right);
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
