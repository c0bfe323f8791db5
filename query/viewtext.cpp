#include "query/viewtext.h"

#include "query/linebreaks.h"

#include <QCoreApplication>
#include <QLocale>
#include <QtAlgorithms>

#include <algorithm>
#include <bitset>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

const int viewLineLimit = 20000;
const qint64 viewMaxLines = 2500000;
const qint64 viewMaxCharacters = 250000000;

QString groupedNumber(qint64 number)
{
    QLocale locale = QLocale::c();
    locale.setNumberOptions(QLocale::DefaultNumberOptions);
    return locale.toString(number);
}

namespace {

// The marker for what is cut from rest: one (for a single code point) or
// many with the number of code points put in.
QString cutMarker(QStringView rest, const char *one, const char *many)
{
    const qint64 more = rest.size() - std::count_if(rest.begin(), rest.end(),
                                                    [](QChar c) { return c.isLowSurrogate(); });
    return more == 1
               ? QCoreApplication::translate("BrindleQueryTool", one)
               : QCoreApplication::translate("BrindleQueryTool", many).arg(groupedNumber(more));
}

} // namespace

QString moreCharactersMarker(QStringView rest)
{
    return cutMarker(rest, QT_TRANSLATE_NOOP("BrindleQueryTool", "\u2026 [1 more character]"),
                     QT_TRANSLATE_NOOP("BrindleQueryTool", "\u2026 [%1 more characters]"));
}

namespace {

// The most combining marks the view keeps after one base character. The
// shaper lays out a base character with all its marks as one cluster, as
// wide as it may be; at this many a cluster is still far more than any
// script needs.
constexpr int markLimit = 32;

// Whether the shaper joins the character to the one before it: a combining
// mark (the variation selectors among them) or the zero width joiner.
bool isCombining(uint code)
{
    if (code == 0x200D)
        return true;
    const QChar::Category category = QChar::category(code);
    return category == QChar::Mark_NonSpacing || category == QChar::Mark_SpacingCombining ||
           category == QChar::Mark_Enclosing;
}

// The 64-character blocks of the BMP that hold a combining character or a
// high surrogate. A character of the others (most letters of Cyrillic, Greek,
// CJK, Hangul) needs no look-up of its category.
const std::bitset<1024> &combiningBlocks()
{
    static const std::bitset<1024> blocks = [] {
        std::bitset<1024> found;
        for (uint code = 0; code < 0x10000; ++code) {
            if (isCombining(code) || QChar::isHighSurrogate(code))
                found.set(code >> 6);
        }
        return found;
    }();
    return blocks;
}

QString moreMarksMarker(QStringView rest)
{
    return cutMarker(rest, QT_TRANSLATE_NOOP("BrindleQueryTool", "\u2026 [1 more combining mark]"),
                     QT_TRANSLATE_NOOP("BrindleQueryTool", "\u2026 [%1 more combining marks]"));
}

// Walks the text as the view cuts it, giving each cut to out as
// out.cut(from, keep, to, marker): the text from from to keep stays, then the
// marker, and the text from keep to to goes. The cuts come in order; from is
// where the previous one ended. Returns the lines of text as the view counts
// its blocks.
template<typename Cuts> qint64 walkView(QStringView text, Cuts &out)
{
    const QChar *s = text.data();
    const int size = int(text.size());
    qint64 lines = 1;
    int copied = 0;
    int lineStart = 0;
    // Where a line longer than the limit is cut, keeping a surrogate pair whole.
    const auto lineKeep = [&] {
        const int keep = lineStart + viewLineLimit;
        return s[keep - 1].isHighSurrogate() ? keep - 1 : keep;
    };
    const auto endLine = [&](int end) {
        if (end - lineStart <= viewLineLimit)
            return;
        const int keep = lineKeep();
        out.cut(copied, keep, end, moreCharactersMarker(QStringView(s + keep, end - keep)));
        copied = end;
    };
    const std::bitset<1024> &mayCombine = combiningBlocks();
    // Every combining character lies at U+0300 or above, so a run of more
    // than markLimit of them needs more code units of U+0300 and above in a
    // row. Until there are that many (high), nothing is looked up; then the
    // walk goes back to where they began and looks at every character
    // (look) until the next character below U+0300 or break.
    int high = 0;
    bool look = false;
    int marks = 0;     // combining characters since the last base character
    int marksCut = -1; // the first of them that is cut
    // Ends a run of combining characters at end; what lies past the cut of a
    // long line is left to its marker.
    const auto endMarks = [&](int end) {
        marks = 0;
        if (marksCut < 0)
            return;
        const int stop = end - lineStart > viewLineLimit ? qMin(end, lineKeep()) : end;
        if (marksCut < stop) {
            out.cut(copied, marksCut, stop,
                    moreMarksMarker(QStringView(s + marksCut, stop - marksCut)));
            copied = stop;
        }
        marksCut = -1;
    };
    for (int i = 0; i < size; ++i) {
#if defined(__SSE2__)
        // Breaks are rare and so is U+0300 and above in most text: skip eight
        // characters at a time while none of them breaks a line (all lie
        // between the low and the high breaks, which the bias maps to the
        // lowest signed 16-bit values) and the code units of U+0300 and above
        // stay few enough.
        if (!look) {
            constexpr int lowest = lastLowLineBreak + 1;
            const __m128i bias = _mm_set1_epi16(short(0x8000 - lowest));
            const __m128i belowMarks = _mm_set1_epi16(short(0x8000 + 0x0300 - lowest));
            const __m128i belowBreaks = _mm_set1_epi16(short(0x8000 + firstHighLineBreak - lowest));
            const auto below = [&](const __m128i &limit) {
                // Two bits for each character below limit.
                return uint(_mm_movemask_epi8(_mm_cmplt_epi16(
                    _mm_add_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i)), bias),
                    limit)));
            };
            for (;;) {
                const int from = i;
                while (i + 8 <= size && below(belowMarks) == 0xFFFF)
                    i += 8;
                if (i != from)
                    high = 0;
                if (i + 8 > size || below(belowBreaks) != 0xFFFF)
                    break;
                const uint low = below(belowMarks);
                if (high + (low == 0 ? 8 : int(qCountTrailingZeroBits(low)) / 2) > markLimit) {
                    i -= high;
                    high = 0;
                    look = true;
                    break;
                }
                high = low == 0 ? high + 8 : int(qCountLeadingZeroBits(quint16(low))) / 2;
                i += 8;
            }
            if (i == size)
                break;
        }
