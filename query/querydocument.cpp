#include "query/querydocument.h"

#include "settings/settingsdecoder.h"

#include <algorithm>
#include <cstring>

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

struct DocumentParts
{
    QString settings;
    int logFrom = 0;
    int logSize = 0;
};

DocumentParts documentParts(const QString &queryText)
{
    DocumentParts parts;
    const QString primary =
        decodeSettings(primaryHeading, settingsSectionLines(queryText, primarySettingsMarker));
    const QString shipped =
        decodeSettings(shippedHeading, settingsSectionLines(queryText, shippedSettingsMarker));
    parts.settings = primary + shipped;

    const int journal = queryText.indexOf(journalMarker);
    const int cdata = journal < 0 ? -1 : queryText.indexOf(logStartMarker, journal);
    if (cdata >= 0) {
        const int from = cdata + logStartMarker.size();
        const int to = indexOfShort(queryText, logEndMarker, from);
        if (to > from) {
            parts.logFrom = from;
            parts.logSize = to - from;
        }
    }
    return parts;
}

QString logHeader()
{
    return logHeading + QLatin1String("\n\n");
}

QString logFooter()
{
    return QLatin1Char('\n') + sectionRule() + QLatin1Char('\n');
}

} // namespace

QVector<QStringRef> settingsSectionLines(const QString &queryText, const QString &marker)
{
    const int start = queryText.indexOf(marker);
    if (start < 0)
        return {};
    const int end = queryText.indexOf(commandEndMarker, start);
    if (end <= start)
        return {};
    QVector<QStringRef> lines =
        QStringRef(&queryText, start, end - start)
            .split(QLatin1Char('\n'), Qt::KeepEmptyParts, Qt::CaseSensitive);
    std::sort(lines.begin(), lines.end());
    return lines;
}

QString assembleQueryDocument(const QString &queryText)
{
    const DocumentParts parts = documentParts(queryText);
    if (parts.logSize == 0)
        return parts.settings;
    const QString header = logHeader();
    const QString footer = logFooter();
    QString document;
    document.reserve(parts.settings.size() + header.size() + parts.logSize + footer.size());
    document += parts.settings;
    document += header;
    document += QStringRef(&queryText, parts.logFrom, parts.logSize);
    document += footer;
    return document;
}

QString assembleQueryDocument(QString &&queryText)
{
    QString text = std::move(queryText);
    const DocumentParts parts = documentParts(text);
    if (parts.logSize == 0 || !text.isDetached())
        return assembleQueryDocument(text);

    // The log is moved into place inside the query text's own storage: for a
    // large query this saves a second copy of nearly the whole text.
    const QString prefix = parts.settings + logHeader();
    const QString footer = logFooter();
    const int size = prefix.size() + parts.logSize + footer.size();
    text.resize(qMax(text.size(), size));
    QChar *data = text.data();
    std::memmove(data + prefix.size(), data + parts.logFrom,
                 std::size_t(parts.logSize) * sizeof(QChar));
    std::memcpy(data, prefix.constData(), std::size_t(prefix.size()) * sizeof(QChar));
    std::memcpy(data + prefix.size() + parts.logSize, footer.constData(),
                std::size_t(footer.size()) * sizeof(QChar));
    text.resize(size);
    return text;
}
