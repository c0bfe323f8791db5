#include "settings/settingsdecoder.h"

#include "settings/textescape.h"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

const QString SettingPattern::settingPatternText =
    QStringLiteral("^.*key=\"([^\"]*)\".*value=\"([^\"]*)\".*$");

namespace {

bool endsWithAt(const QChar *s, int quote, QLatin1String word)
{
    if (quote < word.size())
        return false;
    const QChar *start = s + quote - word.size();
    for (int i = 0; i < word.size(); ++i) {
        if (start[i] != QLatin1Char(word.at(i)))
            return false;
    }
    return true;
}

bool hasUnpairedSurrogate(const QChar *s, int n)
{
    for (int i = 0; i < n; ++i) {
        if (s[i].isHighSurrogate()) {
            if (i + 1 == n || !s[i + 1].isLowSurrogate())
                return true;
            ++i;
        } else if (s[i].isLowSurrogate()) {
            return true;
        }
    }
    return false;
}

constexpr std::size_t groupCount = std::size_t(SettingGroup::Other) + 1;
constexpr int ruleLength = 80;

// What surrounds the groups of a block: the heading's line feed and empty
// line, the groups' closing empty lines, the rule, its line feed and an
// empty line.
qint64 blockFrame(const QString &heading)
{
    return heading.size() + 2 + qint64(groupCount) + ruleLength + 2;
}

} // namespace

// A backtracking engine takes the longest leading run first and so settles on
// the last key attribute that still has a value attribute after it, and for
// that key on the last such value attribute. Both captures end at the next
// double quote, so the match is fixed by where the two attributes begin; the
// passes below find those places directly instead of by trial.
bool SettingPattern::match(const QStringRef &line, QStringRef *key, QStringRef *value) const
{
    const QChar *s = line.unicode();
    const int n = line.size();
    const QChar quote = QLatin1Char('"');
    const QChar lineFeed = QLatin1Char('\n');
    if (n == 0 || hasUnpairedSurrogate(s, n))
        return false;

    // '.' stops at a line feed; '$' also matches before one final line feed.
    std::vector<int> lineFeeds;
    for (int i = 0; i < n; ++i) {
        if (s[i] == lineFeed)
            lineFeeds.push_back(i);
    }
    const int firstLineFeed = lineFeeds.empty() ? n : lineFeeds.front();
    int lastInnerLineFeed = -1;
    for (auto it = lineFeeds.rbegin(); it != lineFeeds.rend(); ++it) {
        if (*it != n - 1) {
            lastInnerLineFeed = *it;
            break;
        }
    }

    // Starts of value attributes whose capture is closed by a quote with no
    // inner line feed after it: every place where the tail can match.
    std::vector<int> valueStarts;
    std::vector<int> valueEnds;
    int pendingValue = -1;
    for (int i = 0; i < n; ++i) {
        if (s[i] != quote)
            continue;
        if (pendingValue >= 0 && i > lastInnerLineFeed) {
            valueStarts.push_back(pendingValue);
            valueEnds.push_back(i);
        }
        pendingValue = endsWithAt(s, i, QLatin1String("value=")) ? i - 6 : -1;
    }
    if (valueStarts.empty())
        return false;

    int nextQuote = -1;
    for (int i = n - 1; i >= 0; --i) {
        if (s[i] != quote)
            continue;
        const int keyQuote = i;
        const int keyEnd = nextQuote;
        nextQuote = i;
        if (keyEnd < 0 || keyQuote >= firstLineFeed ||
            !endsWithAt(s, keyQuote, QLatin1String("key=")))
            continue;
        const int from = keyEnd + 1;
        const auto feed = std::lower_bound(lineFeeds.begin(), lineFeeds.end(), from);
        const int limit = feed == lineFeeds.end() ? n : *feed;
        const auto after = std::lower_bound(valueStarts.begin(), valueStarts.end(), limit);
        if (after == valueStarts.begin())
            continue;
        const auto chosen = after - 1;
        if (*chosen < from)
            continue;
        if (key)
            *key = line.mid(keyQuote + 1, keyEnd - keyQuote - 1);
        if (value) {
            const int valueStart = *chosen + 7;
            const int valueEnd = valueEnds[std::size_t(chosen - valueStarts.begin())];
            *value = line.mid(valueStart, valueEnd - valueStart);
        }
        return true;
    }
    return false;
}

SettingGroup settingGroup(const QString &key)
{
    if (key == QLatin1String("id-model-name") || key == QLatin1String("id-printer-serial"))
        return SettingGroup::Identity;
    if (key.endsWith(QLatin1String("-region")) || key.endsWith(QLatin1String("-grade")) ||
        key.endsWith(QLatin1String("-dealer-code")) || key.endsWith(QLatin1String("-project-code")))
        return SettingGroup::Market;
    if (key == QLatin1String("maintenance-challenge"))
        return SettingGroup::Maintenance;
    if (key.startsWith(QLatin1String("stats-")))
        return SettingGroup::Statistics;
    if (key.startsWith(QLatin1String("dye-")))
        return SettingGroup::Dye;
    if (key.startsWith(QLatin1String("id-")))
        return SettingGroup::Identification;
    return SettingGroup::Other;
}

QString firstNonEmptyValue(const QVector<SettingEntry> &settings, QLatin1String key)
{
    for (const SettingEntry &setting : settings) {
        if (setting.key == key && !setting.value.isEmpty())
            return setting.value;
    }
    return QString();
}

QString sectionRule()
{
    return QString(ruleLength, QLatin1Char('-'));
}

SettingsBlock decodeSettings(const QString &heading, const QVector<SettingLine> &lines)
{
    std::array<QVector<SettingEntry>, groupCount> groups;
    for (const SettingLine &line : lines) {
        SettingEntry entry;
        entry.key = line.key.toString();
        entry.value = line.value.toString();
        entry.group = settingGroup(entry.key);
        groups[std::size_t(entry.group)].append(std::move(entry));
    }

    SettingsBlock block;
    block.text.reserve(int(settingsBlockLength(heading, lines)));
    block.text += heading;
    block.text += QLatin1String("\n\n");
    int line = 2; // after the heading and its empty line
    for (QVector<SettingEntry> &group : groups) {
        for (SettingEntry &setting : group) {
            setting.line = line++;
            appendEscaped(block.text, setting.key, EscapeStyle::Document);
            block.text += QLatin1Char('\t');
            appendEscaped(block.text, setting.value, EscapeStyle::Document);
            block.text += QLatin1Char('\n');
            block.entries.append(std::move(setting));
        }
        ++line; // the group's closing empty line
        block.text += QLatin1Char('\n');
    }
    block.text += sectionRule();
    block.text += QLatin1String("\n\n");
    block.lineCount = line + 2; // the rule, an empty line
    return block;
}

qint64 settingsBlockLength(const QString &heading, const QVector<SettingLine> &lines)
{
    qint64 length = blockFrame(heading);
    for (const SettingLine &line : lines) {
        length += escapedLength(line.key, EscapeStyle::Document) +
                  escapedLength(line.value, EscapeStyle::Document) + 2;
    }
    return length;
}
