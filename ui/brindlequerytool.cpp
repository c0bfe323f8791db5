#include "ui/brindlequerytool.h"
#include "ui_brindlequerytool.h"

#include <QDragLeaveEvent>
#include <QDragMoveEvent>

BrindleQueryTool::BrindleQueryTool(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::BrindleQueryTool)
    , settings(QStringLiteral("Corvelle"), QStringLiteral("BrindleQueryTool"))
{
    ui->setupUi(this);
}

BrindleQueryTool::~BrindleQueryTool()
{
    delete ui;
}

void BrindleQueryTool::dragMoveEvent(QDragMoveEvent *event)
{
    event->acceptProposedAction();
}

void BrindleQueryTool::dragLeaveEvent(QDragLeaveEvent *event)
{
    event->accept();
}
