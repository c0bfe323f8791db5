// brindle-query: the viewer's reading, cutting and decoding on the command
// line. Exit status as diff(1): 0 nothing to report, 1 differences, 2 trouble.
// export stores many query files at once, history reads what it kept of a
// printer; the work is in export/.

#include "export/fleetexport.h"
#include "export/fleethistory.h"
#include "query/archive.h"
#include "query/querydocument.h"
#include "query/queryreader.h"
#include "query/settingsdiff.h"
#include "settings/textescape.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>
#include <new>
#include <utility>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

enum ExitStatus { NothingToReport = 0, DifferencesFound = 1, Trouble = 2 };

const QString serialOption = QStringLiteral("serial");

// A query file named on the command line, directly or by printer serial.
struct Operand
{
    bool bySerial = false;
    QString text;

    QString label() const { return bySerial ? QStringLiteral("serial ") + text : text; }
};

// Writes "brindle-query: MESSAGE" as one line on standard error. The message
// holds file names, archive entry names and reasons taken from files: escaped,
// none of them can retitle or clear the terminal or break the line.
void writeErrorLine(const QString &message)
{
    QString line = QCoreApplication::applicationName() + QStringLiteral(": ");
    appendEscaped(line, message, EscapeStyle::Terminal);
    std::fputs((line + QLatin1Char('\n')).toLocal8Bit().constData(), stderr);
}

int trouble(const QString &message)
{
    writeErrorLine(message);
    return Trouble;
}

// QCommandLineParser keeps file operands and --serial values apart; compare
// needs them in the order they were given, so walk the raw arguments.
QVector<Operand> operandsInOrder(const QStringList &arguments)
{
    QVector<Operand> operands;
    const QString serialLong = QStringLiteral("--serial");
    const QString serialAssigned = QStringLiteral("--serial=");
    bool optionsEnded = false;
    bool commandSeen = false;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (!optionsEnded && argument == QLatin1String("--")) {
            optionsEnded = true;
        } else if (!optionsEnded && argument == serialLong) {
            if (++i < arguments.size())
                operands.append({true, arguments.at(i)});
        } else if (!optionsEnded && argument.startsWith(serialAssigned)) {
            operands.append({true, argument.mid(serialAssigned.size())});
        } else if (!optionsEnded && argument.startsWith(QLatin1Char('-')) && argument.size() > 1) {
            continue;
        } else if (!commandSeen) {
            commandSeen = true;
        } else {
            operands.append({false, argument});
        }
    }
    return operands;
}

// Reads the query text of an operand; on failure returns false with the
// line to report in error.
bool readOperand(const Operand &operand, QString *queryText, QString *error)
{
    QString path = operand.text;
    if (operand.bySerial) {
        path = archiveFileForSerial(operand.text);
        if (path.isEmpty() || !QFile::exists(path)) {
            *error = operand.label() + QStringLiteral(": Couldn't find printer in archive.");
            return false;
        }
    }
    QString reason;
    *queryText = readQueryFile(path, &reason);
    if (queryText->isEmpty()) {
        *error = operand.label() + QStringLiteral(": Couldn't read the query file. ") + reason;
        return false;
    }
    return true;
}

bool openStandardOutput(QFile *out)
{
#ifdef Q_OS_WIN
    const int descriptor = _fileno(stdout);
    _setmode(descriptor, _O_BINARY);
#else
    const int descriptor = fileno(stdout);
#endif
    return out->open(descriptor, QIODevice::WriteOnly | QIODevice::Unbuffered);
}

bool writeAll(QFile &out, const QByteArray &bytes)
{
    return out.write(bytes) == bytes.size() && out.flush();
}

// Writes text as UTF-8, converting and writing in blocks so that a large
// document needs no second full-size copy.
bool writeUtf8(const QString &text)
{
    QFile out;
    if (!openStandardOutput(&out))
        return false;
    const int blockSize = 1 << 20;
    int from = 0;
    while (from < text.size()) {
        int to = qMin(from + blockSize, text.size());
        // A surrogate pair cut in two would be written as two replacement
        // characters.
        if (to < text.size() && text.at(to - 1).isHighSurrogate())
            ++to;
        const QByteArray bytes = text.midRef(from, to - from).toUtf8();
        if (out.write(bytes) != bytes.size())
            return false;
        from = to;
    }
    return out.flush();
}

int writeResult(const QString &text)
{
    if (!writeUtf8(text))
        return trouble(QStringLiteral("Couldn't write to standard output."));
    return NothingToReport;
}

