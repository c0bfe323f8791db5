#include "query/documenttext.h"

#include "query/linebreaks.h"

#include <algorithm>
#include <array>

namespace {

// Case folding of every code unit, with the non-breaking space read as the
// blank it is searched as. Built once; the table is 128 KiB.
const std::array<char16_t, 0x10000> &foldTable()
{
    static const std::array<char16_t, 0x10000> table = [] {
        std::array<char16_t, 0x10000> t{};
        for (int c = 0; c < 0x10000; ++c)
            t[c] = QChar::toCaseFolded(char16_t(c));
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
    while (i < n) {
        const char16_t c = s[i];
        if (fold[c] == first && i <= lastStart && folded.restMatches(s, i)) {
            if (matches.count++ == 0) {
                matches.line = line;
                matches.first = i - pairs;
            }
            i += length;
            continue;
        }
        ++i;
        if (isBreak(c)) {
            if (c == u'\r' && i < n && s[i] == u'\n') {
                ++i;
                ++pairs;
            }
            if (matches.count > 0) {
                lines->append(matches);
                matches.count = 0;
            }
            ++line;
            if (i - pairs >= limit)
                return {i - pairs, line};
        }
    }
    if (matches.count > 0)
        lines->append(matches);
    return {n - pairs, line};
}
