#pragma once

#include "query/documenttext.h"

#include <QCursor>
#include <QGuiApplication>
#include <QString>
#include <QTextDocument>

class QPlainTextEdit;

// Puts text into view as setPlainText would (same text and blocks, cursor at
// the start with no selection, scrolled to the top left, no undo history,
// unmodified) but fills the document in pieces and without the full
// relayout that a change of the viewport's width would cause. Keeps a search
// index of text beside the document for findInView.
void showQueryDocument(QPlainTextEdit *view, const QString &text);

// Does what view->find(term, flags) does for no flags or FindBackward alone
// (case-insensitive, literal, from the current selection, no wrap; a match
// becomes the selection and is scrolled into view; a miss leaves the cursor
// alone and returns false), answered from the index of showQueryDocument
// while the document is unchanged, and by view->find otherwise.
bool findInView(QPlainTextEdit *view, const QString &term, QTextDocument::FindFlags flags);

// The text of the view's document as findInView searches it: from the index
// of showQueryDocument while the document is unchanged, sharing its text and
// working out its positions at the first call, else copied from the
// document itself.
DocumentText searchedText(QPlainTextEdit *view);

// Shows the busy cursor over the whole application while it lives.
class BusyCursor
{
public:
    BusyCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QGuiApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor &) = delete;
    BusyCursor &operator=(const BusyCursor &) = delete;
};
