#pragma once

#include "query/viewtext.h"
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

// What a settings section may cost, checked before it is paid for: a real
// printer's section holds a few hundred settings of a few dozen characters.
// Past a limit the query text is refused with a reason that names it.
//
// The most setting lines printed for one settings file, counted over every
// command whose output is searched for its section: lines that hold key="
// and after it value=", the only ones the decoder looks at. Others (empty
// lines, lines without a key) are passed over and cost nothing.
extern const int maxSettingLines;
// The longest setting line: the matcher's memory grows with the quotes of a
// line.
extern const int maxSettingLineLength;
// The longest settings block, escaped as the document shows it (one
// character can take six).
extern const int maxSettingsBlockLength;

// A settings section of a query text: its range and its setting lines.
struct SettingsSection
{
    // Where the section starts and ends in the query text; -1 when the text
    // has none.
    int start = -1;
    int end = -1;
    // The lines of the range that SettingPattern matches, split at line
    // feeds (a CR stays at the end of its line), sorted by UTF-16 code units;
    // views into the query text, valid while it lives unchanged. Empty when
    // the section holds no setting line (its command failed or printed
    // something else), so that it counts as missing.
    QVector<SettingLine> lines;
    // Null, or why the text is refused: its file printed past
    // maxSettingLines or with a line past maxSettingLineLength.
    QString refusal;
};

// The settings sections of a query text, each the section of its marker
// (primarySettingsMarker, shippedSettingsMarker). The output of the first
// command whose args attribute is exactly the marker and whose output holds a
// setting line, or of a later one that prints all of those setting lines and
// more, so that a head or tail of the file, or a cat that broke off, cannot
// take the place of the whole file, and no later command can replace a line
// it printed; failing that, the text from the first occurrence of the marker inside a
// command's opening tag, or failing that anywhere. Commands are found outside
// CDATA sections only (a log quoting a command is text), and an output ends
// at the next "</command>" or "<command", whichever comes first, so that a
// command cut off before its end cannot swallow the next one. A section needs
// a "</command>" after it.
struct SettingsSections
{
    SettingsSection primary;
    SettingsSection shipped;
};

SettingsSections settingsSections(const QString &queryText);

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
    // Null, or why the query text has no document: it passes one of the
    // limits above. text is then empty and there are no settings.
    QString refusal;
};

// A document found, checked and its settings decoded, but its text not yet
// built: the settings blocks are bounded by the limits, the log is a range of
// the query text.
struct DocumentPlan
{
    // Everything but the text.
    QueryDocument document;
    // The two settings blocks.
    QString settings;
    // The log's range in the query text; logSize 0 when there is no log.
    int logFrom = 0;
    int logSize = 0;
};

DocumentPlan planQueryDocument(const QString &queryText);

// The size of the planned document's text as the view would hold it,
// measured in place: the view's limits are checked before the text is built.
ViewSize plannedViewSize(const DocumentPlan &plan, const QString &queryText);

// The planned document, built inside the storage of the query text it was
// planned from when the caller no longer needs it (std::move), so that a
// large log is not held twice.
QueryDocument buildQueryDocument(DocumentPlan plan, QString &&queryText);

// planQueryDocument then buildQueryDocument.
QueryDocument assembleQueryDocument(const QString &queryText);
QueryDocument assembleQueryDocument(QString &&queryText);

// The printer's serial as a query file tells it: the first non-empty value of
// id-printer-serial among its current settings, else the name of the file at
// path without ".zip" or ".txt".
QString printerSerial(const QueryDocument &document, const QString &path);
