#include "query/querydocument.h"

#include "settings/settingsdecoder.h"

#include <QFileInfo>

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

// QString::indexOf falls back to a slow rolling hash for short needles; a
// needle's last character is rare in a log, and a single character is found
// with vector instructions.
int indexOfShort(const QString &text, QLatin1String needle, int from)
{
    const QChar last = QLatin1Char(needle.back());
    const int lastOffset = needle.size() - 1;
    for (int at = text.indexOf(last, from + lastOffset); at >= 0; at = text.indexOf(last, at + 1)) {
        if (QStringRef(&text, at - lastOffset, needle.size()) == needle)
            return at - lastOffset;
    }
    return -1;
}

bool holdsSettingLine(const QStringRef &output)
{
    const SettingPattern pattern;
    for (int from = 0; from <= output.size();) {
        int end = output.indexOf(QLatin1Char('\n'), from);
        if (end < 0)
            end = output.size();
        if (pattern.match(output.mid(from, end - from), nullptr, nullptr))
            return true;
        from = end + 1;
    }
    return false;
}

// The command that prints the settings file: the first command whose args
// attribute is exactly the file's path and whose output holds a setting line.
// A checksum, listing or status of the file names it too, and a backup's path
// begins with it; none of them prints the settings. Gives where the path
// stands in the tag, or -1. Each command is looked at once, so the search is
// linear in the text.
int printingCommandStart(const QString &queryText, const QString &marker)
{
    const QString attribute = QLatin1String("args=\"") + marker + QLatin1Char('"');
    const QLatin1String tagStart("<command");
    for (int tag = queryText.indexOf(tagStart); tag >= 0;) {
        const int tagEnd = queryText.indexOf(QLatin1Char('>'), tag + tagStart.size());
        if (tagEnd < 0)
            return -1;
        const int at = QStringRef(&queryText, tag, tagEnd - tag).indexOf(attribute);
        if (at < 0) {
            tag = queryText.indexOf(tagStart, tagEnd);
            continue;
        }
        const int end = queryText.indexOf(commandEndMarker, tagEnd);
        if (end < 0)
            return -1;
        if (holdsSettingLine(QStringRef(&queryText, tagEnd + 1, end - tagEnd - 1)))
            return tag + at + 6;
        tag = queryText.indexOf(tagStart, end);
    }
    return -1;
}

// Where a settings section starts: at the command that prints the file;
// failing that, at the first occurrence of its marker inside a command's
// opening tag (after "<command name=", before the next ">"), so that a log
// line or a value quoting the path cannot move the section; failing that, at
// its first occurrence anywhere.
int settingsSectionStart(const QString &queryText, const QString &marker)
{
    const int printing = printingCommandStart(queryText, marker);
    if (printing >= 0)
        return printing;
    const QLatin1String tagStart("<command name=");
    int tag = queryText.indexOf(tagStart);
    while (tag >= 0) {
        const int from = tag + tagStart.size();
        const int tagEnd = queryText.indexOf(QLatin1Char('>'), from);
        const int length = (tagEnd < 0 ? queryText.size() : tagEnd) - from;
        const int at = QStringRef(&queryText, from, length).indexOf(marker);
        if (at >= 0)
            return from + at;
        if (tagEnd < 0)
            break;
        tag = queryText.indexOf(tagStart, tagEnd);
    }
    return queryText.indexOf(marker);
}

struct DocumentParts
{
    QString settings;
    DocumentSettings primary;
    DocumentSettings shipped;
    int logLine = -1;
    int logFrom = 0;
    int logSize = 0;
    // The query text ends inside the log: the CDATA is never closed.
    bool logCut = false;
};

// A block's settings, placed at the document's line firstLine.
DocumentSettings placedSettings(QVector<SettingEntry> entries, int firstLine)
{
    for (SettingEntry &entry : entries)
        entry.line += firstLine;
    return {firstLine, std::move(entries)};
}

