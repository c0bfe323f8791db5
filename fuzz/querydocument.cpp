// The document assembly with the settings decoder on arbitrary text. Every
// document must be two well-formed settings blocks followed by the log block
// exactly when the journal command has a non-empty CDATA text of its own,
// and its model must say where everything is: each heading on its line, and
// each setting on the one line that shows its key and value. The view's
// size measured before the document is built must be the size of what the
// view is given, and each escape's length must be known before it is made.

#include "query/querydocument.h"
#include "fuzzinput.h"
#include "query/linebreaks.h"
#include "query/viewtext.h"
#include "settings/textescape.h"

#include <QRegularExpression>

namespace {

const QString rule(80, '-');

// Two settings blocks: the heading, an empty line, seven groups of entries
// (each holding the TAB between key and value, so never empty) each closed by
// an empty line, the rule and an empty line.
const QString block = "SETTINGS\n\n(?:(?:(?>[^\n]*\t)[^\n]*\n)*\n){7}-{80}\n\n";
const QRegularExpression settingsBlocks("\\APRIMARY \\(CURRENT\\) " + block +
                                        "SHIPPED \\(FACTORY\\) " + block);

// The log block that belongs in the document: the CDATA that opens inside
// the journal command, up to "]]>" or, cut off, to the end with the note.
QString expectedLog(const QString &text)
{
    const int journal = text.indexOf(journalMarker);
    const int end = text.indexOf("</command>", journal);
    const int open = journal < 0 ? -1 : text.indexOf(logStartMarker, journal);
    if (open < 0 || (end >= 0 && open > end))
        return QString();
    const int start = open + logStartMarker.size();
    const int close = text.indexOf(logEndMarker, start);
    const QString log = text.mid(start, (close < 0 ? text.size() : close) - start);
    const QString cut = close < 0 ? logCutNote + '\n' : QString();
    return log.isEmpty() ? QString() : logHeading + "\n\n" + log + '\n' + cut + rule + '\n';
}

// The document's lines, as the view counts them.
QVector<QStringRef> documentLines(const QString &text)
{
    QVector<QStringRef> lines;
    int start = 0;
    for (int i = 0; i < text.size(); ++i) {
        if (!isDocumentLineBreak(text.at(i).unicode()))
            continue;
        lines.append(text.midRef(start, i - start));
        if (text.at(i) == QLatin1Char('\r') && i + 1 < text.size() && text.at(i + 1) == '\n')
            ++i;
        start = i + 1;
    }
    lines.append(text.midRef(start));
    return lines;
}

bool lineIs(const QVector<QStringRef> &lines, int line, const QString &text)
{
    return line >= 0 && line < lines.size() && lines.at(line) == text;
}

bool placed(const QVector<QStringRef> &lines, const DocumentSettings &settings,
            const QString &heading)
{
    if (!lineIs(lines, settings.firstLine, heading))
        return false;
    for (const SettingEntry &entry : settings.entries) {
        const QString key = escaped(entry.key, EscapeStyle::Document);
        const QString value = escaped(entry.value, EscapeStyle::Document);
        if (!lineIs(lines, entry.line, key + '\t' + value) ||
            escapedLength(entry.key, EscapeStyle::Document) != key.size() ||
            escapedLength(entry.value, EscapeStyle::Terminal) !=
                escaped(entry.value, EscapeStyle::Terminal).size())
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    const QueryDocument document = assembleQueryDocument(text);
    FUZZ_CHECK(assembleQueryDocument(QString(text.constData(), text.size())).text == document.text);
    const ViewSize planned = plannedViewSize(planQueryDocument(text), text);
    const ViewText view = viewText(document.text);
    FUZZ_CHECK(planned.lines == view.lines && planned.characters == view.text.size() &&
               planned.cut == (view.text != document.text));

    const QRegularExpressionMatch blocks = settingsBlocks.match(document.text);
    const QString log = expectedLog(text);
    FUZZ_CHECK(blocks.hasMatch() && document.text.midRef(blocks.capturedEnd()) == log);

    const QVector<QStringRef> lines = documentLines(document.text);
    FUZZ_CHECK(placed(lines, document.primary, primaryHeading));
    FUZZ_CHECK(placed(lines, document.shipped, shippedHeading));
    FUZZ_CHECK(log.isEmpty() ? document.logLine == -1
                             : lineIs(lines, document.logLine, logHeading));
    return 0;
}
