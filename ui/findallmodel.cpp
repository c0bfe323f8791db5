#include "ui/findallmodel.h"

#include "query/linecut.h"
#include "query/viewtext.h"

#include <QTextBlock>

namespace {

// How much of a line a row shows.
constexpr int listedLength = 200;

} // namespace

FindAllModel::FindAllModel(QTextDocument *document, std::function<QString(int)> sectionOf,
                           QObject *parent)
    : QAbstractTableModel(parent)
    , document(document)
    , sectionOf(std::move(sectionOf))
{
}

void FindAllModel::setIndex(const MatchIndex &index, bool grown)
{
    const int before = shown.lineCount();
    if (!grown) {
        beginResetModel();
        shown = index;
        endResetModel();
        return;
    }
    if (index.lineCount() == before) {
        shown = index;
        return;
    }
    beginInsertRows(QModelIndex(), before, index.lineCount() - 1);
    shown = index;
    endInsertRows();
}

int FindAllModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : shown.lineCount();
}

int FindAllModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant FindAllModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= shown.lineCount())
        return QVariant();
    if (role == Qt::TextAlignmentRole && index.column() == LineColumn)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole)
        return QVariant();
    const int line = shown.line(index.row()).number;
    switch (index.column()) {
    case LineColumn:
        return groupedNumber(line + 1);
    case SectionColumn:
        return sectionOf ? sectionOf(line) : QString();
    default:
        return document ? cutLine(document->findBlockByNumber(line).text(), listedLength)
                        : QString();
    }
}

QVariant FindAllModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case LineColumn:
        return tr("Line");
    case SectionColumn:
        return tr("Section");
    default:
        return tr("Text");
    }
}
