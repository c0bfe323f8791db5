#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QPair>
#include <QString>
#include <QVector>

// Generated query files for tests, the benchmark and the bundled sample. All
// data is invented; the same options always give the same bytes.

struct QueryFixtureOptions
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
};

// A query text as the printer writes it (UTF-8): commands as elements with
// their output, the primary and shipped settings sections, and the journal
// command whose output is a CDATA log, with other commands around them.
QByteArray buildQueryText(const QueryFixtureOptions &options);

// Setting lines from "key=value" pairs, each line ended by end.
QByteArray settingLines(const QByteArrayList &pairs, const QByteArray &end = "\n");

// A small query text for one case: the shipped and the primary settings
// commands with the given lines, then the journal command with log as its
// CDATA. A null argument leaves its command out.
QByteArray queryText(const QByteArray &shipped, const QByteArray &primary,
                     const QByteArray &log = QByteArray());

using ZipEntry = QPair<QString, QByteArray>;

// Writes a deflated archive holding the entries in the order given (a name
// ending in "/" is a folder entry), encrypted when a password is given. False
// on any write error.
bool writeZip(const QString &zipPath, const QVector<ZipEntry> &entries,
              const char *password = nullptr);

// Writes an archive whose one entry holds data deflated (or as given, when it
// is already deflated) but records the given uncompressed size and CRC-32,
// which need not match the data; a size past 4 GiB is recorded as ZIP64.
bool writeZipWithStoredFacts(const QString &zipPath, const QString &entryName,
                             const QByteArray &data, quint64 declaredSize, quint32 crc,
                             bool alreadyDeflated = false);

// Writes an archive whose one entry inflates to inflatedMiB MiB of 'q' but
// records declaredSize (and the true CRC-32): one flushed deflate block of a
// MiB, repeated, so the archive stays about a thousandth of what it inflates to.
bool writeZipBomb(const QString &zipPath, qint64 inflatedMiB, quint64 declaredSize);

quint32 crc32Of(const QByteArray &data);
