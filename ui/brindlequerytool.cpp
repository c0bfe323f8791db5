#include "ui/brindlequerytool.h"
#include "ui_brindlequerytool.h"

#include "platform/installedversion.h"
#include "platform/settingsfile.h"
#include "query/archive.h"
#include "query/querydocument.h"
#include "query/queryreader.h"
#include "query/viewerarguments.h"
#include "query/viewtext.h"
#include "ui/findbar.h"
#include "ui/plaintext.h"
#include "ui/queryview.h"
#include "update/updatecheck.h"
#include "update/updatemanager.h"

#include <QDateTime>
#include <QDir>
#include <QDragEnterEvent>
#include <QDragLeaveEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QInputDialog>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QScreen>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QToolTip>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <utility>

namespace {

// How many keys the tip on a comparison's heading names.
constexpr int listedKeys = 10;

// A value of ours from the settings file, which safeIniFormat reads without
// ever decoding what Qt would build from binary data; a value of another type
// than we store is ignored, and the default used.
template<typename T> T storedValue(const QSettings &settings, const QString &key)
{
    const QVariant value = settings.value(key);
    return value.userType() == qMetaTypeId<T>() ? value.value<T>() : T();
}

} // namespace

BrindleQueryTool::BrindleQueryTool(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::BrindleQueryTool)
    , settings(userSettingsFile(QStringLiteral("Corvelle"), QStringLiteral("BrindleQueryTool")),
               userSettingsFormat())
{
    ui->setupUi(this);
    setAcceptDrops(true);
    setUpMarkToolTips();
    setUpFind();
    restoreWindowState();
    fileDialogDirName = storedValue<QString>(settings, QStringLiteral("fileDialogDirName"));
    recentFiles.load(settings.value(QStringLiteral("recentFiles")));
    const QStringList storedHistory =
        storedAbsolutePaths(settings.value(QStringLiteral("historyDatabase")));
    historyDatabase = storedHistory.size() == 1 ? storedHistory.first() : QString();
    installedVersion = readInstalledVersion();
    setWindowTitle(QStringLiteral("BrindleQueryTool ") + installedVersion);
    checkForUpdates();

    const ViewerArguments arguments = viewerArguments(QCoreApplication::arguments());
    if (!arguments.historyDatabase.isEmpty())
        historyDatabase = arguments.historyDatabase;
    if (!arguments.file.isEmpty())
        loadQuery(arguments.file, &pendingQuery);
}

BrindleQueryTool::~BrindleQueryTool()
{
    settings.setValue(QStringLiteral("pos"), pos());
    settings.setValue(QStringLiteral("size"), size());
    settings.setValue(QStringLiteral("fileDialogDirName"), fileDialogDirName);
    settings.setValue(QStringLiteral("recentFiles"), recentFiles.stored());
    delete ui;
}

void BrindleQueryTool::setUpMarkToolTips()
{
    ui->queryTextEdit->viewport()->installEventFilter(this);
}

void BrindleQueryTool::setUpFind()
{
    findBar = new FindBar(
        {ui->queryTextEdit, ui->findLineEdit, ui->findCountLabel, ui->findAllPane, ui->findAllLabel,
         ui->findAllView},
        [this](int line) {
            const HeadingLines &at = shownQuery.headings;
            if (at.log >= 0 && line >= at.log)
                return tr("Log");
            if (at.shipped >= 0 && line >= at.shipped)
                return tr("Factory settings");
            return at.primary >= 0 && line >= at.primary ? tr("Current settings") : QString();
        },
        this);
}

void BrindleQueryTool::restoreWindowState()
{
    // A size beyond all the screens together is not one the window had: a
    // damaged file's, which would make the window's backing store as big.
    const QSize frameSize = storedValue<QSize>(settings, QStringLiteral("size"));
    const QRect desktop = QGuiApplication::primaryScreen()->virtualGeometry();
    const bool sized = frameSize.isValid() && frameSize.width() <= desktop.width() &&
                       frameSize.height() <= desktop.height();
    if (settings.value(QStringLiteral("pos")).userType() == QMetaType::QPoint) {
        // A position saved on a monitor that is gone would put the window
        // where nobody can see it; the window system places it instead.
        const QPoint position = storedValue<QPoint>(settings, QStringLiteral("pos"));
        const QRect frame(position, sized ? frameSize : size());
        bool onScreen = false;
        for (const QScreen *screen : QGuiApplication::screens())
            onScreen = onScreen || screen->availableGeometry().intersects(frame);
        if (onScreen)
            move(position);
    }
    if (sized)
        resize(frameSize);
}

