#include "query/querydocument.h"

#include "settings/settingsdecoder.h"
#include "settings/textescape.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <algorithm>
#include <cstring>
#include <utility>

const int maxSettingLines = 100000;
const int maxSettingLineLength = 12000000;
const int maxSettingsBlockLength = 16000000;

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("QueryDocument", text);
}

// How a refusal names the section of marker.
QString sectionName(QLatin1String marker)
{
    return marker == primarySettingsMarker ? tr("primary (current)") : tr("shipped (factory)");
}

// Where needle first starts in text[from, to), or -1. The search runs on one
// character of the needle with vector instructions: its first when that is
// '<', else its last. Both '<' and '>' are rare in logs and values, and
// QString::indexOf falls back to a slow rolling hash for short needles.
int indexOfShort(const QString &text, QLatin1String needle, int from, int to = -1)
{
    if (to < 0)
        to = text.size();
    const int anchor = needle.front() == '<' ? 0 : needle.size() - 1;
    const QChar c = QLatin1Char(needle.at(anchor));
    const QStringView range(text.constData(), to);
    for (int at = int(range.indexOf(c, from + anchor));
         at >= 0 && at - anchor + needle.size() <= to; at = int(range.indexOf(c, at + 1))) {
        if (QStringView(text.constData() + at - anchor, needle.size()) == needle)
            return at - anchor;
    }
    return -1;
}

// Where the CDATA sections of a text end: each search is kept, since the
// command tags' passes and the log's end ask for the same one, the log's,
// which may be nearly the whole text.
class CdataEnds
{
public:
    // Where "]]>" first stands at or after from, or -1.
    int after(const QString &text, int from)
    {
        if (from != lastFrom) {
            lastFrom = from;
            lastEnd = indexOfShort(text, logEndMarker, from);
        }
        return lastEnd;
    }

private:
    int lastFrom = -1;
    int lastEnd = -1;
};

// Where the next "<command" tag at or after from starts, or -1, passing
// over CDATA sections: their text is a command's output (a log), not
// commands. One pass over the '<' of the text, the CDATA sections skipped by
// their end.
int nextCommandTag(const QString &text, int from, CdataEnds &cdataEnds)
{
    const QLatin1String tag("<command");
    const QChar *s = text.constData();
    const QStringView all(s, text.size());
    for (int at = int(all.indexOf(QLatin1Char('<'), from)); at >= 0;
         at = int(all.indexOf(QLatin1Char('<'), at + 1))) {
        const QStringView rest = all.mid(at);
        if (rest.startsWith(tag))
            return at;
        if (rest.startsWith(logStartMarker)) {
            const int close = cdataEnds.after(text, at + logStartMarker.size());
            if (close < 0)
                return -1;
            at = close;
        }
    }
    return -1;
}

// Where the outputs of a query text end, asked for in order: each at the
// next "</command>" or "<command", whichever comes first; -1 when no
// "</command>" follows. The "</command>" found is kept for the next output,
// so that many commands before one distant "</command>" cost one search.
class OutputEnds
{
public:
    explicit OutputEnds(const QString &text)
        : text(text)
    {
    }

    int after(int from)
    {
        if (close != -1 && close < from)
            close = indexOfShort(text, commandEndMarker, from);
        if (close < 0)
            return -1;
        const int next = indexOfShort(text, latin1Literal("<command"), from, close);
        return next < 0 ? close : next;
    }

private:
    const QString &text;
    int close = -2;
};

