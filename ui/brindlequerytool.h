#pragma once

// The main window. It owns the Designer form and wires it to the core
// library: the query reader and the document assembly turn a file into the
// shown document, the update manager looks for a newer published installer,
// the history reader of the export gives a printer's earlier states. The
// window asks the user, shows results and remembers where it was. The lines
// whose settings differ from the factory settings, or while comparing from
// another printer's current settings or an earlier state's, are marked with
// the view's extra selections, so the document itself stays as assembled;
// the find bar lays the highlights of the search term's matches over them.

#include "export/fleethistory.h"
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
    void on_actionCompareEarlier_triggered();
    void on_actionChooseHistory_triggered();
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
        // Kept while the query is shown, for a comparison with another printer
        // or an earlier state.
        DocumentSettings primary;
        QString serial;
    };

    // What the shown query's current settings are compared with: another
    // printer's current settings, or those of a state of the same printer in
    // the history database; none while the marks are those against the
    // factory settings. Marks, tips and title come from here for both.
    struct Comparison
    {
        enum Source { None, OtherPrinter, EarlierState };
        Source source = None;
        // The other printer's file name, or the date of the state.
        QString name;
        QString serial;
        QVector<SettingEntry> primary;
        // An earlier state holds no volatile settings (statistics, keys the
        // database ignores): they are left out of the shown query's too.
        IgnoreRules ignoreRules;
        ComparisonMarks marks;
    };

    void setUpMarkToolTips();
    void setUpFind();
    void restoreWindowState();
    bool loadQuery(const QString &path, LoadedQuery *loaded);
    void showQuery(LoadedQuery loaded);
    QString askForQueryFile(const QString &caption);
    void compareWithFile(const QString &path);
    void compareWith(Comparison other);
    void markComparison();
    bool listEarlierStates(FleetHistory &history, const QVector<PrinterPeriod> &periods,
                           QStringList *dates, QStringList *items, QString *error) const;
    bool comparing() const { return comparison.source != Comparison::None; }
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
    // The export database whose history the earlier states come from: the
    // command line's, else the one chosen last.
    QString historyDatabase;
    // The count, the highlights and the list of matches of the search term.
    FindBar *findBar = nullptr;
};