int writeDifferences(const QVector<SettingDifference> &differences, bool json,
                     QLatin1String leftName, QLatin1String rightName)
{
    // The JSON is written as it is made, UTF-8, without a second copy.
    QFile out;
    const bool written =
        json ? openStandardOutput(&out) &&
                   writeAll(out, settingDifferencesJson(differences, leftName, rightName))
             : writeUtf8(settingDifferencesText(differences));
    if (!written)
        return trouble(QStringLiteral("Couldn't write to standard output."));
    return differences.isEmpty() ? NothingToReport : DifferencesFound;
}

// The settings of one section; a section the query text does not hold, or
// whose command printed no setting, is trouble, since comparing against it
// would report every key as removed or, when both are absent, nothing at all.
bool sectionSettings(const DocumentSettings &section, const QString &description,
                     const Operand &operand, QString *error)
{
    if (section.entries.isEmpty()) {
        *error = operand.label() + QStringLiteral(": No ") + description +
                 QStringLiteral(" settings in the query file.");
        return false;
    }
    return true;
}

// Reads an operand into its document, with its text when withText (diff and
// compare need only the settings); on failure returns false with the line to
// report in error. A file past a limit of the document, or whose work runs
// out of memory, is refused like one that cannot be read.
bool readDocument(const Operand &operand, QueryDocument *document, QString *error,
                  bool withText = false)
{
    QString reason;
    try {
        QString queryText;
        if (!readOperand(operand, &queryText, error))
            return false;
        DocumentPlan plan = planQueryDocument(queryText);
        reason = plan.document.refusal;
        if (reason.isNull()) {
            *document = withText ? buildQueryDocument(std::move(plan), std::move(queryText))
                                 : std::move(plan.document);
            return true;
        }
    } catch (const std::bad_alloc &) {
        reason = notEnoughMemoryReason();
    }
    *error = operand.label() + QStringLiteral(": Couldn't read the query file. ") + reason;
    return false;
}

int printCommand(const Operand &operand)
{
    QueryDocument document;
    QString error;
    if (!readDocument(operand, &document, &error, true))
        return trouble(error);
    return writeResult(document.text);
}

int diffCommand(const Operand &operand, bool json)
{
    QueryDocument document;
    QString error;
    if (!readDocument(operand, &document, &error) ||
        !sectionSettings(document.shipped, QStringLiteral("shipped (factory)"), operand, &error) ||
        !sectionSettings(document.primary, QStringLiteral("primary (current)"), operand, &error))
        return trouble(error);
    return writeDifferences(diffSettings(document.shipped.entries, document.primary.entries), json,
                            QLatin1String("factory"), QLatin1String("current"));
}

int compareCommand(const Operand &a, const Operand &b, bool json)
{
    QueryDocument documentA;
    QueryDocument documentB;
    QString error;
    const QString description = QStringLiteral("primary (current)");
    if (!readDocument(a, &documentA, &error) || !readDocument(b, &documentB, &error) ||
        !sectionSettings(documentA.primary, description, a, &error) ||
        !sectionSettings(documentB.primary, description, b, &error))
        return trouble(error);
    return writeDifferences(diffSettings(documentA.primary.entries, documentB.primary.entries),
                            json, QLatin1String("a"), QLatin1String("b"));
}

bool standardErrorIsTerminal()
{
#ifdef Q_OS_WIN
    return _isatty(_fileno(stderr));
#else
    return isatty(fileno(stderr));
#endif
}

// The export's progress: one line on standard error, rewritten in place, and
// only on a terminal; refusals and the summary are written on lines of their own.
class ExportReport
{
public:
    ExportReport()
        : terminal(standardErrorIsTerminal())
    {
        started.start();
    }

    void progress(const ExportProgress &progress)
    {
        if (!terminal || (shown && lastShown.isValid() && lastShown.elapsed() < 100 &&
                          progress.done < progress.total))
            return;
        const double seconds = qMax(0.001, started.elapsed() / 1000.0);
        const QString line = QStringLiteral("\r%1 of %2 files, %3 files/s, %4 refused\x1b[K")
                                 .arg(progress.done)
                                 .arg(progress.total)
                                 .arg(qRound(progress.done / seconds))
                                 .arg(progress.refused);
        std::fputs(line.toLocal8Bit().constData(), stderr);
        shown = true;
        lastShown.start();
    }

    // "brindle-query: MESSAGE" on a line of its own, escaped as trouble's.
    void line(const QString &message)
    {
        clear();
        writeErrorLine(message);
    }