QString BrindleQueryTool::readQueryFile(const QString &path, QString *reason) const
{
    return ::readQueryFile(path, reason);
}

void BrindleQueryTool::openQuery(const QString &path)
{
    LoadedQuery loaded;
    if (!loadQuery(path, &loaded))
        return;
    comparison = Comparison();
    showQuery(std::move(loaded));
}

bool BrindleQueryTool::loadQuery(const QString &path, LoadedQuery *loaded)
{
    const BusyCursor busy;
    const auto refuseQuery = [this](const QString &reason) {
        showWarning(tr("Couldn't read the query file.") + QLatin1Char('\n') + reason);
        return false;
    };
    try {
        // The query text is dropped before the view is filled, to keep the
        // peak memory of a big dump down.
        QString reason;
        QString queryText = readQueryFile(path, &reason);
        if (queryText.isEmpty())
            return refuseQuery(reason);
        DocumentPlan plan = planQueryDocument(queryText);
        if (!plan.document.refusal.isNull())
            return refuseQuery(plan.document.refusal);
        // Measured in place before anything is built, so that a document the
        // view cannot hold is refused at once and the one shown stays.
        const ViewSize size = plannedViewSize(plan, queryText);
        if (!fitsView(size)) {
            showWarning(viewRefusalText(size, path));
            return false;
        }
        QueryDocument document = buildQueryDocument(std::move(plan), std::move(queryText));
        loaded->marks = settingMarks(document);
        loaded->serial = printerSerial(document, path);
        loaded->headings = {document.primary.firstLine, document.shipped.firstLine,
                            document.logLine};
        loaded->primary = std::move(document.primary);
        loaded->document =
            size.cut ? viewText(std::move(document.text)).text : std::move(document.text);
    } catch (const std::bad_alloc &) {
        *loaded = LoadedQuery();
        return refuseQuery(notEnoughMemoryReason());
    }
    loaded->path = path;
    return true;
}

void BrindleQueryTool::showQuery(LoadedQuery loaded)
{
    const BusyCursor busy;
    QPlainTextEdit *view = ui->queryTextEdit;
    // Marks left on the old document would be moved along by every insertion.
    view->setExtraSelections({});
    showQueryDocument(view, loaded.document);
    loaded.document = QString();
    shownQuery = std::move(loaded);
    recentFiles.add(shownQuery.path);

    // A reload keeps the comparison, so it is made again with what the file
    // holds now.
    const Comparison::Source lost =
        comparing() && shownQuery.primary.entries.isEmpty() ? comparison.source : Comparison::None;
    if (lost != Comparison::None)
        comparison = Comparison();
    else if (comparing())
        markComparison();
    showMarks();
    showTitleAndActions();
    if (lost != Comparison::None) {
        showWarning((lost == Comparison::OtherPrinter ? tr("Couldn't compare the printers.")
                                                      : tr("Couldn't compare with an earlier "
                                                           "state.")) +
                    tr("\nThe open query file holds no primary (current) settings."));
    }
}

void BrindleQueryTool::showMarks()
{
    QPlainTextEdit *view = ui->queryTextEdit;
    QTextCharFormat marked;
    // Dark amber: the palette's white text stays readable on it, and the blue
    // of a selection still stands out.
    marked.setBackground(QColor(104, 80, 24));
    marked.setProperty(QTextFormat::FullWidthSelection, true);
    // One selection per run of marked lines, from the first line's start to
    // the start of the line after the run: the view lays out a block for
    // every selection it is given, and marks often come in runs.
    QList<QTextEdit::ExtraSelection> selections;
    const QVector<SettingMark> &marks = shownMarks().marks;
    for (int first = 0, last = 0; first < marks.size(); first = ++last) {
        while (last + 1 < marks.size() && marks.at(last + 1).line == marks.at(last).line + 1)
            ++last;
        QTextCursor run(view->document()->findBlockByNumber(marks.at(first).line));
        run.setPosition(view->document()->findBlockByNumber(marks.at(last).line + 1).position(),
                        QTextCursor::KeepAnchor);
        selections.append({run, marked});
    }
    findBar->setMarks(selections);
}