// The setting lines of text[from, to). Only lines that hold key=" and after
// it value=" are looked at, found by a search for the key: empty lines and
// lines without one cost nothing and are never stored. printed counts them
// over every output of the file scanned, so that many commands printing it
// cannot multiply the limit.
SettingsSection scanSection(const QString &text, int from, int to, QLatin1String marker,
                            int &printed)
{
    SettingsSection section;
    section.start = from;
    section.end = to;
    const QLatin1String key("key=\"");
    const QLatin1String value("value=\"");
    const SettingPattern pattern;
    const QChar *s = text.constData();
    int lineStart = from; // no line feed between here and the next key
    for (int at = indexOfShort(text, key, from, to); at >= 0;
         at = indexOfShort(text, key, lineStart, to)) {
        int start = at;
        while (start > lineStart && s[start - 1] != QLatin1Char('\n'))
            --start;
        int end = int(QStringView(s, to).indexOf(QLatin1Char('\n'), at));
        if (end < 0)
            end = to;
        lineStart = end + 1;
        if (indexOfShort(text, value, at + key.size(), end) < 0)
            continue;
        if (++printed > maxSettingLines) {
            section.refusal =
                tr("The commands that print the %1 settings print more than %2 setting lines.")
                    .arg(sectionName(marker), groupedNumber(maxSettingLines));
            break;
        }
        if (end - start > maxSettingLineLength) {
            section.refusal = tr("A setting line of the %1 settings is longer than %2 characters.")
                                  .arg(sectionName(marker), groupedNumber(maxSettingLineLength));
            break;
        }
        SettingLine line;
        line.line = QStringRef(&text, start, end - start);
        if (pattern.match(line.line, &line.key, &line.value))
            section.lines.append(line);
    }
    if (!section.refusal.isNull())
        section.lines.clear();
    std::sort(section.lines.begin(), section.lines.end(),
              [](const SettingLine &a, const SettingLine &b) { return a.line < b.line; });
    return section;
}

// Whether later prints every setting line that earlier prints, and more: the
// whole file after a head, a tail or a cat that broke off. Both are sorted.
bool printsMoreOf(const SettingsSection &later, const SettingsSection &earlier)
{
    if (later.lines.size() <= earlier.lines.size())
        return false;
    const auto byLine = [](const SettingLine &a, const SettingLine &b) {
        return a.line < b.line;
    };
    return std::includes(later.lines.cbegin(), later.lines.cend(), earlier.lines.cbegin(),
                         earlier.lines.cend(), byLine);
}

// The sections of the commands that print the settings files: for each
// file, the first command whose args attribute is exactly its path and whose
// output holds a setting line, unless a later one prints all of its setting
// lines and more. A checksum, listing or status of the file names it too, a
// backup's path begins with it, and a head, tail or a cat that broke off
// prints part of it; none of them prints the whole file. A later command
// with other lines (the log of a printer whose journal holds a "]]>" can
// carry one) never takes the place of the first. One pass over
// the commands serves both files, each command looked at once, so the search
// is linear in the text.
SettingsSections printingCommandSections(const QString &queryText, CdataEnds &cdataEnds)
{
    SettingsSections printed;
    struct
    {
        const QString attribute;
        const QLatin1String marker;
        SettingsSection &best;
        int lines;
    } files[] = {
        {QLatin1String("args=\"") + primarySettingsMarker + QLatin1Char('"'), primarySettingsMarker,
         printed.primary, 0},
        {QLatin1String("args=\"") + shippedSettingsMarker + QLatin1Char('"'), shippedSettingsMarker,
         printed.shipped, 0},
    };
    OutputEnds outputs(queryText);
    for (int tag = nextCommandTag(queryText, 0, cdataEnds); tag >= 0;) {
        const int tagEnd = queryText.indexOf(QLatin1Char('>'), tag + 1);
        if (tagEnd < 0)
            break;
        const QStringRef tagText(&queryText, tag, tagEnd - tag);
        for (auto &file : files) {
            const int at = tagText.indexOf(file.attribute);
            const int end = at < 0 ? -1 : outputs.after(tagEnd + 1);
            if (end < 0)
                continue;
            // From the path on, as the other rules start a section.
            SettingsSection section =
                scanSection(queryText, tag + at + 6, end, file.marker, file.lines);
            if (!section.refusal.isNull() || printsMoreOf(section, file.best))
                file.best = std::move(section);
            if (!file.best.refusal.isNull())
                return printed;
        }
        tag = nextCommandTag(queryText, tagEnd + 1, cdataEnds);
    }
    return printed;
}

