#pragma once

#include "query/matchindex.h"

#include <QAbstractTableModel>
#include <QPointer>
#include <QTextDocument>

#include <functional>

// The lines that hold a match, one row each: the line's number, the section
// it belongs to and its text as the view shows it, cut after 200 characters.
// Rows are read from a match index when they are shown, so a view that lays
// out only the rows in sight fills at once whatever their number.
class FindAllModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { LineColumn, SectionColumn, TextColumn, ColumnCount };

    // document holds the lines; sectionOf names the section of a line
    // counted from 0.
    FindAllModel(QTextDocument *document, std::function<QString(int)> sectionOf,
                 QObject *parent = nullptr);

    // Shows the lines of index. With grown, index is the one shown scanned
    // further, and only its new rows are added; otherwise it replaces them.
    void setIndex(const MatchIndex &index, bool grown);
    const MatchIndex &index() const { return shown; }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    QPointer<QTextDocument> document;
    std::function<QString(int)> sectionOf;
    MatchIndex shown;
};
