#include "ui/matchhighlights.h"

#include <QEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>

namespace {

// A line up to this long has all its matches highlighted; of a longer one
// only those about the part in sight, so that the highlights are bounded by
// what a screen can show.
constexpr int wholeLineLength = 256;
// How far beyond the characters at the view's edges a long line's matches
// are still highlighted.
constexpr int edgeMargin = 16;

// Muted teal: white text stays readable on it in the dark palette, and it
// is neither the amber of the marks nor the blue of the selection. A light
// palette gets a pale teal under its dark text.
QTextCharFormat highlightFormat(const QPalette &palette)
{
    QTextCharFormat format;
    format.setBackground(palette.color(QPalette::Text).lightness() > 128 ? QColor(24, 92, 84)
                                                                         : QColor(150, 220, 205));
    return format;
}

} // namespace

MatchHighlights::MatchHighlights(QPlainTextEdit *view)
    : QObject(view)
    , view(view)
{
    // The view scrolls to a found match with the scroll bars' signals
    // blocked; every scroll requests an update of the viewport, though.
    connect(view, &QPlainTextEdit::updateRequest, this, [this, view] {
        if (view->verticalScrollBar()->value() != shownTop ||
            view->horizontalScrollBar()->value() != shownLeft)
            refresh();
    });
    view->viewport()->installEventFilter(this);
}

void MatchHighlights::setMarks(const QList<QTextEdit::ExtraSelection> &shownMarks)
{
    marks = shownMarks;
    refresh();
}

void MatchHighlights::setTerm(const DocumentText &searched, const QString &shownTerm)
{
    text = searched;
    hasText = true;
    term = shownTerm;
    refresh();
}

void MatchHighlights::forgetText()
{
    text = DocumentText();
    hasText = false;
}

bool MatchHighlights::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Resize)
        refresh();
    return QObject::eventFilter(watched, event);
}

void MatchHighlights::refresh()
{
    shownTop = view->verticalScrollBar()->value();
    shownLeft = view->horizontalScrollBar()->value();
    QList<QTextEdit::ExtraSelection> selections = marks;
    QTextDocument *document = view->document();
    int firstShown = -1;
    int lastShown = -1;
    if (hasText && !term.isEmpty() && text.size() == document->characterCount() - 1) {
        const QTextCharFormat format = highlightFormat(view->palette());
        const QRect area = view->viewport()->rect();
        // Lines in sight, and one more for a line cut at the bottom.
        int linesLeft = area.height() / qMax(1, view->fontMetrics().lineSpacing()) + 2;
        for (QTextBlock block = view->cursorForPosition(area.topLeft()).block();
             block.isValid() && linesLeft > 0; block = block.next()) {
            if (!block.isVisible())
                continue;
            linesLeft -= qMax(1, block.lineCount());
            if (firstShown < 0)
                firstShown = block.blockNumber();
            lastShown = block.blockNumber();
            int from = block.position();
            int end = from + block.length() - 1;
            if (block.length() > wholeLineLength) {
                // Characters need not run left to right, so the line's part
                // in sight lies between the positions at the two edges.
                const int y = view->cursorRect(QTextCursor(block)).center().y();
                const int left = view->cursorForPosition(QPoint(area.left(), y)).position();
                const int right = view->cursorForPosition(QPoint(area.right(), y)).position();
                end = qMin(end, qMax(left, right) + edgeMargin);
                from = qMax(from, qMin(left, right) - edgeMargin - term.size());
            }
            const QVector<DocumentText::Match> matches =
                text.stepMatches(term, block.position(), end);
            // Matches that touch make one selection: the view draws each
            // selection in a pass of its own over the line.
            for (int k = 0; k < matches.size();) {
                const int start = matches.at(k).start;
                int stop = start + matches.at(k).length;
                while (++k < matches.size() && matches.at(k).start == stop)
                    stop += matches.at(k).length;
                if (stop <= from)
                    continue;
                QTextCursor cursor(document);
                cursor.setPosition(start);
                cursor.setPosition(stop, QTextCursor::KeepAnchor);
                selections.append({cursor, format});
            }
        }
    }
    view->setExtraSelections(selections);

    // The view measured each highlight it dropped, which makes a block's
    // layout hold its glyphs and character attributes, about 26 bytes a
    // character; the layout lets go of them when the block is drawn, and a
    // block out of sight is not. Emptied, its layout is made again when the
    // block is next shown.
    for (const QTextEdit::ExtraSelection &dropped : qAsConst(highlighted)) {
        QTextBlock block = dropped.cursor.block();
        if (block.blockNumber() >= firstShown && block.blockNumber() <= lastShown)
            continue;
        QTextLayout *layout = block.layout();
        if (layout && layout->lineCount() > 0) {
            layout->beginLayout();
            layout->endLayout();
        }
    }
    highlighted = selections.mid(marks.size());
}
