#pragma once

#include <QString>
#include <QVector>

#include <climits>

// Where to cut a long text for filling a text document piece by piece: the
// end of the piece that starts at from and holds about chunkSize characters,
// just after a block break, but never between the CR and the LF of a pair.
// Returns text.size() for the last piece; a text without block breaks is one
// piece. (One huge piece costs the document far more memory than many.)
int documentChunkEnd(const QString &text, int from, int chunkSize);

// The text of a plain-text document kept beside it, searchable the way
// QTextDocument::find searches with no flags or with FindBackward alone:
// case-insensitive, literal, within one block, a non-breaking space in the
// document matching a blank of the term. Positions are document positions,
// in which a CR LF pair, a lone CR, a line feed and a paragraph separator
// each count as one block break.
class DocumentText
{
public:
    DocumentText() = default;
    // Shares text; costs no copy while the caller keeps it too.
    explicit DocumentText(const QString &text);

    struct Match
    {
        int start = -1;
        int length = 0;
    };

    // Whether find gives a decided answer for term. It does not for terms
    // holding surrogates (their case folding is by code point); callers use
    // the document's own find for those.
    static bool canSearch(const QString &term);

    // The first match at or after document position from, or with backward
    // the last match that starts before from, as QTextDocument::find would
    // give it from a cursor whose selection ends (starts, for backward) at
    // from. A match with start -1 means none. Requires canSearch(term).
    Match find(const QString &term, int from, bool backward) const;

    // The number of document positions: the text's length with each CR LF
    // pair counted once.
    int size() const { return raw.size() - crlf.size(); }

    // The matches that forward finds visit one after the other from document
    // position from, each searched for from the end of the one before, that
    // start before end, at most maxMatches of them. So they never overlap,
    // and from the start of a line they are the ones that stepping through
    // the whole document stops at in that line. Takes every term: one with
    // surrogates is matched as the document's own find matches it in a block.
    QVector<Match> stepMatches(const QString &term, int from, int end,
                               int maxMatches = INT_MAX) const;

    // A line, by its first document position and its number counted from 0.
    struct LineStart
    {
        int position = 0;
        int line = 0;
    };

    // A line that holds a match: the stepping matches of its start.
    struct LineMatches
    {
        int line = 0;
        int first = 0; // document position of its first match
        int count = 0;
    };

    // Appends each line from the one at start on that holds a match of term,
    // as stepMatches from its start gives them, and stops at the first line
    // that starts at or past start.position + characters, or at the end of
    // the text. Returns where it stopped: the next line to scan, or a
    // position of size() or more once the text is done. Takes every term.
    LineStart scanLines(const QString &term, LineStart start, int characters,
                        QVector<LineMatches> *lines) const;

private:
    int toRaw(int documentPosition) const;
    int toDocument(int rawPosition) const;
    int lineEnd(int rawPosition) const;

    QString raw;
    // Raw positions of the CR of every CR LF pair, ascending.
    QVector<int> crlf;
};

// Moved by memcpy, so that a growing list of lines is reallocated in place.
Q_DECLARE_TYPEINFO(DocumentText::LineMatches, Q_PRIMITIVE_TYPE);