DocumentParts documentParts(const QString &queryText)
{
    DocumentParts parts;
    SettingsBlock primary =
        decodeSettings(primaryHeading, settingsSectionLines(queryText, primarySettingsMarker));
    SettingsBlock shipped =
        decodeSettings(shippedHeading, settingsSectionLines(queryText, shippedSettingsMarker));
    parts.settings = primary.text + shipped.text;
    parts.primary = placedSettings(std::move(primary.entries), 0);
    parts.shipped = placedSettings(std::move(shipped.entries), primary.lineCount);

    // The log is the journal command's own CDATA: one that opens after the
    // command's end belongs to a later command.
    const int journal = queryText.indexOf(journalMarker);
    if (journal < 0)
        return parts;
    const int cdata = queryText.indexOf(logStartMarker, journal);
    if (cdata < 0 || QStringRef(&queryText, journal, cdata - journal).contains(commandEndMarker))
        return parts;
    const int from = cdata + logStartMarker.size();
    int to = indexOfShort(queryText, logEndMarker, from);
    if (to < 0) {
        to = queryText.size();
        parts.logCut = true;
    }
    if (to > from) {
        parts.logLine = primary.lineCount + shipped.lineCount;
        parts.logFrom = from;
        parts.logSize = to - from;
    }
    return parts;
}

// The document's text is filled in by the caller.
QueryDocument documentModel(DocumentParts &parts)
{
    QueryDocument document;
    document.primary = std::move(parts.primary);
    document.shipped = std::move(parts.shipped);
    document.logLine = parts.logLine;
    document.logCut = parts.logCut;
    return document;
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

QVector<QStringRef> settingsSectionLines(const QString &queryText, const QString &marker)
{
    const int start = settingsSectionStart(queryText, marker);
    if (start < 0)
        return {};
    const int end = queryText.indexOf(commandEndMarker, start);
    if (end <= start)
        return {};
    const QStringRef section(&queryText, start, end - start);
    // Output without a setting (a failed command, another file's) is no
    // settings section.
    if (!holdsSettingLine(section))
        return {};
    QVector<QStringRef> lines = section.split(QLatin1Char('\n'), Qt::KeepEmptyParts);
    std::sort(lines.begin(), lines.end());
    return lines;
}

QueryDocument assembleQueryDocument(const QString &queryText)
{
    DocumentParts parts = documentParts(queryText);
    QueryDocument document = documentModel(parts);
    if (parts.logSize == 0) {
        document.text = std::move(parts.settings);
        return document;
    }
    const QString header = logHeader();
    const QString footer = logFooter(parts.logCut);
    QString &text = document.text;
    text.reserve(parts.settings.size() + header.size() + parts.logSize + footer.size());
    text += parts.settings;
    text += header;
    text += QStringRef(&queryText, parts.logFrom, parts.logSize);
    text += footer;
    return document;
}

QueryDocument assembleQueryDocument(QString &&queryText)
{
    QString text = std::move(queryText);
    DocumentParts parts = documentParts(text);
    if (parts.logSize == 0 || !text.isDetached())
        return assembleQueryDocument(text);

    // The log is moved into place inside the query text's own storage: for a
    // large query this saves a second copy of nearly the whole text.
    const QString prefix = parts.settings + logHeader();
    const QString footer = logFooter(parts.logCut);
    const int size = prefix.size() + parts.logSize + footer.size();
    text.resize(qMax(text.size(), size));
    QChar *data = text.data();
    std::memmove(data + prefix.size(), data + parts.logFrom,
                 std::size_t(parts.logSize) * sizeof(QChar));
    std::memcpy(data, prefix.constData(), std::size_t(prefix.size()) * sizeof(QChar));
    std::memcpy(data + prefix.size() + parts.logSize, footer.constData(),
                std::size_t(footer.size()) * sizeof(QChar));
    text.resize(size);
    QueryDocument document = documentModel(parts);
    document.text = std::move(text);
    return document;
}

QString printerSerial(const QueryDocument &document, const QString &path)
{
    for (const SettingEntry &entry : document.primary.entries) {
        if (entry.key == QLatin1String("id-printer-serial") && !entry.value.isEmpty())
            return entry.value;
    }
    QString name = QFileInfo(path).fileName();
    if (name.endsWith(QLatin1String(".zip")) || name.endsWith(QLatin1String(".txt")))
        name.chop(4);
    return name;
}
