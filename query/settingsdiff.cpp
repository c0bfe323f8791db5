#include "query/settingsdiff.h"

#include "query/querydocument.h"
#include "query/viewtext.h"
#include "settings/textescape.h"

#include <QCoreApplication>
#include <QHash>

#include <algorithm>
#include <limits>

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
        appendEscaped(side, QStringView(value).left(keep), EscapeStyle::Terminal);
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
    // The document shows the primary block first, so the marks come in order.
    markEntries(primary, SettingMark::Current, anyDifference, &result.marks);
    markEntries(shipped, SettingMark::Factory, anyDifference, &result.marks);
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
        appendEscaped(text, difference.key, EscapeStyle::Terminal);
        text += QLatin1Char('\t');
        text += quotedSettingValues(difference.left);
        text += QLatin1Char('\t');
        text += quotedSettingValues(difference.right);
        text += QLatin1Char('\n');
    }
    return text;
}

void appendJsonString(QByteArray &out, QStringView text)
{
    out += '"';
    qsizetype from = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c >= 0x20 && c != u'"' && c != u'\\')
            continue;
        out += text.mid(from, i - from).toUtf8();
        switch (c) {
        case u'"':
            out += "\\\"";
            break;
        case u'\\':
            out += "\\\\";
            break;
        case u'\b':
            out += "\\b";
            break;
        case u'\t':
            out += "\\t";
            break;
        case u'\n':
            out += "\\n";
            break;
        case u'\f':
            out += "\\f";
            break;
        case u'\r':
            out += "\\r";
            break;
        default:
            out += "\\u00";
            out += "0123456789abcdef"[c >> 4];
            out += "0123456789abcdef"[c & 0xF];
        }
        from = i + 1;
    }
    out += text.mid(from).toUtf8();
    out += '"';
}

void appendJsonList(QByteArray &out, const QStringList &values)
{
    out += '[';
    for (int i = 0; i < values.size(); ++i) {
        if (i > 0)
            out += ',';
        appendJsonString(out, values.at(i));
    }
    out += ']';
}

void appendDifferenceJson(QByteArray &out, const SettingDifference &difference,
                          QLatin1String leftName, QLatin1String rightName,
                          const QByteArray &leadingFields)
{
    out += '{';
    out += leadingFields;
    out += "\"key\":";
    appendJsonString(out, difference.key);
    out += ",\"group\":\"";
    out += settingGroupName(difference.group).toLatin1();
    out += "\",\"";
    out.append(leftName.data(), leftName.size());
    out += "\":";
    appendJsonList(out, difference.left);
    out += ",\"";
    out.append(rightName.data(), rightName.size());
    out += "\":";
    appendJsonList(out, difference.right);
    out += '}';
}

void appendSettingsJson(QByteArray &out, const QVector<SettingEntry> &settings)
{
    out += '[';
    for (int i = 0; i < settings.size(); ++i) {
        const SettingEntry &setting = settings.at(i);
        out += i > 0 ? ",{\"key\":" : "{\"key\":";
        appendJsonString(out, setting.key);
        out += ",\"value\":";
        appendJsonString(out, setting.value);
        out += ",\"group\":\"";
        out += settingGroupName(setting.group).toLatin1();
        out += "\"}";
    }
    out += ']';
}

QByteArray jsonListDocument(QLatin1String name, const QVector<QByteArray> &objects)
{
    QByteArray json = "{\"";
    json.append(name.data(), name.size());
    json += "\": [";
    for (int i = 0; i < objects.size(); ++i) {
        json += i > 0 ? ",\n  " : "\n  ";
        json += objects.at(i);
    }
    json += objects.isEmpty() ? "]}\n" : "\n]}\n";
    return json;
}

QByteArray settingDifferencesJson(const QVector<SettingDifference> &differences,
                                  QLatin1String leftName, QLatin1String rightName)
{
    QVector<QByteArray> objects;
    objects.reserve(differences.size());
    for (const SettingDifference &difference : differences) {
        QByteArray object;
        appendDifferenceJson(object, difference, leftName, rightName);
        objects.append(object);
    }
    return jsonListDocument(QLatin1String("differences"), objects);
}
