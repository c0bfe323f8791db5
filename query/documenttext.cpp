#include "query/documenttext.h"

#include "query/linebreaks.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#if defined(__GNUC__)
#include <immintrin.h>
#endif
#endif

namespace {

// Case folding of every code unit, with the non-breaking space read as the
// blank it is searched as, and every line break as a line feed, so that one
// look-up tells the scans both. No term that can match holds a line break.
// Built once; the table is 128 KiB.
const std::array<char16_t, 0x10000> &foldTable()
{
    static const std::array<char16_t, 0x10000> table = [] {
        std::array<char16_t, 0x10000> t{};
        for (int c = 0; c < 0x10000; ++c)
            t[c] = isDocumentLineBreak(char16_t(c)) ? u'\n' : QChar::toCaseFolded(char16_t(c));
        t[0xA0] = u' ';
        return t;
    }();
    return table;
}

// Whether a code unit ends a line; cheap for the many that cannot.
inline bool isBreak(char16_t c)
{
    return (c <= lastLowLineBreak || c >= firstHighLineBreak) && isDocumentLineBreak(c);
}

// A term as the scans over the raw text compare it. Block texts never hold a
// block break, and the document's find turns their non-breaking spaces into
// blanks before comparing: a term holding either never matches.
class FoldedTerm
{
public:
    explicit FoldedTerm(const QString &term)
        : folded(term.size())
    {
        for (int k = 0; k < term.size(); ++k) {
            const char16_t c = term.at(k).unicode();
            if (isDocumentLineBreak(c) || c == 0xA0)
                possible = false;
            folded[k] = QChar::toCaseFolded(c);
        }
        possible = possible && !term.isEmpty();
    }

    bool canMatch() const { return possible; }
    int size() const { return folded.size(); }
    char16_t first() const { return folded[0]; }
    char16_t at(int k) const { return folded[k]; }

    // Whether the term matches at i, given that its first unit does.
    bool restMatches(const char16_t *s, int i) const
    {
        const auto &fold = foldTable();
        for (int k = 1; k < folded.size(); ++k) {
            if (fold[s[i + k]] != folded[k])
                return false;
        }
        return true;
    }

private:
    QVector<char16_t> folded;
    bool possible = true;
};

// Where the document's own find matches term in the text of one block, from
// offset on: in the block text with its non-breaking spaces made blanks, by
// QString's case-insensitive search. -1 for none.
int blockIndexOf(QStringView block, const QString &term, int offset, QString *scratch)
{
    if (block.contains(QChar(0xA0))) {
        *scratch = block.toString();
        scratch->replace(QChar(0xA0), QLatin1Char(' '));
        block = *scratch;
    }
    return int(block.indexOf(term, offset, Qt::CaseInsensitive));
}

#if defined(__SSE2__)
// Code that leaves the upper halves of the AVX registers in use (the
// toolkit's painting does, and a new thread starts with its creator's) makes
// each SSE instruction after it wait on them, which more than halves the
// speed of the scans below. Clearing them costs nothing.
void clearUpperHalves()
{
#if defined(__GNUC__)
    if (__builtin_cpu_supports("avx"))
        []() __attribute__((target("avx")))
        {
            _mm256_zeroupper();
        }
    ();
#endif
}

// The code units that fold to one, each in all eight lanes of a register,
// for comparing eight code units at a time. Empty when there are more than
// four.
class FoldingUnits
{
public:
    explicit FoldingUnits(char16_t folded)
    {
        // The units that fold to another, by what they fold to. Built once.
        using Folding = std::pair<char16_t, char16_t>;
        static const std::vector<Folding> others = [] {
            std::vector<Folding> found;
            const auto &fold = foldTable();
            for (int c = 0; c < 0x10000; ++c) {
                if (fold[c] != c)
                    found.emplace_back(fold[c], char16_t(c));
            }
            std::sort(found.begin(), found.end());
            return found;
        }();
        const auto from = std::lower_bound(others.cbegin(), others.cend(), Folding(folded, 0));
        const auto to = std::upper_bound(from, others.cend(), Folding(folded, 0xFFFF));
        const bool itself = foldTable()[folded] == folded;
        if (to - from + (itself ? 1 : 0) > 4)
            return;
        if (itself)
            lanes[count++] = _mm_set1_epi16(short(folded));
        for (auto other = from; other != to; ++other)
            lanes[count++] = _mm_set1_epi16(short(other->second));
        for (int k = count; k > 0 && k < 4; ++k)
            lanes[k] = lanes[0];
    }
    explicit FoldingUnits(std::initializer_list<char16_t> units)
    {
        for (const char16_t unit : units)
            lanes[count++] = _mm_set1_epi16(short(unit));
    }