void BrindleQueryTool::showTitleAndActions()
{
    // Named as the recent files are: a file name can hold a line feed or a
    // direction control.
    QString shown = shownName(QFileInfo(shownQuery.path).fileName());
    if (comparison.source == Comparison::OtherPrinter)
        shown = tr("%1 compared with %2").arg(shown, shownName(comparison.name));
    else if (comparison.source == Comparison::EarlierState)
        shown = tr("%1 compared with its state of %2").arg(shown, comparison.name);
    setWindowTitle(QStringLiteral("BrindleQueryTool ") + installedVersion +
                   QStringLiteral(" \u2014 ") + shown);
    setWindowFilePath(shownQuery.path);
    ui->actionReload->setEnabled(true);
    ui->actionCompare->setEnabled(true);
    ui->actionCompareEarlier->setEnabled(true);
    ui->actionCompareFactory->setEnabled(comparing());
}

QString BrindleQueryTool::markToolTip(int line) const
{
    const QVector<SettingMark> &marks = shownMarks().marks;
    const auto mark =
        std::lower_bound(marks.cbegin(), marks.cend(), line,
                         [](const SettingMark &m, int number) { return m.line < number; });
    if (mark == marks.cend() || mark->line != line)
        return QString();
    if (comparing())
        return comparisonToolTip(*mark);
    const SettingDifference &difference = shownQuery.marks.differences.at(mark->difference);
    if (mark->section == SettingMark::Factory) {
        return difference.right.isEmpty()
                   ? tr("Not in the current settings")
                   : tr("Current value: %1").arg(boundedQuotedSettingValues(difference.right));
    }
    return difference.left.isEmpty()
               ? tr("Not in the factory settings")
               : tr("Factory value: %1").arg(boundedQuotedSettingValues(difference.left));
}

QString BrindleQueryTool::comparisonToolTip(const SettingMark &mark) const
{
    const ComparisonMarks &marks = comparison.marks;
    const bool earlier = comparison.source == Comparison::EarlierState;
    if (mark.difference < 0) {
        QStringList keys;
        for (int i = 0; i < marks.onlyOnOther.size() && i < listedKeys; ++i)
            keys.append(shownName(marks.onlyOnOther.at(i)));
        if (marks.onlyOnOther.size() > listedKeys)
            keys.append(tr("\u2026 and %1 more").arg(marks.onlyOnOther.size() - listedKeys));
        const QString list = keys.join(QLatin1String(", "));
        return earlier ? tr("Only in its state of %1: %2").arg(comparison.name, list)
                       : tr("Only on the other printer: %1").arg(list);
    }
    const QString serial = shownName(comparison.serial);
    const QStringList &other = marks.differences.at(mark.difference).right;
    if (other.isEmpty()) {
        return earlier ? tr("Not there on %1").arg(comparison.name)
                       : tr("Not on the other printer (%1)").arg(serial);
    }
    const QString values = boundedQuotedSettingValues(other);
    return earlier ? tr("Earlier (%1): %2").arg(comparison.name, values)
                   : tr("Other printer (%1): %2").arg(serial, values);
}

bool BrindleQueryTool::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != ui->queryTextEdit->viewport() || event->type() != QEvent::ToolTip)
        return QMainWindow::eventFilter(watched, event);
    const auto *help = static_cast<QHelpEvent *>(event);
    const QString text =
        markToolTip(ui->queryTextEdit->cursorForPosition(help->pos()).blockNumber());
    if (text.isEmpty()) {
        QToolTip::hideText();
    } else {
        QWidget *viewport = ui->queryTextEdit->viewport();
        QToolTip::showText(help->globalPos(), plainToolTip(text, viewport), viewport);
    }
    return true;
}

