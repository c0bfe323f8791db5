#include "query/querydocument.h"

#include "settings/settingsdecoder.h"

#include <algorithm>

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
    const QString primary =
        decodeSettings(primaryHeading, settingsSectionLines(queryText, primarySettingsMarker));
    const QString shipped =
        decodeSettings(shippedHeading, settingsSectionLines(queryText, shippedSettingsMarker));

    QStringRef log;
    const int journal = queryText.indexOf(journalMarker);
    const int cdata = journal < 0 ? -1 : queryText.indexOf(logStartMarker, journal);
    if (cdata >= 0) {
        const int from = cdata + logStartMarker.size();
        const int to = queryText.indexOf(logEndMarker, from);
        if (to > from)
            log = QStringRef(&queryText, from, to - from);
    }

    const QString rule = sectionRule();
    QString document;
    // Sized once: the log can be most of a large query text.
    document.reserve(primary.size() + shipped.size() +
                     (log.isNull() ? 0 : logHeading.size() + 2 + log.size() + 1 + rule.size() + 1));
    document += primary;
    document += shipped;
    if (!log.isNull()) {
        document += logHeading;
        document += QLatin1String("\n\n");
        document += log;
        document += QLatin1Char('\n');
        document += rule;
        document += QLatin1Char('\n');
    }
    return document;
}