    bool isEmpty() const { return count == 0; }

    // Lanes of v equal to one of the units.
    __m128i in(__m128i v) const
    {
        return _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi16(v, lanes[0]), _mm_cmpeq_epi16(v, lanes[1])),
            _mm_or_si128(_mm_cmpeq_epi16(v, lanes[2]), _mm_cmpeq_epi16(v, lanes[3])));
    }

private:
    __m128i lanes[4] = {};
    int count = 0;
};
#endif

} // namespace

int documentChunkEnd(const QString &text, int from, int chunkSize)
{
    if (chunkSize <= 0 || text.size() - from <= chunkSize)
        return text.size();
    const QChar *s = text.constData();
    for (int i = from + chunkSize - 1, last = text.size() - 1; i < last; ++i) {
        if (isDocumentLineBreak(s[i].unicode()) &&
            !(s[i] == QLatin1Char('\r') && s[i + 1] == QLatin1Char('\n')))
            return i + 1;
    }
    return text.size();
}

DocumentText::DocumentText(const QString &text)
    : raw(text)
{
    const QChar *s = raw.constData();
    for (int i = 0, n = raw.size() - 1; i < n; ++i) {
        if (s[i] == QLatin1Char('\r') && s[i + 1] == QLatin1Char('\n'))
            crlf.append(i++);
    }
}

bool DocumentText::canSearch(const QString &term)
{
    return std::none_of(term.cbegin(), term.cend(), [](QChar c) { return c.isSurrogate(); });
}

int DocumentText::toRaw(int documentPosition) const
{
    // Pair i starts at document position crlf[i] - i; count the pairs before.
    int low = 0;
    int high = crlf.size();
    while (low < high) {
        const int mid = (low + high) / 2;
        if (crlf[mid] - mid < documentPosition)
            low = mid + 1;
        else
            high = mid;
    }
    return documentPosition + low;
}

int DocumentText::toDocument(int rawPosition) const
{
    return rawPosition -
           int(std::lower_bound(crlf.cbegin(), crlf.cend(), rawPosition) - crlf.cbegin());
}

DocumentText::Match DocumentText::find(const QString &term, int from, bool backward) const
{
    const FoldedTerm folded(term);
    const int length = folded.size();
    if (!folded.canMatch() || length > raw.size())
        return {};

    const auto &fold = foldTable();
    const char16_t *s = reinterpret_cast<const char16_t *>(raw.constData());
    const char16_t first = folded.first();
    const int last = raw.size() - length;

    int found = -1;
    if (!backward) {
        for (int i = qMax(0, toRaw(from)); i <= last; ++i) {
            if (fold[s[i]] == first && folded.restMatches(s, i)) {
                found = i;
                break;
            }
        }
    } else {
        if (from <= 0)
            return {};
        for (int i = qMin(last, toRaw(from - 1)); i >= 0; --i) {
            if (fold[s[i]] == first && folded.restMatches(s, i)) {
                found = i;
                break;
            }
        }
    }
    if (found < 0)
        return {};
    return {toDocument(found), length};
}

int DocumentText::lineEnd(int rawPosition) const
{
    const char16_t *s = reinterpret_cast<const char16_t *>(raw.constData());
    while (rawPosition < raw.size() && !isBreak(s[rawPosition]))
        ++rawPosition;
    return rawPosition;
}

QVector<DocumentText::Match> DocumentText::stepMatches(const QString &term, int from, int end,
                                                       int maxMatches) const
{
    QVector<Match> found;
    const int length = term.size();
    if (length == 0 || from >= end || maxMatches <= 0)
        return found;
    const char16_t *s = reinterpret_cast<const char16_t *>(raw.constData());
    const int rawEnd = toRaw(qMin(end, size()));
    int i = toRaw(qMax(0, from));

    if (canSearch(term)) {
        const FoldedTerm folded(term);
        if (!folded.canMatch())
            return found;
        const auto &fold = foldTable();
        const char16_t first = folded.first();
        for (const int last = qMin(raw.size() - length, rawEnd - 1); i <= last;) {
            if (fold[s[i]] == first && folded.restMatches(s, i)) {
                found.append({toDocument(i), length});
                if (found.size() == maxMatches)
                    break;
                i += length;
            } else {
                ++i;
            }
        }
        return found;
    }

    // Block by block, from the start of the block that holds from, as the
    // document's find searches.
    int start = i;
    while (start > 0 && !isBreak(s[start - 1]))
        --start;
    QString scratch;
    while (start < rawEnd) {
        const int stop = lineEnd(start);
        const QStringView block(raw.constData() + start, stop - start);
        for (int offset = i - start;;) {
            const int at = blockIndexOf(block, term, offset, &scratch);
            if (at < 0 || start + at >= rawEnd)
                break;
            found.append({toDocument(start + at), length});
            if (found.size() == maxMatches)
                return found;
            offset = at + length;
        }
        if (stop >= raw.size())
            break;
        start = i =
            stop + (s[stop] == u'\r' && stop + 1 < raw.size() && s[stop + 1] == u'\n' ? 2 : 1);
    }
    return found;
}

