// The document assembly with the settings decoder on arbitrary text. Every
// document must be two well-formed settings blocks followed by the log block
// exactly when the journal command has a non-empty CDATA text of its own.

#include "query/querydocument.h"
#include "fuzzinput.h"

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    const QString document = assembleQueryDocument(text);
    FUZZ_CHECK(assembleQueryDocument(QString(text.constData(), text.size())) == document);

    const QRegularExpressionMatch blocks = settingsBlocks.match(document);
    FUZZ_CHECK(blocks.hasMatch() && document.midRef(blocks.capturedEnd()) == expectedLog(text));
    return 0;
}
