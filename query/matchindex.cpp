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
    const int before = lines.size();
    next = text.scanLines(searched, next, characters, &lines);
    int total = count();
    for (int i = before; i < lines.size(); ++i)
        lineEnds.append(total += lines.at(i).count);
    return isComplete();
}

MatchIndex::Line MatchIndex::line(int row) const
{
    const DocumentText::LineMatches &found = lines.at(row);
    return {found.line, found.first, lineEnds.at(row) - found.count};
}

int MatchIndex::indexOf(int start) const
{
    // A line's matches follow from its first one; looking at start alone
    // first keeps a position that is no match from scanning to the next line.
    if (text.stepMatches(searched, start, start + 1).isEmpty())
        return -1;
    const auto after = std::upper_bound(lines.cbegin(), lines.cend(), start,
                                        [](int position, const DocumentText::LineMatches &found) {
                                            return position < found.first;
                                        });
    if (after == lines.cbegin())
        return -1;
    const int row = int(after - lines.cbegin()) - 1;
    const Line found = line(row);
    const QVector<DocumentText::Match> matches =
        text.stepMatches(searched, found.first, start + 1, lines.at(row).count);
    if (matches.isEmpty() || matches.last().start != start)
        return -1;
    return found.before + matches.size() - 1;
}

DocumentText::Match MatchIndex::match(int k) const
{
    const int row =
        int(std::upper_bound(lineEnds.cbegin(), lineEnds.cend(), k) - lineEnds.cbegin());
    const Line found = line(row);
    return text.stepMatches(searched, found.first, text.size(), k - found.before + 1).last();
}
