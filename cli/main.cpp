// brindle-query: the viewer's reading, cutting and decoding on the command
// line. Exit status as diff(1): 0 nothing to report, 1 differences, 2 trouble.

#include "query/archive.h"
#include "query/querydocument.h"
#include "query/queryreader.h"
#include "query/settingsdiff.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <cstdio>
#include <utility>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
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

// Writes "brindle-query: MESSAGE" as one line on standard error.
int trouble(const QString &message)
{
    const QString line = QCoreApplication::applicationName() + QStringLiteral(": ") + message;
    std::fputs((line + QLatin1Char('\n')).toLocal8Bit().constData(), stderr);
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
                     const QString &leftName, const QString &rightName)
{
    const QString text =
        json ? QString::fromUtf8(settingDifferencesJson(differences, leftName, rightName))
             : settingDifferencesText(differences);
    const int status = writeResult(text);
    if (status != NothingToReport)
        return status;
    return differences.isEmpty() ? NothingToReport : DifferencesFound;
}

// The lines of one settings section; a section the query text does not hold
// is trouble, since comparing against it would report every key as removed
// or, when both are absent, nothing at all.
bool sectionLines(const QString &queryText, QLatin1String marker, const QString &description,
                  const Operand &operand, QVector<QStringRef> *lines, QString *error)
{
    *lines = settingsSectionLines(queryText, QString(marker));
    if (lines->isEmpty()) {
        *error = operand.label() + QStringLiteral(": No ") + description +
                 QStringLiteral(" settings in the query file.");
        return false;
    }
    return true;
}

int printCommand(const Operand &operand)
{
    QString queryText;
    QString error;
    if (!readOperand(operand, &queryText, &error))
        return trouble(error);
    return writeResult(assembleQueryDocument(std::move(queryText)));
}

int diffCommand(const Operand &operand, bool json)
{
    QString queryText;
    QString error;
    if (!readOperand(operand, &queryText, &error))
        return trouble(error);
    QVector<QStringRef> shipped;
    QVector<QStringRef> primary;
    if (!sectionLines(queryText, shippedSettingsMarker, QStringLiteral("shipped (factory)"),
                      operand, &shipped, &error) ||
        !sectionLines(queryText, primarySettingsMarker, QStringLiteral("primary (current)"),
                      operand, &primary, &error)) {
        return trouble(error);
    }
    return writeDifferences(diffSettingSections(shipped, primary), json, QStringLiteral("factory"),
                            QStringLiteral("current"));
}

int compareCommand(const Operand &a, const Operand &b, bool json)
{
    QString textA;
    QString textB;
    QString error;
    if (!readOperand(a, &textA, &error) || !readOperand(b, &textB, &error))
        return trouble(error);
    QVector<QStringRef> primaryA;
    QVector<QStringRef> primaryB;
    const QString description = QStringLiteral("primary (current)");
    if (!sectionLines(textA, primarySettingsMarker, description, a, &primaryA, &error) ||
        !sectionLines(textB, primarySettingsMarker, description, b, &primaryB, &error)) {
        return trouble(error);
    }
    return writeDifferences(diffSettingSections(primaryA, primaryB), json, QStringLiteral("a"),
                            QStringLiteral("b"));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("brindle-query"));
    QCoreApplication::setApplicationVersion(QStringLiteral(BRINDLE_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Prints a printer query file's document, or the settings that differ.\n"
        "\n"
        "Commands:\n"
        "  print FILE              the document the viewer shows, every line whole\n"
        "  diff FILE               shipped (factory) against primary (current) settings\n"
        "  compare FILE_A FILE_B   primary settings of two query files\n"
        "\n"
        "FILE is a .zip or .txt query file, or --serial SERIAL to take the\n"
        "printer's file from the Archivon archive.\n"
        "The viewer cuts what its text layout cannot bear: lines over 20,000\n"
        "characters, and a character's combining marks after 32; print keeps all.\n"
        "Differences: one line per key: key TAB factory/A TAB current/B, each side\n"
        "its values in double quotes, or (missing); TAB, CR, LF, backslash and\n"
        "other control characters written as \\t \\r \\n \\\\ \\xHH.\n"
        "Exit status: 0 nothing to report, 1 differences found, 2 trouble."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption jsonOption(QStringLiteral("json"),
                                        QStringLiteral("diff and compare: write JSON."));
    const QCommandLineOption serial(serialOption,
                                    QStringLiteral("The printer's query file in the archive."),
                                    QStringLiteral("SERIAL"));
    parser.addOption(jsonOption);
    parser.addOption(serial);
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("print, diff or compare."));
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

    if (command == QLatin1String("print"))
        return printCommand(operands.first());
    if (command == QLatin1String("diff"))
        return diffCommand(operands.first(), json);
    return compareCommand(operands.at(0), operands.at(1), json);
}