// Where a section starts when no command printed the file: at the first
// occurrence of its marker inside a command's opening tag (between
// "<command" and the next ">"), so that a log line or a value quoting the
// path cannot move the section; failing that, at its first occurrence
// anywhere.
int namingSectionStart(const QString &queryText, QLatin1String marker, CdataEnds &cdataEnds)
{
    for (int tag = nextCommandTag(queryText, 0, cdataEnds); tag >= 0;) {
        const int tagEnd = queryText.indexOf(QLatin1Char('>'), tag + 1);
        const int length = (tagEnd < 0 ? queryText.size() : tagEnd) - tag;
        const int at = QStringRef(&queryText, tag, length).indexOf(marker);
        if (at >= 0)
            return tag + at;
        if (tagEnd < 0)
            break;
        tag = nextCommandTag(queryText, tagEnd + 1, cdataEnds);
    }
    return queryText.indexOf(marker);
}

SettingsSections settingsSections(const QString &queryText, CdataEnds &cdataEnds)
{
    SettingsSections sections = printingCommandSections(queryText, cdataEnds);
    for (SettingsSection *section : {&sections.primary, &sections.shipped}) {
        const QLatin1String marker =
            section == &sections.primary ? primarySettingsMarker : shippedSettingsMarker;
        if (section->refusal.isNull() && section->lines.isEmpty()) {
            const int start = namingSectionStart(queryText, marker, cdataEnds);
            const int end = start < 0 ? -1 : OutputEnds(queryText).after(start);
            int printed = 0;
            *section =
                end < 0 ? SettingsSection() : scanSection(queryText, start, end, marker, printed);
        }
    }
    return sections;
}

} // namespace

SettingsSections settingsSections(const QString &queryText)
{
    CdataEnds cdataEnds;
    return settingsSections(queryText, cdataEnds);
}

namespace {

// A block's settings, placed at the document's line firstLine.
DocumentSettings placedSettings(QVector<SettingEntry> entries, int firstLine)
{
    for (SettingEntry &entry : entries)
        entry.line += firstLine;
    return {firstLine, std::move(entries)};
}

// The block of the section of marker, or the reason for refusing the text.
QString settingsBlock(const SettingsSection &section, QLatin1String marker, const QString &heading,
                      SettingsBlock *block)
{
    if (!section.refusal.isNull())
        return section.refusal;
    if (settingsBlockLength(heading, section.lines) > maxSettingsBlockLength) {
        return tr("The %1 settings would be longer than %2 characters once escaped.")
            .arg(sectionName(marker), groupedNumber(maxSettingsBlockLength));
    }
    *block = decodeSettings(heading, section.lines);
    return QString();
}

QString logHeader()
{
    return logHeading + QLatin1String("\n\n");
}

QString logFooter(bool cut)
{
    QString footer = QLatin1String("\n");
    if (cut)
        footer += logCutNote + QLatin1Char('\n');
    return footer + sectionRule() + QLatin1Char('\n');
}

} // namespace

