#pragma once

#include "query/settingsdiff.h"

#include <QString>
#include <QVector>

// What an export keeps of one query file.
struct QueryRecord
{
    QString path;
    // Size and modification time as found before the file was read, so that a
    // file changed while it is read looks changed to the next export.
    qint64 size = 0;
    qint64 modifiedMs = 0;

    // The first non-empty id-printer-serial of the current settings, else the
    // file name without its .zip/.txt suffix.
    QString serial;
    // The first non-empty id-model-name of the current settings, else of the
    // factory settings (firstNonEmptyValue); null when neither has one.
    QString model;
    // Null when the file was read; otherwise why it is refused.
    QString refusal;

    // A section counts as present only when it holds at least one setting
    // line. Settings are in the order the document shows them, key and value
    // as the file holds them (not escaped: they are data).
    QVector<SettingEntry> current;
    QVector<SettingEntry> factory;
    // As `brindle-query diff` computes them (factory side left); meaningful
    // only when both sections are present.
    QVector<SettingDifference> differences;

    bool wasRead() const { return refusal.isNull(); }
    bool hasCurrent() const { return !current.isEmpty(); }
    bool hasFactory() const { return !factory.isEmpty(); }
    bool comparable() const { return hasCurrent() && hasFactory(); }
};

// Reads one query file with the viewer's reader and document model into a
// record; size and modification time are left for the caller. A file that
// cannot be read, or that passes a limit of the document, gives a record with
// the reason the viewer and brindle-query give, and no settings (the view's
// own limits on lines and characters are not the export's). The document's
// text is never built: a record holds only the settings.
QueryRecord readQueryRecord(const QString &path);
