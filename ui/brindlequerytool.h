#pragma once

// The main window. It owns the Designer form and wires it to the core
// library: the query reader, the document assembly and the update manager do
// the work, the window asks the user and shows the results.

#include <QMainWindow>
#include <QSettings>
#include <QString>

namespace Ui {
class BrindleQueryTool;
}

class BrindleQueryTool : public QMainWindow
{
    Q_OBJECT

public:
    explicit BrindleQueryTool(QWidget *parent = nullptr);
    ~BrindleQueryTool() override;

protected:
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;

private:
    Ui::BrindleQueryTool *ui;
    QSettings settings;
    QString installedVersion;
    QString fileDialogDirName;
};