void BrindleQueryTool::showEvent(QShowEvent *event)
{
    // The layouts have given the view its real size by now, and nothing has
    // been painted yet.
    if (!pendingQuery.path.isEmpty())
        showQuery(std::exchange(pendingQuery, LoadedQuery()));
    QMainWindow::showEvent(event);
}

void BrindleQueryTool::showWarning(const QString &text)
{
    // A box that comes up during an open must not wear the busy cursor.
    QGuiApplication::setOverrideCursor(Qt::ArrowCursor);
    showPlainMessageBox(this, QMessageBox::Warning, tr("Uh-oh"), text, QMessageBox::Ok);
    QGuiApplication::restoreOverrideCursor();
}

void BrindleQueryTool::checkForUpdates()
{
    UpdateManager manager(installedVersion, [](QString) {});
    const auto askToInstall = [this](const QString &version) {
        return showPlainMessageBox(this, QMessageBox::Information, updateQuestionTitle(),
                                   updateQuestionText(version), QMessageBox::Yes | QMessageBox::No,
                                   QMessageBox::Yes) == QMessageBox::Yes;
    };
    switch (runUpdateCheck(manager, publishedInstallerPath, askToInstall)) {
    case UpdateCheckOutcome::InstallerStarted:
        // The installer replaces this program: end at once, storing nothing.
        std::exit(0);
    case UpdateCheckOutcome::InstallFailed:
        showWarning(updateFailedText());
        break;
    case UpdateCheckOutcome::NoUpdate:
    case UpdateCheckOutcome::Declined:
        break;
    }
}

QString BrindleQueryTool::askForQueryFile(const QString &caption)
{
    const QString path =
        QFileDialog::getOpenFileName(this, caption, fileDialogDirName, tr("ZIP files (*.zip)"));
    if (!path.isEmpty())
        fileDialogDirName = QFileInfo(path).absolutePath();
    return path;
}

void BrindleQueryTool::on_actionOpen_triggered()
{
    const QString path = askForQueryFile(tr("Open a query ZIP file"));
    if (!path.isEmpty())
        openQuery(path);
}

void BrindleQueryTool::on_menuRecent_aboutToShow()
{
    QMenu *menu = ui->menuRecent;
    menu->clear();
    const QStringList paths = recentFiles.existing();
    for (const QString &path : paths) {
        const QFileInfo file(path);
        // Doubled, an & shows as itself instead of underlining the next letter.
        QAction *entry = menu->addAction(menuEntryName(file.fileName(), menu));
        entry->setToolTip(
            plainToolTip(escaped(QDir::toNativeSeparators(path), EscapeStyle::Terminal), menu));
        connect(entry, &QAction::triggered, this, [this, path] { openQuery(path); });
    }
    menu->addSeparator();
    menu->addAction(tr("&Clear Menu"), this, [this] { recentFiles.clear(); })
        ->setEnabled(!paths.isEmpty());
}

void BrindleQueryTool::on_actionReload_triggered()
{
    LoadedQuery loaded;
    if (!loadQuery(shownQuery.path, &loaded))
        return;
    QPlainTextEdit *view = ui->queryTextEdit;
    const int top = view->verticalScrollBar()->value();
    const int left = view->horizontalScrollBar()->value();
    showQuery(std::move(loaded));
    view->verticalScrollBar()->setValue(top);
    view->horizontalScrollBar()->setValue(left);
}

void BrindleQueryTool::on_actionCompare_triggered()
{
    const QString path = askForQueryFile(tr("Compare with another printer's query ZIP file"));
    if (!path.isEmpty())
        compareWithFile(path);
}

