#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QPair>
#include <QString>
#include <QVector>

// Query files for the tests, built case by case. All data is invented.

// Setting lines from "key=value" pairs, each line ended by end.
QByteArray settingLines(const QByteArrayList &pairs, const QByteArray &end = "\n");

// A small query text for one case: the shipped and the primary settings
// commands with the given lines, then the journal command with log as its
// CDATA. A null argument leaves its command out.
QByteArray queryText(const QByteArray &shipped, const QByteArray &primary,
                     const QByteArray &log = QByteArray());

using ZipEntry = QPair<QString, QByteArray>;

// Writes a deflated archive holding the entries in the order given (a name
// ending in "/" is a folder entry), each of Unix mode 0644, encrypted when a
// password is given. False on any write error.
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
