#pragma once

// The main window. It owns the Designer form and wires it to the core
// library: the query reader and the document assembly turn a file into the
// shown document, the update manager looks for a newer published installer.
// The window asks the user, shows results and remembers where it was. The
// lines whose settings differ from the factory settings, or while comparing
// from another printer's current settings, are marked with the view's extra
// selections, so the document itself stays as assembled; the find bar lays
// the highlights of the search term's matches over them.

#include "query/recentfiles.h"
#include "query/settingsdiff.h"

#include <QMainWindow>
#include <QSettings>
#include <QString>
#include <QTextDocument>

class FindBar;
class QModelIndex;

namespace Ui {
class BrindleQueryTool;
}

class BrindleQueryTool : public QMainWindow
{
    Q_OBJECT

public:
    explicit BrindleQueryTool(QWidget *parent = nullptr);
    ~BrindleQueryTool() override;

    // Reads the query file at path and shows its document, replacing the
    // previous one; an unreadable file leaves the view as it was and is
    // reported in a warning box.
    void openQuery(const QString &path);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private slots:
    void on_actionOpen_triggered();
    void on_actionOpenArchive_triggered();
    void on_menuRecent_aboutToShow();
    void on_actionReload_triggered();
    void on_actionCompare_triggered();
    void on_actionCompareFactory_triggered();
    void on_actionAbout_triggered();
    void on_actionAboutQt_triggered();
    void on_actionFindPrevious_triggered();
    void on_actionFindNext_triggered();
    void on_findLineEdit_textEdited(const QString &);
    void on_actionFindAll_triggered();
    void on_findAllView_activated(const QModelIndex &row);
    void on_findAllView_clicked(const QModelIndex &row);
    void on_findAllCloseButton_clicked();
    void on_actionJumpPrimary_triggered();
    void on_actionJumpShipped_triggered();
    void on_actionJumpLog_triggered();

private:
    // Where the document's headings stand: their lines, -1 for one that the
    // document lacks.
    struct HeadingLines
    {
        int primary = -1;
        int shipped = -1;
        int log = -1;
    };

    // A query file read and assembled, ready for the view.
    struct LoadedQuery
    {
        QString path;
        QString document;
        SettingMarks marks;
        HeadingLines headings;
        // Kept while the query is shown, for a comparison with another printer.
        DocumentSettings primary;
    };

    // Another printer whose current settings the shown query's are compared
    // with; no path while the marks are those against the factory settings.
    struct Comparison
    {
        QString path;
        QString serial;
        QVector<SettingEntry> primary;
        ComparisonMarks marks;
    };

    void setUpMarkToolTips();
    void setUpFind();
    void restoreWindowState();
    bool loadQuery(const QString &path, LoadedQuery *loaded);
    void showQuery(LoadedQuery loaded);
    QString askForQueryFile(const QString &caption);
    void compareWith(const QString &path);
    bool comparing() const { return !comparison.path.isEmpty(); }
    const SettingMarks &shownMarks() const
    {
        return comparing() ? comparison.marks : shownQuery.marks;
    }
    void showMarks();
    void showTitleAndActions();
    QString markToolTip(int line) const;
    QString comparisonToolTip(const SettingMark &mark) const;
    QString readQueryFile(const QString &path, QString *reason) const;
    void showWarning(const QString &text);
    void checkForUpdates();
    void findWithWrapAround(QTextDocument::FindFlags flags);
    void jumpTo(const QString &heading, int line);

    Ui::BrindleQueryTool *ui;
    QSettings settings;
    QString installedVersion;
    QString fileDialogDirName;
    // A command-line query waits here for the view's real size: filling the
    // hidden view would lay out the whole document twice.
    LoadedQuery pendingQuery;
    // The query shown, without its document, which the view holds.
    LoadedQuery shownQuery;
    Comparison comparison;
    RecentFiles recentFiles;
    // The count, the highlights and the list of matches of the search term.
    FindBar *findBar = nullptr;
};
