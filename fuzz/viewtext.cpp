// The view's cuts against a plain statement of them. The input builds a
// document of pieces that matter to the walk (breaks, controls, letters below
// and above U+0300, combining characters in and beyond the BMP, unpaired
// surrogates), each repeated into runs and lines past the limits: viewText
// must give what cutting it line by line, character by character, gives, and
// viewSize its size without building it.

#include "query/viewtext.h"
#include "fuzzinput.h"
#include "query/linebreaks.h"

#include <algorithm>
#include <iterator>

namespace {

// The first viewLineLimit characters (a pair kept whole), every run of more
// than 32 combining characters in them cut after 32, then the rest's marker.
QString shownLine(QStringView line)
{
    const auto marker = [](QStringView cut, const char *what) {
        const qint64 n = cut.size() - std::count_if(cut.begin(), cut.end(),
                                                    [](QChar c) { return c.isLowSurrogate(); });
        return QStringLiteral("\u2026 [%1 more %2%3]")
            .arg(groupedNumber(n), what, n == 1 ? "" : "s");
    };
    int keep = qMin(int(line.size()), viewLineLimit);
    keep -= keep < line.size() && line.at(keep - 1).isHighSurrogate();
    QString shown;
    int marks = 0;
    int cutFrom = -1;
    for (int i = 0; i <= keep; ++i) { // a letter after the last to end a run
        const bool pair =
            i + 1 < keep && line.at(i).isHighSurrogate() && line.at(i + 1).isLowSurrogate();
        const uint code = i == keep ? 'x'
                          : pair    ? QChar::surrogateToUcs4(line.at(i), line.at(i + 1))
                                    : line.at(i).unicode();
        const QChar::Category category = QChar::category(code);
        if (code == 0x200D ||
            (category >= QChar::Mark_NonSpacing && category <= QChar::Mark_Enclosing)) {
            cutFrom = ++marks == 33 ? i : cutFrom;
        } else {
            if (cutFrom >= 0)
                shown += marker(line.mid(cutFrom, i - cutFrom), "combining mark");
            marks = 0;
            cutFrom = -1;
        }
        if (i < keep && cutFrom < 0)
            shown += line.mid(i, 1 + pair);
        i += pair;
    }
    return keep < line.size() ? shown + marker(line.mid(keep), "character") : shown;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QString pieces[] = {"a",
                                     " ",
                                     "\t",
                                     "\n",
                                     "\r",
                                     "\u0301",
                                     "\u200D",
                                     "\uFE0F",
                                     "\u0410",
                                     "\u0483",
                                     "\u4E00",
                                     "\u2029",
                                     "\uFDD0",
                                     "\U0001F600",
                                     "\U000E0100",
                                     QString(QChar(0xD800)),
                                     QString(QChar(0xDC00))};
    QString document;
    for (size_t i = 0; i + 1 < size; i += 2)
        document += pieces[data[i] % std::size(pieces)].repeated((data[i + 1] & 0x7F) *
                                                                 (data[i + 1] & 0x80 ? 200 : 1));

    const QStringView text(document);
    QString expected;
    qint64 lines = 1;
    int start = 0;
    for (int i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (!isDocumentLineBreak(c))
            continue;
        expected += shownLine(text.mid(start, i - start));
        const int end =
            c == u'\r' && i + 1 < text.size() && text.at(i + 1) == u'\n' ? i + 2 : i + 1;
        expected += text.mid(i, end - i);
        ++lines;
        start = end;
        i = end - 1;
    }
    expected += shownLine(text.mid(start));
    const ViewText view = viewText(document);
    FUZZ_CHECK(view.text == expected && view.lines == lines);
    const ViewSize measured = viewSize(document);
    FUZZ_CHECK(measured.lines == lines && measured.characters == expected.size() &&
               measured.cut == (expected != document));
    return 0;
}