DocumentPlan planQueryDocument(const QString &queryText)
{
    DocumentPlan plan;
    SettingsBlock primary;
    SettingsBlock shipped;
    CdataEnds cdataEnds;
    const SettingsSections sections = settingsSections(queryText, cdataEnds);
    QString refusal =
        settingsBlock(sections.primary, primarySettingsMarker, primaryHeading, &primary);
    if (refusal.isNull())
        refusal = settingsBlock(sections.shipped, shippedSettingsMarker, shippedHeading, &shipped);
    if (!refusal.isNull()) {
        plan.document.refusal = refusal;
        return plan;
    }
    plan.settings = primary.text + shipped.text;
    plan.document.primary = placedSettings(std::move(primary.entries), 0);
    plan.document.shipped = placedSettings(std::move(shipped.entries), primary.lineCount);

    // The log is the journal command's own CDATA: one that opens after the
    // command's end belongs to a later command.
    const int journal = queryText.indexOf(journalMarker);
    if (journal < 0)
        return plan;
    const int cdata = queryText.indexOf(logStartMarker, journal);
    if (cdata < 0 || QStringRef(&queryText, journal, cdata - journal).contains(commandEndMarker))
        return plan;
    const int from = cdata + logStartMarker.size();
    int to = cdataEnds.after(queryText, from);
    if (to < 0) {
        to = queryText.size();
        plan.document.logCut = true;
    }
    if (to > from) {
        plan.document.logLine = primary.lineCount + shipped.lineCount;
        plan.logFrom = from;
        plan.logSize = to - from;
    }
    return plan;
}

ViewSize plannedViewSize(const DocumentPlan &plan, const QString &queryText)
{
    ViewSize size = viewSize(plan.settings);
    if (plan.logSize == 0)
        return size;
    // Every piece but the log ends with a line feed, so no line runs from
    // one piece into the next, and the lines add up; only a log ending in a
    // CR makes one break with the footer's line feed.
    const QStringView log(queryText.constData() + plan.logFrom, plan.logSize);
    for (const ViewSize &piece :
         {viewSize(logHeader()), viewSize(log), viewSize(logFooter(plan.document.logCut))}) {
        size.lines += piece.lines - 1;
        size.characters += piece.characters;
        size.cut = size.cut || piece.cut;
    }
    if (log.back() == QLatin1Char('\r'))
        --size.lines;
    return size;
}

QueryDocument buildQueryDocument(DocumentPlan plan, QString &&queryText)
{
    QueryDocument document = std::move(plan.document);
    if (!document.refusal.isNull())
        return document;
    if (plan.logSize == 0) {
        document.text = std::move(plan.settings);
        return document;
    }
    const QString prefix = plan.settings + logHeader();
    const QString footer = logFooter(document.logCut);
    const int size = prefix.size() + plan.logSize + footer.size();
    QString text = std::move(queryText);
    if (!text.isDetached()) {
        document.text.reserve(size);
        document.text += prefix;
        document.text += QStringRef(&text, plan.logFrom, plan.logSize);
        document.text += footer;
        return document;
    }
    // The log is moved into place inside the query text's own storage: for a
    // large query this saves a second copy of nearly the whole text.
    text.resize(qMax(text.size(), size));
    QChar *data = text.data();
    std::memmove(data + prefix.size(), data + plan.logFrom,
                 std::size_t(plan.logSize) * sizeof(QChar));
    std::memcpy(data, prefix.constData(), std::size_t(prefix.size()) * sizeof(QChar));
    std::memcpy(data + prefix.size() + plan.logSize, footer.constData(),
                std::size_t(footer.size()) * sizeof(QChar));
    text.resize(size);
    document.text = std::move(text);
    return document;
}

QueryDocument assembleQueryDocument(const QString &queryText)
{
    QString shared = queryText;
    return buildQueryDocument(planQueryDocument(shared), std::move(shared));
}

QueryDocument assembleQueryDocument(QString &&queryText)
{
    QString text = std::move(queryText);
    DocumentPlan plan = planQueryDocument(text);
    return buildQueryDocument(std::move(plan), std::move(text));
}

QString printerSerial(const QueryDocument &document, const QString &path)
{
    const QString serial =
        firstNonEmptyValue(document.primary.entries, QLatin1String("id-printer-serial"));
    if (!serial.isNull())
        return serial;
    QString name = QFileInfo(path).fileName();
    if (name.endsWith(QLatin1String(".zip")) || name.endsWith(QLatin1String(".txt")))
        name.chop(4);
    return name;
}
