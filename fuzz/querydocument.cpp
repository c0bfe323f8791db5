// The document assembly with the settings decoder on arbitrary text. Every
// document must be two well-formed settings blocks followed by the log block
// exactly when the journal command has a non-empty CDATA text of its own.

#include "query/querydocument.h"
#include "fuzzinput.h"

#include <QByteArray>

namespace {

const QString rule(80, QLatin1Char('-'));

// Checks the block for heading at pos and returns where the next one starts.
int checkSettingsBlock(const QString &document, int pos, const QString &heading)
{
    const QString opening = heading + QLatin1String("\n\n");
    FUZZ_CHECK(document.midRef(pos, opening.size()) == opening);
    pos += opening.size();
    for (int group = 0; group < 7; ++group) {
        for (;;) {
            const int end = document.indexOf(QLatin1Char('\n'), pos);
            FUZZ_CHECK(end >= 0);
            const bool groupEnds = end == pos;
            // Every entry holds the TAB between key and value, so it is never empty.
            FUZZ_CHECK(groupEnds || document.midRef(pos, end - pos).contains(QLatin1Char('\t')));
            pos = end + 1;
            if (groupEnds)
                break;
        }
    }
    const QString closing = rule + QLatin1String("\n\n");
    FUZZ_CHECK(document.midRef(pos, closing.size()) == closing);
    return pos + closing.size();
}

// The log block that belongs in the document: the CDATA that opens inside
// the journal command, up to "]]>" or, cut off, to the end with the note.
QString expectedLog(const QString &text)
{
    const int journal = text.indexOf(journalMarker);
    const int end = text.indexOf(QLatin1String("</command>"), journal);
    const int open = journal < 0 ? -1 : text.indexOf(logStartMarker, journal);
    if (open < 0 || (end >= 0 && open > end))
        return QString();
    const int start = open + logStartMarker.size();
    const int close = text.indexOf(logEndMarker, start);
    const QString log = text.mid(start, (close < 0 ? text.size() : close) - start);
    if (log.isEmpty())
        return QString();
    return logHeading + QLatin1String("\n\n") + log + QLatin1Char('\n') +
           (close < 0 ? logCutNote + QLatin1Char('\n') : QString()) + rule + QLatin1Char('\n');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    const QString document = assembleQueryDocument(text);
    FUZZ_CHECK(assembleQueryDocument(QString(text.constData(), text.size())) == document);

    int pos = checkSettingsBlock(document, 0, primaryHeading);
    pos = checkSettingsBlock(document, pos, shippedHeading);
    FUZZ_CHECK(document.midRef(pos) == expectedLog(text));
    return 0;
}
