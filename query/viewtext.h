#pragma once

#include <QString>
#include <QStringView>

// The most characters of one line that the view shows. A line is laid out
// whole as soon as any part of it is visible; at this length a screenful of
// such lines lays out in well under a second.
extern const int viewLineLimit;

// The most lines and characters the view holds. Each line costs the text
// document up to about 400 bytes and 3 microseconds whatever it holds, each
// character about 4 bytes (the document's copy beside the window's) and
// 20 nanoseconds; at both limits together an open stays under 1.5 GiB and
// takes about 10 seconds.
extern const qint64 viewMaxLines;
extern const qint64 viewMaxCharacters;

// A document as the view shows it.
struct ViewText
{
    // Every line longer than viewLineLimit cut there and followed by a marker
    // "… [N more characters]"; before that cut, every run of more than 32
    // combining characters (Unicode category M, the variation selectors among
    // them, and U+200D) cut after 32 of them and followed by "… [N more
    // combining marks]". A text with nothing cut is shared, not copied.
    QString text;
    // Lines of text as the view counts its blocks (isDocumentLineBreak).
    qint64 lines = 0;
    // Whether the view holds text within viewMaxLines and viewMaxCharacters.
    bool fits = false;
};

ViewText viewText(QString document);

// The size of a text as the view would hold it, measured without building
// it: what viewText would give, and whether it would cut anything.
struct ViewSize
{
    qint64 lines = 1;
    qint64 characters = 0;
    bool cut = false;
};

ViewSize viewSize(QStringView text);

// Whether the view holds a text of this size: within viewMaxLines and
// viewMaxCharacters.
bool fitsView(const ViewSize &size);

// The marker that stands for the characters of rest where text is cut:
// "… [N more characters]", N counting code points, grouped in thousands.
QString moreCharactersMarker(QStringView rest);

// A count as the markers write it: digits grouped in thousands by commas.
QString groupedNumber(qint64 number);

// The message that refuses a document of a size that does not fit, for the
// query file at path: what failed, then on a second line the limits and the
// command that writes the whole document.
QString viewRefusalText(const ViewSize &size, const QString &path);
