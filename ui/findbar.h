#pragma once

#include <QList>
#include <QObject>
#include <QTextEdit>

#include <functional>

class FindAllModel;
class MatchCount;
class MatchHighlights;
class QLabel;
class QLineEdit;
class QModelIndex;
class QPlainTextEdit;
class QTableView;

// What the search field shows about the term in it, beside the find itself
// (which the window does): the count label ("3 of 17", "17 matches",
// "1 match", "No matches", nothing for an empty field), the field's red
// tint on a miss, the highlights of the matches in sight, and the pane of
// Find All Matches, which lists the lines that hold one. It follows the
// field's text, the view's selection and the document on its own; counts run
// in the background and come in as they are done.
class FindBar : public QObject
{
    Q_OBJECT

public:
    // The widgets of the window's form that it drives.
    struct Widgets
    {
        QPlainTextEdit *view;
        QLineEdit *field;
        QLabel *count;
        QWidget *pane;
        QLabel *paneTitle;
        QTableView *list;
    };

    // sectionOf names the section of a document line counted from 0.
    FindBar(const Widgets &widgets, std::function<QString(int)> sectionOf, QObject *parent);

    // The window's marks, kept in the view under the highlights.
    void setMarks(const QList<QTextEdit::ExtraSelection> &marks);
    // Shows the pane of Find All Matches and gives it the focus, or the
    // field while it is empty.
    void showAllMatches();
    void hideAllMatches();
    // Selects in the view the first match of the line of row.
    void jumpToRow(const QModelIndex &row);

private:
    void recount();
    void documentChanged();
    void countUpdated();
    void showCount();

    Widgets ui;
    MatchCount *count;
    MatchHighlights *highlights;
    FindAllModel *model;
    quint64 listedCount = 0;
    bool recountPending = false;
};