void BrindleQueryTool::compareWithFile(const QString &path)
{
    const QString refused = tr("Couldn't compare the printers.") + QLatin1Char('\n');
    if (shownQuery.primary.entries.isEmpty()) {
        showWarning(refused + tr("The open query file holds no primary (current) settings."));
        return;
    }
    const BusyCursor busy;
    const auto refuseQuery = [this](const QString &reason) {
        showWarning(tr("Couldn't read the query file.") + QLatin1Char('\n') + reason);
    };
    Comparison other;
    other.source = Comparison::OtherPrinter;
    other.name = QFileInfo(path).fileName();
    try {
        // Only the other printer's settings are needed: its document is
        // never built.
        QString reason;
        QString queryText = readQueryFile(path, &reason);
        if (queryText.isEmpty()) {
            refuseQuery(reason);
            return;
        }
        QueryDocument document = planQueryDocument(queryText).document;
        if (!document.refusal.isNull()) {
            refuseQuery(document.refusal);
            return;
        }
        other.serial = printerSerial(document, path);
        other.primary = std::move(document.primary.entries);
    } catch (const std::bad_alloc &) {
        refuseQuery(notEnoughMemoryReason());
        return;
    }
    if (other.primary.isEmpty()) {
        showWarning(refused + tr("The other query file holds no primary (current) settings."));
        return;
    }
    compareWith(std::move(other));
}

void BrindleQueryTool::compareWith(Comparison other)
{
    comparison = std::move(other);
    markComparison();
    showMarks();
    showTitleAndActions();
}

void BrindleQueryTool::markComparison()
{
    DocumentSettings own = shownQuery.primary;
    if (comparison.source == Comparison::EarlierState)
        own.entries = configurationSettings(own.entries, comparison.ignoreRules);
    comparison.marks = comparisonMarks(own, comparison.primary);
}

void BrindleQueryTool::on_actionCompareFactory_triggered()
{
    comparison = Comparison();
    showMarks();
    showTitleAndActions();
}

void BrindleQueryTool::on_actionChooseHistory_triggered()
{
    const QString path = QFileDialog::getOpenFileName(
        this, tr("Choose the history database"),
        historyDatabase.isEmpty() ? fileDialogDirName : QFileInfo(historyDatabase).absolutePath(),
        tr("Export databases (*.db *.sqlite *.sqlite3);;All files (*)"));
    if (path.isEmpty())
        return;
    FleetHistory history;
    QString error;
    if (!history.open(path, &error)) {
        showWarning(tr("Couldn't use the history database.") + QLatin1Char('\n') + error);
        return;
    }
    historyDatabase = path;
    settings.setValue(QStringLiteral("historyDatabase"), path);
}

// The periods newest first, each as its date (with the time when another
// period began the same day, and the export's number when another began at
// that time: a clock set back, or exports within a second) and how many keys
// of the open file differ. Each label is the one its choice is found by.
bool BrindleQueryTool::listEarlierStates(FleetHistory &history,
                                         const QVector<PrinterPeriod> &periods, QStringList *dates,
                                         QStringList *items, QString *error) const
{
    const IgnoreRules rules = history.ignoreRules();
    const QVector<SettingEntry> own = configurationSettings(shownQuery.primary.entries, rules);
    QHash<qint64, int> differing; // by state: a printer may come back to one
    QHash<QString, int> perDate;
    for (const PrinterPeriod &period : periods)
        ++perDate[exportDate(period.firstSeen)];
    // A database that is not quite ours may hold any text for a time.
    QStringList labels;
    QHash<QString, int> perLabel;
    for (auto period = periods.crbegin(); period != periods.crend(); ++period) {
        const QString date = exportDate(period->firstSeen);
        const QDateTime time = QDateTime::fromString(period->firstSeen, Qt::ISODate);
        labels.append(perDate.value(date) > 1 && time.isValid()
                          ? time.toUTC().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss 'UTC'"))
                          : shownName(date));
        ++perLabel[labels.last()];
    }
    int index = 0;
    for (auto period = periods.crbegin(); period != periods.crend(); ++period, ++index) {
        if (!differing.contains(period->stateId)) {
            QVector<SettingEntry> current;
            QVector<SettingEntry> factory;
            if (!history.stateSettings(period->stateId, &current, &factory, error))
                return false;
            differing.insert(period->stateId,
                             diffSettings(own, configurationSettings(current, rules)).size());
        }
        const int keys = differing.value(period->stateId);
        QString label = labels.at(index);
        if (perLabel.value(label) > 1)
            label = tr("%1, export %2").arg(label).arg(period->firstExport);
        dates->append(label);
        items->append(keys == 0   ? tr("%1: as the open file").arg(label)
                      : keys == 1 ? tr("%1: 1 key differs").arg(label)
                                  : tr("%1: %2 keys differ").arg(label).arg(keys));
    }
    return true;
}

