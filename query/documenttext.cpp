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
    const int length = term.size();
    if (length == 0 || length > raw.size())
        return {};
    // Block texts never hold a block break, and the document's find turns
    // their non-breaking spaces into blanks before comparing.
    for (QChar c : term) {
        if (isDocumentLineBreak(c.unicode()) || c.unicode() == 0xA0)
            return {};
    }

    const auto &fold = foldTable();
    QVector<char16_t> folded(length);
    for (int k = 0; k < length; ++k)
        folded[k] = QChar::toCaseFolded(term.at(k).unicode());

    const char16_t *s = reinterpret_cast<const char16_t *>(raw.constData());
    const char16_t first = folded[0];
    const int last = raw.size() - length;
    auto matchesAt = [&](int i) {
        for (int k = 1; k < length; ++k) {
            if (fold[s[i + k]] != folded[k])
                return false;
        }
        return true;
    };

    int found = -1;
    if (!backward) {
        for (int i = qMax(0, toRaw(from)); i <= last; ++i) {
            if (fold[s[i]] == first && matchesAt(i)) {
                found = i;
                break;
            }
        }
    } else {
        if (from <= 0)
            return {};
        for (int i = qMin(last, toRaw(from - 1)); i >= 0; --i) {
            if (fold[s[i]] == first && matchesAt(i)) {
                found = i;
                break;
            }
        }
    }
    if (found < 0)
        return {};
    return {toDocument(found), length};
}
