#include "query/matchindex.h"

#include <algorithm>

MatchIndex::MatchIndex(const DocumentText &text, const QString &term)
    : text(text)
    , searched(term)
{
    if (term.isEmpty())
        next.position = text.size();
}

bool MatchIndex::isComplete() const
{
    return next.position >= text.size();
}

bool MatchIndex::scan(int characters)
{
    if (isComplete())
        return true;
    const bool firstPiece = next.position == 0;
    piece.clear();
    next = text.scanLines(searched, next, characters, &piece);
    // After the first piece, room for the lines that the rest of the text
    // is likely to hold, as untouched memory: a list grown piece by piece is
    // copied again at each growth.
    if (firstPiece && !isComplete() && !piece.isEmpty()) {
        lines.reserve(int(
            qMin<qint64>(qint64(piece.size()) * text.size() / next.position * 5 / 4, text.size())));
    }
    for (const DocumentText::LineMatches &found : qAsConst(piece)) {
        lines.append({found.line, found.first, total});
        total += found.count;
    }
    return isComplete();
}

int MatchIndex::matchesOf(int row) const
{
    return (row + 1 < lines.size() ? lines.at(row + 1).before : total) - lines.at(row).before;
}

int MatchIndex::indexOf(int start) const
{
    // A line's matches follow from its first one; looking at start alone
    // first keeps a position that is no match from scanning to the next line.
    if (text.stepMatches(searched, start, start + 1).isEmpty())
        return -1;
    const auto after =
        std::upper_bound(lines.cbegin(), lines.cend(), start,
                         [](int position, const Line &found) { return position < found.first; });
    if (after == lines.cbegin())
        return -1;
    const int row = int(after - lines.cbegin()) - 1;
    const Line &found = lines.at(row);
    const QVector<DocumentText::Match> matches =
        text.stepMatches(searched, found.first, start + 1, matchesOf(row));
    if (matches.isEmpty() || matches.last().start != start)
        return -1;
    return found.before + matches.size() - 1;
}

DocumentText::Match MatchIndex::match(int k) const
{
    const auto after =
        std::upper_bound(lines.cbegin(), lines.cend(), k,
                         [](int number, const Line &found) { return number < found.before; });
    const Line &found = *(after - 1);
    return text.stepMatches(searched, found.first, text.size(), k - found.before + 1).last();
}
