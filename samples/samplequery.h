#pragma once

#include <QByteArray>
#include <QString>

// Realistic query texts for the bundled sample and the benchmark. All data is
// invented; the same options always give the same bytes.

struct SampleQueryOptions
{
    // Settings lines in each of the primary and shipped sections, spread over
    // all seven groups.
    int settingsPerSection = 3000;
    // Approximate size in bytes of the journal's CDATA log.
    qint64 logBytes = 64 * 1024;
    QString modelName = QStringLiteral("Model A");
    QString serial = QStringLiteral("BQ0000000001");
    quint32 seed = 1;
    // How many generated settings of the primary section differ from the
    // shipped one (beside the maintenance challenge); negative: all of them.
    int changedSettings = -1;
    // Added to every counter of the primary section's statistics: the same
    // printer reporting later.
    quint32 counterOffset = 0;
    // When not negative, the primary section also holds sleep-minutes with
    // this value: a setting the user changes now and then.
    int sleepMinutes = -1;
};

// A query text as the printer writes it (UTF-8): commands as elements with
// their output, the primary and shipped settings sections, and the journal
// command whose output is a CDATA log, with other commands around them.
QByteArray buildSampleQuery(const SampleQueryOptions &options);
