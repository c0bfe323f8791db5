#pragma once

#include "settings/settingsdecoder.h"

#include <QLatin1String>
#include <QString>
#include <QStringRef>
#include <QVector>

#include <cstddef>

// QLatin1String's constructor from a pointer counts with strlen, which clang
// does not evaluate at compile time; the array knows its own length.
template<std::size_t N> constexpr QLatin1String latin1Literal(const char (&text)[N])
{
    return QLatin1String(text, int(N - 1));
}

// Texts that mark the parts of a query text taken into the document.
inline constexpr QLatin1String shippedSettingsMarker =
    latin1Literal("/opt/corvelle/sdcard/settings/shipped");
inline constexpr QLatin1String primarySettingsMarker =
    latin1Literal("/opt/corvelle/sdcard/settings/primary");
inline constexpr QLatin1String commandEndMarker = latin1Literal("</command>");
inline constexpr QLatin1String journalMarker =
    latin1Literal("<command name=\"journalctl\" args=\"-u corvelle");
inline constexpr QLatin1String logStartMarker = latin1Literal("<![CDATA[");
inline constexpr QLatin1String logEndMarker = latin1Literal("]]>");

// The section headings of the document, in document order.
inline constexpr QLatin1String primaryHeading = latin1Literal("PRIMARY (CURRENT) SETTINGS");
inline constexpr QLatin1String shippedHeading = latin1Literal("SHIPPED (FACTORY) SETTINGS");
inline constexpr QLatin1String logHeading = latin1Literal("LOG FILE");

// The line that closes a log whose CDATA the query text never closes.
inline constexpr QLatin1String logCutNote =
    latin1Literal("[The query file ends inside the log: the rest of the log is missing.]");

// The lines of the settings section of marker: the output of the first
// command whose args attribute is exactly marker and whose output holds a
// setting line; failing that, the text from the first occurrence of marker
// inside a command's opening tag, or failing that anywhere, up to the next
// "</command>". Split at line feeds with empty pieces kept (a CR stays at the
// end of its piece), sorted by UTF-16 code units. Empty when the marker or its
// "</command>" is missing, and when the section holds no setting line (its
// command failed or printed something else), so that such a section counts
// as missing. The pieces are views into queryText, valid while it
// lives unchanged.
QVector<QStringRef> settingsSectionLines(const QString &queryText, const QString &marker);

// One settings block of the document.
struct DocumentSettings
{
    // The line of the block's heading.
    int firstLine = 0;
    // Its settings, each with the document line that shows it. Empty when the
    // query text lacks the section or its command printed no setting: the
    // block then shows its heading and empty groups, and the section counts
    // as missing wherever settings are compared.
    QVector<SettingEntry> entries;
};

// The document shown for a query text, and where its parts stand. Lines are
// counted from 0 as the view counts its blocks (isDocumentLineBreak).
struct QueryDocument
{
    // The primary settings block, the shipped settings block and, when the
    // journal command has a non-empty CDATA text that opens before the
    // command's "</command>", that text under "LOG FILE" closed by the rule.
    // A CDATA never closed runs to the end of the text and is followed by the
    // line logCutNote. Never empty: both settings blocks are always there,
    // empty groups and all.
    QString text;
    DocumentSettings primary;
    DocumentSettings shipped;
    // The line of the "LOG FILE" heading, or -1 when there is no log.
    int logLine = -1;
    // Whether the log is cut short, followed by logCutNote.
    bool logCut = false;
};

QueryDocument assembleQueryDocument(const QString &queryText);

// The same document, built inside the storage of a query text that the caller
// no longer needs (call it with std::move(text) or readQueryFile's result), so
// that a large log is not held twice.
QueryDocument assembleQueryDocument(QString &&queryText);

// The printer's serial as a query file tells it: the first non-empty value of
// id-printer-serial among its current settings, else the name of the file at
// path without ".zip" or ".txt".
QString printerSerial(const QueryDocument &document, const QString &path);