#endif
        const char16_t c = s[i].unicode();
        if (c < 0x0300 && !isDocumentLineBreak(c)) {
            high = 0;
            if (look) {
                endMarks(i);
                look = false;
            }
        } else if (isDocumentLineBreak(c)) {
            endMarks(i);
            endLine(i);
            if (c == u'\r' && i + 1 < size && s[i + 1] == QLatin1Char('\n'))
                ++i;
            ++lines;
            lineStart = i + 1;
            high = 0;
            look = false;
        } else if (!look) {
            if (++high > markLimit) {
                i -= high;
                high = 0;
                look = true;
            }
        } else {
            const bool pair = s[i].isHighSurrogate() && i + 1 < size && s[i + 1].isLowSurrogate();
            if (mayCombine[c >> 6] &&
                isCombining(pair ? QChar::surrogateToUcs4(s[i], s[i + 1]) : c)) {
                if (++marks == markLimit + 1)
                    marksCut = i;
            } else if (marks != 0) {
                endMarks(i);
            }
            i += pair;
        }
    }
    endMarks(size);
    endLine(size);
    return lines;
}

} // namespace

ViewText viewText(QString document)
{
    struct Builder
    {
        const QChar *s;
        QString text; // stays null unless something is cut
        int copied = 0;
        void cut(int from, int keep, int to, const QString &marker)
        {
            text.append(s + from, keep - from);
            text += marker;
            copied = to;
        }
    } built{document.constData(), QString(), 0};
    ViewText view;
    view.lines = walkView(document, built);
    if (built.text.isNull()) {
        view.text = std::move(document);
    } else {
        built.text.append(document.constData() + built.copied, document.size() - built.copied);
        view.text = std::move(built.text);
    }
    view.fits = fitsView({view.lines, view.text.size(), false});
    return view;
}

ViewSize viewSize(QStringView text)
{
    struct Counter
    {
        ViewSize size;
        void cut(int, int keep, int to, const QString &marker)
        {
            size.characters += marker.size() - (to - keep);
            size.cut = true;
        }
    } counter;
    counter.size.characters = text.size();
    counter.size.lines = walkView(text, counter);
    return counter.size;
}

bool fitsView(const ViewSize &size)
{
    return size.lines <= viewMaxLines && size.characters <= viewMaxCharacters;
}

QString viewRefusalText(const ViewSize &size, const QString &path)
{
    return QCoreApplication::translate(
               "BrindleQueryTool",
               "Couldn't show the query file.\nIt has %1 lines and %2 characters; the viewer "
               "shows at most %3 lines and %4 characters. brindle-query print \"%5\" writes "
               "the whole document.")
        .arg(groupedNumber(size.lines), groupedNumber(size.characters), groupedNumber(viewMaxLines),
             groupedNumber(viewMaxCharacters), path);
}