void BrindleQueryTool::on_actionCompareEarlier_triggered()
{
    const QString refused = tr("Couldn't compare with an earlier state.") + QLatin1Char('\n');
    if (historyDatabase.isEmpty()) {
        showWarning(refused + tr("No history database is chosen: choose the database of "
                                 "brindle-query export with File > Choose history database..."));
        return;
    }
    if (shownQuery.primary.entries.isEmpty()) {
        showWarning(refused + tr("The open query file holds no primary (current) settings."));
        return;
    }
    FleetHistory history;
    QString error;
    QVector<PrinterPeriod> periods;
    QStringList dates;
    QStringList items;
    bool listed = false;
    {
        const BusyCursor busy;
        listed = history.open(historyDatabase, &error) &&
                 history.printerStates(shownQuery.serial, &periods, &error) &&
                 listEarlierStates(history, periods, &dates, &items, &error);
    }
    const QString database = shownName(QDir::toNativeSeparators(historyDatabase));
    if (!listed) {
        showWarning(refused + tr("The history database %1: %2").arg(database, error));
        return;
    }
    if (periods.isEmpty()) {
        showWarning(refused + tr("The history database %1 holds no state of the printer %2.")
                                  .arg(database, shownName(shownQuery.serial)));
        return;
    }
    bool accepted = false;
    const QString item = QInputDialog::getItem(
        this, tr("Earlier states of %1").arg(shownName(shownQuery.serial)),
        tr("The printer's states, newest first, and the keys of the open file that differ:"), items,
        0, false, &accepted);
    const int chosen = items.indexOf(item);
    if (!accepted || chosen < 0)
        return;
    const PrinterPeriod &period = periods.at(periods.size() - 1 - chosen);
    Comparison earlier;
    earlier.source = Comparison::EarlierState;
    earlier.name = dates.at(chosen);
    earlier.serial = shownQuery.serial;
    earlier.ignoreRules = history.ignoreRules();
    QVector<SettingEntry> factory;
    if (!history.stateSettings(period.stateId, &earlier.primary, &factory, &error)) {
        showWarning(refused + tr("The history database %1: %2").arg(database, error));
        return;
    }
    earlier.primary = configurationSettings(earlier.primary, earlier.ignoreRules);
    compareWith(std::move(earlier));
}

void BrindleQueryTool::on_actionAbout_triggered()
{
    // The version the title shows; a build that was never installed has none.
    const QString version = installedVersion.isEmpty()
                                ? tr("%1 (not installed)").arg(QStringLiteral(BRINDLE_VERSION))
                                : installedVersion;
    QMessageBox about(
        QMessageBox::NoIcon, tr("About BrindleQueryTool"),
        tr("BrindleQueryTool %1\nA viewer for printer query files.\n\nRunning on Qt %2.\n"
           "Built from the commit of %3.\n\nQuery files are the diagnostic dumps that "
           "printers write (a .txt file, or a .zip holding one); the Archivon report archive "
           "keeps one for each printer serial in %4.")
            .arg(version, QString::fromLatin1(qVersion()), QStringLiteral(BRINDLE_COMMIT_DATE),
                 QDir::toNativeSeparators(archivePath)),
        QMessageBox::Ok, this);
    about.setTextFormat(Qt::PlainText);
    about.setIconPixmap(windowIcon().pixmap(64, 64));
    about.exec();
}

void BrindleQueryTool::on_actionAboutQt_triggered()
{
    QMessageBox::aboutQt(this);
}

void BrindleQueryTool::on_actionOpenArchive_triggered()
{
    bool accepted = false;
    const QString serial =
        QInputDialog::getText(this, tr("Search for printer in Archivon archive"),
                              tr("Printer serial:"), QLineEdit::Normal, QString(), &accepted);
    if (!accepted || serial.isEmpty())
        return;
    const QString path = archiveFileForSerial(serial);
    if (!path.isEmpty() && QFile::exists(path)) {
        openQuery(path);
        return;
    }
    showPlainMessageBox(this, QMessageBox::Warning, tr("Warning"),
                        tr("Couldn't find printer in archive."), QMessageBox::Ok);
}

