#pragma once

#include "query/documenttext.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QTextEdit>

class QPlainTextEdit;

// Highlights the matches of a term that are in sight in a view, in a colour
// of their own, as extra selections after the marks that the window sets:
// the view's extra selections are the marks, then the highlights. Only the
// visible part of the view is searched, again whenever it scrolls or
// resizes, so the cost follows what is shown, not how many matches there
// are. The highlights are the matches that Find next stops at.
class MatchHighlights : public QObject
{
    Q_OBJECT

public:
    explicit MatchHighlights(QPlainTextEdit *view);

    // The window's marks, kept under the highlights.
    void setMarks(const QList<QTextEdit::ExtraSelection> &marks);
    // The term to highlight in text, the text of the view's document; an
    // empty term or text highlights nothing.
    void setTerm(const DocumentText &text, const QString &term);
    // Drops the text of a document that is being replaced.
    void forgetText();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void refresh();

    QPlainTextEdit *view;
    QList<QTextEdit::ExtraSelection> marks;
    DocumentText text;
    bool hasText = false;
    QString term;
    // The highlights shown, after the marks.
    QList<QTextEdit::ExtraSelection> highlighted;
    // Where the view was scrolled to when the highlights were made.
    int shownTop = 0;
    int shownLeft = 0;
};