    void clear()
    {
        if (shown)
            std::fputs("\r\x1b[K", stderr);
        shown = false;
    }

private:
    const bool terminal;
    bool shown = false;
    QElapsedTimer started;
    QElapsedTimer lastShown;
};

// The settings of an export taken from the command line.
struct ExportRequest
{
    QStringList paths;
    bool jsonLines = false;
    QString database;
    bool archive = false;
    bool prune = false;
    int threads = 0;
    QStringList ignore;
    QStringList unignore;
};

// Exit status: 0 every file read, 1 some refused or some folder or name
// unreadable (all others stored), 2 the export could not be done and nothing
// was changed.
int exportCommand(ExportRequest request)
{
    if (!request.jsonLines && request.database.isEmpty())
        return trouble(QStringLiteral("--sqlite needs a FILE."));
    if (request.archive) {
        if (!request.paths.isEmpty())
            return trouble(QStringLiteral("export takes --archive or PATHs, not both."));
        request.paths.append(archivePath);
    }
    if (request.paths.isEmpty())
        return trouble(QStringLiteral("export takes --archive or at least one PATH."));

    ExportReport report;
    ExportOptions options;
    options.paths = request.paths;
    options.programVersion = QStringLiteral(BRINDLE_VERSION);
    options.threads = request.threads;
    options.prune = request.prune;
    options.ignore = request.ignore;
    options.unignore = request.unignore;
    options.progress = [&report](const ExportProgress &progress) {
        report.progress(progress);
    };
    options.refused = [&report](const QString &path, const QString &reason) {
        report.line(path + QStringLiteral(": Couldn't read the query file. ") + reason);
    };
    options.unreadable = [&report](const QString &path, const QString &reason) {
        report.line(path + QStringLiteral(": ") + reason);
    };
    options.sharedSerial = [&report](const SharedSerial &shared) {
        QString line = QStringLiteral("%1: The serial is in %2 files; the printer's state is "
                                      "taken from %3, modified last.")
                           .arg(shared.serial)
                           .arg(shared.files)
                           .arg(shared.path);
        if (shared.aheadFiles > 0)
            line += QStringLiteral(" Files dated more than a day ahead, taken last: %1 (check "
                                   "the clock that wrote them).")
                        .arg(shared.aheadFiles);
        report.line(line);
    };
    ExportResult result;
    if (request.jsonLines) {
        QFile out;
        if (!openStandardOutput(&out))
            return trouble(QStringLiteral("Couldn't write to standard output."));
        result = exportToJsonLines(&out, options);
    } else {
        result = exportToSqlite(request.database, options);
    }
    report.clear();
    if (result.failed)
        return trouble(result.error);
    const ExportSummary &summary = result.summary;
    if (summary.upgradedPrinters >= 0) {
        report.line(request.database +
                    QStringLiteral(": upgraded from schema version 1; %1 printers were given "
                                   "their first state, dated at the export that wrote it.")
                        .arg(summary.upgradedPrinters));
    }
    QString line = QStringLiteral("%1 files: %2 read, %3 refused, %4 unchanged, %5 removed; %6 "
                                  "folders or names unreadable.")
                       .arg(summary.files)
                       .arg(summary.read)
                       .arg(summary.refused)
                       .arg(summary.unchanged)
                       .arg(summary.removed)
                       .arg(summary.unreadable);
    if (!request.jsonLines)
        line += QStringLiteral(" %1 printers in a new state.").arg(summary.newStates);
    report.line(line);
    return summary.refused > 0 || summary.unreadable > 0 ? 1 : 0;
}

// Exit status: 0 the printer's configuration never changed (since the date
// given), 1 it did, 2 trouble.
int historyCommand(const QString &database, const QString &serial, const QDate &since, bool json)
{
    FleetHistory history;
    QString error;
    QVector<HistoryChange> changes;
    if (!history.open(database, &error) ||
        !historyChanges(history, serial, since, &changes, &error))
        return trouble(database + QStringLiteral(": ") + error);
    const int status = writeResult(json ? QString::fromUtf8(historyChangesJson(changes))
                                        : historyChangesText(changes));
    if (status != NothingToReport)
        return status;
    return changes.isEmpty() ? NothingToReport : DifferencesFound;
}

