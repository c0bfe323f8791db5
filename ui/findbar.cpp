#include "ui/findbar.h"

#include "query/viewtext.h"
#include "ui/findallmodel.h"
#include "ui/matchcount.h"
#include "ui/matchhighlights.h"
#include "ui/queryview.h"

#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QShortcut>
#include <QTableView>
#include <QTimer>

namespace {

// A count, with "+" while the count goes on.
QString shownCount(int count, bool complete)
{
    return groupedNumber(count) + (complete ? QString() : QStringLiteral("+"));
}

// The base of a field on a miss: its own base tinted red, which keeps its
// text readable in a dark palette as in a light one.
QColor missTint(const QColor &base)
{
    const QColor red(220, 30, 30);
    const double share = 0.35;
    return QColor::fromRgbF(base.redF() * (1 - share) + red.redF() * share,
                            base.greenF() * (1 - share) + red.greenF() * share,
                            base.blueF() * (1 - share) + red.blueF() * share);
}

} // namespace

FindBar::FindBar(const Widgets &widgets, std::function<QString(int)> sectionOf, QObject *parent)
    : QObject(parent)
    , ui(widgets)
    , count(new MatchCount(this))
    , highlights(new MatchHighlights(widgets.view))
    , model(new FindAllModel(widgets.view->document(), std::move(sectionOf), this))
{
    ui.count->setMinimumWidth(
        ui.count->fontMetrics().horizontalAdvance(QStringLiteral("8,888 of 8,888")));
    ui.list->setModel(model);
    const QFontMetrics metrics = ui.list->fontMetrics();
    ui.list->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    ui.list->verticalHeader()->setDefaultSectionSize(metrics.height() + 4);
    ui.list->setColumnWidth(FindAllModel::LineColumn,
                            metrics.horizontalAdvance(QStringLiteral("888,888,888")));
    ui.list->setColumnWidth(FindAllModel::SectionColumn,
                            metrics.horizontalAdvance(tr("Factory settings")) + metrics.height());

    new QShortcut(QKeySequence(Qt::Key_Escape), ui.field, ui.view, qOverload<>(&QWidget::setFocus),
                  Qt::WidgetShortcut);
    new QShortcut(QKeySequence(Qt::Key_Escape), ui.pane, this, &FindBar::hideAllMatches,
                  Qt::WidgetWithChildrenShortcut);

    connect(ui.field, &QLineEdit::textChanged, this, &FindBar::recount);
    connect(ui.view, &QPlainTextEdit::cursorPositionChanged, this, &FindBar::showCount);
    connect(ui.view, &QPlainTextEdit::selectionChanged, this, &FindBar::showCount);
    connect(ui.view->document(), &QTextDocument::contentsChange, this, &FindBar::documentChanged);
    connect(count, &MatchCount::updated, this, &FindBar::countUpdated);
}

void FindBar::setMarks(const QList<QTextEdit::ExtraSelection> &marks)
{
    highlights->setMarks(marks);
}

void FindBar::showAllMatches()
{
    ui.pane->show();
    if (ui.field->text().isEmpty())
        ui.field->setFocus();
    else
        ui.list->setFocus();
}

void FindBar::hideAllMatches()
{
    ui.pane->hide();
    ui.view->setFocus();
}

void FindBar::jumpToRow(const QModelIndex &row)
{
    const MatchIndex &index = model->index();
    if (!row.isValid() || row.row() >= index.lineCount())
        return;
    const int first = index.line(row.row()).first;
    QTextCursor match(ui.view->document());
    match.setPosition(first);
    match.setPosition(first + index.term().size(), QTextCursor::KeepAnchor);
    ui.view->setTextCursor(match);
}

void FindBar::recount()
{
    // The view works out its text's positions at the first search; an open
    // with an empty field must not pay for them.
    const QString term = ui.field->text();
    const DocumentText text = term.isEmpty() ? DocumentText() : searchedText(ui.view);
    highlights->setTerm(text, term);
    count->start(text, term);
}

void FindBar::documentChanged()
{
    // A fill changes the document piece by piece: once is enough.
    if (recountPending)
        return;
    recountPending = true;
    // The new document's search index comes with its last piece: the count
    // waits for the event loop, and nothing shown may point into the old one
    // or speak of it.
    highlights->forgetText();
    count->cancel();
    model->setIndex(MatchIndex(), false);
    ui.count->clear();
    ui.field->setPalette(QPalette());
    QTimer::singleShot(0, this, [this] {
        recountPending = false;
        recount();
    });
}

void FindBar::countUpdated()
{
    const MatchIndex &index = count->index();
    model->setIndex(index, count->run() == listedCount);
    listedCount = count->run();
    ui.paneTitle->setText(
        index.term().isEmpty()
            ? tr("Lines with a match")
            : tr("Lines with a match: %1").arg(shownCount(index.lineCount(), index.isComplete())));
    // Back to the palette the field inherits, then tinted from its base.
    ui.field->setPalette(QPalette());
    if (index.isComplete() && index.count() == 0 && !index.term().isEmpty()) {
        QPalette tint;
        tint.setColor(QPalette::Base, missTint(ui.field->palette().color(QPalette::Base)));
        ui.field->setPalette(tint);
    }
    showCount();
}

void FindBar::showCount()
{
    // Until the count of the term comes in, the label keeps what it says.
    if (!count->isCurrent())
        return;
    const MatchIndex &index = count->index();
    const bool complete = index.isComplete();
    const int total = index.count();
    QString text;
    if (index.term().isEmpty()) {
        text = QString();
    } else if (complete && total == 0) {
        text = tr("No matches");
    } else {
        const QTextCursor selection = ui.view->textCursor();
        const int selected =
            selection.selectionEnd() - selection.selectionStart() == index.term().size()
                ? index.indexOf(selection.selectionStart())
                : -1;
        if (selected >= 0) {
            text = tr("%1 of %2").arg(groupedNumber(selected + 1), shownCount(total, complete));
        } else if (complete && total == 1) {
            text = tr("1 match");
        } else {
            text = tr("%1 matches").arg(shownCount(total, complete));
        }
    }
    ui.count->setText(text);
}