void BrindleQueryTool::dragEnterEvent(QDragEnterEvent *event)
{
    static const QStringList suffixes{QStringLiteral(".zip"), QStringLiteral(".txt")};
    const QList<QUrl> urls = event->mimeData()->urls();
    if (!urls.isEmpty() && suffixes.contains(urls.constFirst().toLocalFile().right(4)))
        event->acceptProposedAction();
}

void BrindleQueryTool::dragMoveEvent(QDragMoveEvent *event)
{
    event->acceptProposedAction();
}

void BrindleQueryTool::dragLeaveEvent(QDragLeaveEvent *event)
{
    event->accept();
}

void BrindleQueryTool::dropEvent(QDropEvent *event)
{
    // A text/uri-list may hold no URL at all.
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.isEmpty())
        return;
    // With Shift held, while a query is shown, the file is another printer
    // to compare it with.
    const QString path = urls.constFirst().toLocalFile();
    const bool compare =
        event->keyboardModifiers().testFlag(Qt::ShiftModifier) && !shownQuery.path.isEmpty();
    // Taken as a copy whatever the drag proposes: Shift makes a file manager
    // propose a move, and a move accepted tells it that it may delete the file.
    event->setDropAction(Qt::CopyAction);
    event->accept();
    // The source application waits for this answer: the file is read, and any
    // box about it shown, only once the drop has returned.
    QMetaObject::invokeMethod(
        this, [this, path, compare] { compare ? compareWithFile(path) : openQuery(path); },
        Qt::QueuedConnection);
}

void BrindleQueryTool::findWithWrapAround(QTextDocument::FindFlags flags)
{
    QPlainTextEdit *view = ui->queryTextEdit;
    if (findInView(view, ui->findLineEdit->text(), flags))
        return;
    const QTextCursor before = view->textCursor();
    view->moveCursor(flags.testFlag(QTextDocument::FindBackward) ? QTextCursor::End
                                                                 : QTextCursor::Start,
                     QTextCursor::MoveAnchor);
    if (!findInView(view, ui->findLineEdit->text(), flags))
        view->setTextCursor(before);
}

void BrindleQueryTool::on_actionFindPrevious_triggered()
{
    findWithWrapAround(QTextDocument::FindBackward);
}

void BrindleQueryTool::on_actionFindNext_triggered()
{
    findWithWrapAround({});
}

void BrindleQueryTool::on_findLineEdit_textEdited(const QString &)
{
    // Back onto the start of the current match, so that a longer term that
    // still matches there keeps the selection in place.
    ui->queryTextEdit->moveCursor(QTextCursor::Left, QTextCursor::MoveAnchor);
    ui->actionFindNext->activate(QAction::Trigger);
}

void BrindleQueryTool::on_actionFindAll_triggered()
{
    findBar->showAllMatches();
}

void BrindleQueryTool::on_findAllView_activated(const QModelIndex &row)
{
    findBar->jumpToRow(row);
}

void BrindleQueryTool::on_findAllView_clicked(const QModelIndex &row)
{
    findBar->jumpToRow(row);
}

void BrindleQueryTool::on_findAllCloseButton_clicked()
{
    findBar->hideAllMatches();
}

// The first occurrence of the heading's text from the start of the document,
// in any letter case, as the heading was always found: the heading itself on
// its line is one, so the search ends there at the latest. A document that
// lacks the heading leaves the cursor at its start without a search.
void BrindleQueryTool::jumpTo(const QString &heading, int line)
{
    ui->queryTextEdit->moveCursor(QTextCursor::Start, QTextCursor::MoveAnchor);
    if (line >= 0)
        findInView(ui->queryTextEdit, heading, {});
}

void BrindleQueryTool::on_actionJumpPrimary_triggered()
{
    jumpTo(primaryHeading, shownQuery.headings.primary);
}

void BrindleQueryTool::on_actionJumpShipped_triggered()
{
    jumpTo(shippedHeading, shownQuery.headings.shipped);
}

void BrindleQueryTool::on_actionJumpLog_triggered()
{
    jumpTo(logHeading, shownQuery.headings.log);
}