DocumentText::LineStart DocumentText::scanLines(const QString &term, LineStart start,
                                                int characters, QVector<LineMatches> *lines) const
{
    const char16_t *s = reinterpret_cast<const char16_t *>(raw.constData());
    const int n = raw.size();
    const qint64 limit = qint64(start.position) + characters;
    int i = toRaw(start.position);
    // CR LF pairs before i: a raw position less these is a document position.
    int pairs = i - start.position;
    int line = start.line;

    if (!canSearch(term)) {
        QString scratch;
        while (i < n) {
            const int stop = lineEnd(i);
            const QStringView block(raw.constData() + i, stop - i);
            LineMatches matches{line, -1, 0};
            for (int offset = 0;;) {
                const int at = blockIndexOf(block, term, offset, &scratch);
                if (at < 0)
                    break;
                if (matches.count++ == 0)
                    matches.first = i - pairs + at;
                offset = at + term.size();
            }
            if (matches.count > 0)
                lines->append(matches);
            if (stop >= n)
                return {n - pairs, line};
            i = stop + 1;
            if (s[stop] == u'\r' && i < n && s[i] == u'\n') {
                ++i;
                ++pairs;
            }
            ++line;
            if (i - pairs >= limit)
                break;
        }
        return {i - pairs, line};
    }

    const FoldedTerm folded(term);
    if (!folded.canMatch())
        return {size(), line};
    const auto &fold = foldTable();
    const char16_t first = folded.first();
    const int length = folded.size();
    const int lastStart = n - length;
    LineMatches matches{line, -1, 0};
    bool done = false;
    // The code unit at p is a line break or may start a match: takes it in
    // and returns where to go on; done once a line starts past the limit.
    const auto takeIn = [&](int p) {
        const char16_t c = s[p];
        if (fold[c] == u'\n') {
            int next = p + 1;
            if (c == u'\r' && next < n && s[next] == u'\n') {
                ++next;
                ++pairs;
            }
            if (matches.count > 0) {
                lines->append(matches);
                matches.count = 0;
            }
            ++line;
            done = next - pairs >= limit;
            return next;
        }
        if (fold[c] == first && p <= lastStart && folded.restMatches(s, p)) {
            if (matches.count++ == 0) {
                matches.line = line;
                matches.first = p - pairs;
            }
            return p + length;
        }
        return p + 1;
    };

#if defined(__SSE2__)
    // Eight code units at a time: only those that break a line, or start the
    // term's first two units, are looked at one by one.
    const FoldingUnits firsts(first);
    const FoldingUnits seconds(length > 1 ? folded.at(1) : first);
    if (!firsts.isEmpty() && !seconds.isEmpty()) {
        clearUpperHalves();
        const FoldingUnits breaks({u'\n', u'\r', 0x2029, 0xFDD0});
        const __m128i lastBreak = _mm_set1_epi16(short(0xFDD1));
        while (i + 9 <= n) {
            const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
            __m128i found = firsts.in(here);
            if (length > 1) {
                const __m128i after = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i + 1));
                found = _mm_and_si128(found, seconds.in(after));
            }
            found = _mm_or_si128(found,
                                 _mm_or_si128(breaks.in(here), _mm_cmpeq_epi16(here, lastBreak)));
            // Two bits for each code unit.
            unsigned mask = unsigned(_mm_movemask_epi8(found));
            if (mask == 0) {
                i += 8;
                continue;
            }
            int next = i;
            for (; mask != 0; mask &= mask - 1) {
                const int p = i + (qCountTrailingZeroBits(mask) >> 1);
                mask &= mask - 1;
                if (p < next)
                    continue;
                next = takeIn(p);
                if (done)
                    return {next - pairs, line};
            }
            i = qMax(next, i + 8);
        }
    }
#endif
    while (i < n) {
        const char16_t f = fold[s[i]];
        if (f != first && f != u'\n') {
            ++i;
            continue;
        }
        i = takeIn(i);
        if (done)
            return {i - pairs, line};
    }
    if (matches.count > 0)
        lines->append(matches);
    return {n - pairs, line};
}
