#pragma once

#include "query/documenttext.h"

#include <QString>
#include <QVector>

// The matches of one term in one document text as Find next visits them from
// the start of the document: each searched for from the end of the one
// before, so they never overlap ("aa" is found twice in "aaaa", at 0 and 2),
// and after the last one find wraps round to the first. Built in steps, so
// that a caller can show a count in progress or give it up; a copy shares
// what it holds, and building one reads the text only.
class MatchIndex
{
public:
    MatchIndex() = default;
    // Nothing scanned yet; an empty term is complete at once, with no match.
    MatchIndex(const DocumentText &text, const QString &term);

    // Scans about characters more of the text. Returns isComplete().
    bool scan(int characters);
    bool isComplete() const;
    const QString &term() const { return searched; }

    // The matches found so far.
    int count() const { return total; }

    // A line that holds a match.
    struct Line
    {
        // Counted from 0 as the view counts its blocks.
        int number = 0;
        // The document position of its first match.
        int first = 0;
        // The matches of the lines before it.
        int before = 0;
    };
    // The lines found so far that hold a match, in document order.
    int lineCount() const { return lines.size(); }
    Line line(int row) const { return lines.at(row); }

    // The number, from 0, of the match that starts at document position
    // start, or -1 when no match found so far starts there (a match of a
    // term that overlaps itself may start between two of them).
    int indexOf(int start) const;
    // Match number k, for 0 <= k < count().
    DocumentText::Match match(int k) const;

private:
    int matchesOf(int row) const;

    DocumentText text;
    QString searched;
    DocumentText::LineStart next;
    QVector<Line> lines;
    int total = 0;
    // The last piece's lines, kept for its storage.
    QVector<DocumentText::LineMatches> piece;
};

Q_DECLARE_TYPEINFO(MatchIndex::Line, Q_PRIMITIVE_TYPE);
