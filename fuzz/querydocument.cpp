// The document assembly with the settings decoder on arbitrary text. Every
// document must be two well-formed settings blocks followed by the log block
// exactly when the journal command has a non-empty CDATA text.

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

// The log text that belongs in the document, or a null string for none.
QString expectedLog(const QString &text)
{
    const int journal = text.indexOf(journalMarker);
    if (journal < 0)
        return QString();
    const int open = text.indexOf(logStartMarker, journal);
    if (open < 0)
        return QString();
    const int start = open + logStartMarker.size();
    const int end = text.indexOf(logEndMarker, start);
    if (end <= start)
        return QString();
    return text.mid(start, end - start);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    const QString document = assembleQueryDocument(text);
    FUZZ_CHECK(assembleQueryDocument(QString(text)) == document);

    int pos = checkSettingsBlock(document, 0, primaryHeading);
    pos = checkSettingsBlock(document, pos, shippedHeading);
    const QString log = expectedLog(text);
    if (log.isNull()) {
        FUZZ_CHECK(pos == document.size());
    } else {
        FUZZ_CHECK(document.midRef(pos) == logHeading + QLatin1String("\n\n") + log +
                                               QLatin1Char('\n') + rule + QLatin1Char('\n'));
    }
    return 0;
}