// An argument whose bytes are not valid in the system's encoding (UTF-8)
// would name another file than the one meant; none is taken.
bool argumentsDecode(int argc, char *argv[], QString *bad)
{
    for (int i = 1; i < argc; ++i) {
        const QByteArray bytes(argv[i]);
        if (QFile::encodeName(QFile::decodeName(bytes)) != bytes) {
            *bad = QFile::decodeName(bytes);
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("brindle-query"));
    QCoreApplication::setApplicationVersion(QStringLiteral(BRINDLE_VERSION));
    QString badArgument;
    if (!argumentsDecode(argc, argv, &badArgument))
        return trouble(badArgument +
                       QStringLiteral(": The argument is not valid UTF-8; a file of that name "
                                      "cannot be opened by it. Rename the file."));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Prints a printer query file's document, or the settings that differ.\n"
        "\n"
        "Commands:\n"
        "  print FILE              the document the viewer shows, every line whole\n"
        "  diff FILE               shipped (factory) against primary (current) settings\n"
        "  compare FILE_A FILE_B   primary settings of two query files\n"
        "  export --sqlite DB|--jsonl [--prune] [--threads N]\n"
        "         [--ignore GLOB]... [--no-ignore GLOB]... [--archive|PATH...]\n"
        "                          every query file under the PATHs (folders are\n"
        "                          walked) into an SQLite database, or as JSON Lines\n"
        "                          on standard output; rows of files outside the\n"
        "                          PATHs are kept; the database keeps each printer's\n"
        "                          states\n"
        "  history --sqlite DB [--since DATE] SERIAL\n"
        "                          the configuration changes of one printer in time\n"
        "                          order: date TAB current|factory TAB key TAB\n"
        "                          earlier TAB later\n"
        "\n"
        "FILE is a .zip or .txt query file, or --serial SERIAL to take the\n"
        "printer's file from the Archivon archive.\n"
        "The viewer cuts what its text layout cannot bear: lines over 20,000\n"
        "characters, and a character's combining marks after 32; print keeps all.\n"
        "Differences: one line per key: key TAB factory/A TAB current/B, each side\n"
        "its values in double quotes, or (missing); TAB, CR, LF, backslash and\n"
        "other control characters written as \\t \\r \\n \\\\ \\xHH, line and\n"
        "paragraph separators and direction controls as \\uXXXX.\n"
        "Exit status: 0 nothing to report, 1 differences found, 2 trouble;\n"
        "for export: 0 every file read, 1 some refused or a folder or name\n"
        "unreadable, 2 nothing done; for history: 0 never changed, 1 changed,\n"
        "2 trouble (a serial the database does not know)."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption jsonOption(QStringLiteral("json"),
                                        QStringLiteral("diff, compare and history: write JSON."));
    const QCommandLineOption serial(serialOption,
                                    QStringLiteral("The printer's query file in the archive."),
                                    QStringLiteral("SERIAL"));
    const QCommandLineOption sqliteOption(
        QStringLiteral("sqlite"),
        QStringLiteral("export: write this SQLite database; history: read it."),
        QStringLiteral("FILE"));
    const QCommandLineOption jsonlOption(
        QStringLiteral("jsonl"), QStringLiteral("export: write JSON Lines to standard output."));
    const QCommandLineOption archiveOption(
        QStringLiteral("archive"), QStringLiteral("export: every query file in the archive."));
    const QCommandLineOption pruneOption(
        QStringLiteral("prune"),
        QStringLiteral("export --sqlite: remove the rows of a PATH that is missing, or of a "
                       "folder that holds no query file any more, instead of refusing."));
    const QCommandLineOption threadsOption(
        QStringLiteral("threads"),
        QStringLiteral("export: read at most N files at once (default: one per core)."),
        QStringLiteral("N"));
    const QCommandLineOption ignoreOption(
        QStringLiteral("ignore"),
        QStringLiteral("export --sqlite: from now on, changes of the keys GLOB matches (* any "
                       "run, ? any character) make no new state; stored in the database."),
        QStringLiteral("GLOB"));
    const QCommandLineOption noIgnoreOption(
        QStringLiteral("no-ignore"),
        QStringLiteral("export --sqlite: take the stored ignore rule GLOB away."),
        QStringLiteral("GLOB"));
    const QCommandLineOption sinceOption(
        QStringLiteral("since"),
        QStringLiteral("history: only the changes first seen on DATE (yyyy-mm-dd, UTC) or later."),
        QStringLiteral("DATE"));
    parser.addOption(jsonOption);
    parser.addOption(serial);
    parser.addOption(sqliteOption);
    parser.addOption(jsonlOption);
    parser.addOption(archiveOption);
    parser.addOption(pruneOption);
    parser.addOption(threadsOption);
    parser.addOption(ignoreOption);
    parser.addOption(noIgnoreOption);
    parser.addOption(sinceOption);
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("print, diff, compare, export or history."));
    parser.addPositionalArgument(QStringLiteral("operands"),
                                 QStringLiteral("FILE or --serial SERIAL."),
                                 QStringLiteral("FILE..."));

    const QStringList arguments = QCoreApplication::arguments();
    if (!parser.parse(arguments))
        return trouble(parser.errorText());
    if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all")))
        parser.showHelp(NothingToReport);
    if (parser.isSet(versionOption))
        parser.showVersion();

    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return trouble(QStringLiteral("No command given. Try --help."));
    const QString command = positional.first();
    const QVector<Operand> operands = operandsInOrder(arguments);
    const bool json = parser.isSet(jsonOption);

    const bool exportOptions = parser.isSet(jsonlOption) || parser.isSet(archiveOption) ||
                               parser.isSet(pruneOption) || parser.isSet(threadsOption) ||
                               parser.isSet(ignoreOption) || parser.isSet(noIgnoreOption);
    if (command == QLatin1String("history")) {
        if (exportOptions || parser.isSet(serial))
            return trouble(QStringLiteral("history takes --sqlite FILE, --json and --since only."));
        if (!parser.isSet(sqliteOption) || positional.size() != 2)
            return trouble(QStringLiteral("history takes --sqlite FILE and one SERIAL."));
        QDate since;
        if (parser.isSet(sinceOption)) {
            const QString date = parser.value(sinceOption);
            since = QDate::fromString(date, Qt::ISODate);
            if (!since.isValid() || date.size() != 10)
                return trouble(QStringLiteral("--since takes a date as yyyy-mm-dd."));
        }
        return historyCommand(parser.value(sqliteOption), positional.at(1), since, json);
    }
    if (parser.isSet(sinceOption))
        return trouble(QStringLiteral("--since applies to history only."));
    if (command == QLatin1String("export")) {
        if (json || parser.isSet(serial))
            return trouble(QStringLiteral("export takes no --json or --serial."));
        if (parser.isSet(sqliteOption) == parser.isSet(jsonlOption))
            return trouble(QStringLiteral("export takes --sqlite FILE or --jsonl."));
        if (parser.isSet(pruneOption) && parser.isSet(jsonlOption))
            return trouble(QStringLiteral("--prune applies to --sqlite only."));
        if ((parser.isSet(ignoreOption) || parser.isSet(noIgnoreOption)) &&
            parser.isSet(jsonlOption))
            return trouble(QStringLiteral("--ignore and --no-ignore apply to --sqlite only."));
        ExportRequest request;
        request.paths = positional.mid(1);
        request.jsonLines = parser.isSet(jsonlOption);
        request.database = parser.value(sqliteOption);
        request.archive = parser.isSet(archiveOption);
        request.prune = parser.isSet(pruneOption);
        request.ignore = parser.values(ignoreOption);
        request.unignore = parser.values(noIgnoreOption);
        if (parser.isSet(threadsOption)) {
            bool number = false;
            request.threads = parser.value(threadsOption).toInt(&number);
            if (!number || request.threads < 1 || request.threads > 1024)
                return trouble(QStringLiteral("--threads takes a number from 1 to 1024."));
        }
        return exportCommand(request);
    }
    if (exportOptions || parser.isSet(sqliteOption))
        return trouble(
            QStringLiteral("--sqlite, --jsonl, --archive, --prune, --threads, --ignore "
                           "and --no-ignore apply to export only (--sqlite to history too)."));

    int wanted = 0;
    if (command == QLatin1String("print") || command == QLatin1String("diff"))
        wanted = 1;
    else if (command == QLatin1String("compare"))
        wanted = 2;
    else
        return trouble(QStringLiteral("Unknown command \"") + command +
                       QStringLiteral("\". Try --help."));
    if (operands.size() != wanted) {
        return trouble(command + (wanted == 1
                                      ? QStringLiteral(" takes one FILE or --serial SERIAL.")
                                      : QStringLiteral(" takes two operands, each a FILE or "
                                                       "--serial SERIAL.")));
    }
    if (json && command == QLatin1String("print"))
        return trouble(QStringLiteral("--json applies to diff and compare only."));

    // Each file's reading is refused on its own when memory runs out; this
    // catches what is left, the differences and their writing.
    try {
        if (command == QLatin1String("print"))
            return printCommand(operands.first());
        if (command == QLatin1String("diff"))
            return diffCommand(operands.first(), json);
        return compareCommand(operands.at(0), operands.at(1), json);
    } catch (const std::bad_alloc &) {
        return trouble(QStringLiteral("Not enough memory to write the result."));
    }
}
