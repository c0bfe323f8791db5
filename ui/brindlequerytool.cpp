#include "ui/brindlequerytool.h"
#include "ui_brindlequerytool.h"

#include "platform/installedversion.h"
#include "query/archive.h"
#include "query/querydocument.h"
#include "query/queryreader.h"
#include "query/viewtext.h"
#include "ui/queryview.h"
#include "update/updatecheck.h"
#include "update/updatemanager.h"

#include <QDragEnterEvent>
#include <QDragLeaveEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QMimeData>
#include <QScreen>
#include <QTextBlock>
#include <QToolTip>

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace {

// A message box guesses rich text, and rich text loads images by path; file
// names, entry names and versions in these boxes come from files.
int showPlainMessageBox(QWidget *parent, QMessageBox::Icon icon, const QString &title,
                        const QString &text, QMessageBox::StandardButtons buttons,
                        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton)
{
    QMessageBox box(icon, title, text, buttons, parent);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(defaultButton);
    return box.exec();
}

} // namespace

BrindleQueryTool::BrindleQueryTool(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::BrindleQueryTool)
    , settings(QStringLiteral("Corvelle"), QStringLiteral("BrindleQueryTool"))
{
    ui->setupUi(this);
    setAcceptDrops(true);
    setUpMarkToolTips();
    restoreWindowState();
    fileDialogDirName = settings.value(QStringLiteral("fileDialogDirName"), QString()).toString();
    installedVersion = readInstalledVersion();
    setWindowTitle(QStringLiteral("BrindleQueryTool ") + installedVersion);
    checkForUpdates();

    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() > 1 && !arguments.at(1).isEmpty())
        loadQuery(arguments.at(1), &pendingQuery);
}

BrindleQueryTool::~BrindleQueryTool()
{
    settings.setValue(QStringLiteral("pos"), pos());
    settings.setValue(QStringLiteral("size"), size());
    settings.setValue(QStringLiteral("fileDialogDirName"), fileDialogDirName);
    delete ui;
}

void BrindleQueryTool::setUpMarkToolTips()
{
    ui->queryTextEdit->viewport()->installEventFilter(this);
    // The application's palette gives tool tips white text on white.
    QPalette toolTips = QToolTip::palette();
    toolTips.setColor(QPalette::ToolTipBase, QColor(66, 66, 66));
    toolTips.setColor(QPalette::ToolTipText, Qt::white);
    QToolTip::setPalette(toolTips);
}

void BrindleQueryTool::restoreWindowState()
{
    if (settings.contains(QStringLiteral("pos"))) {
        const QPoint position = settings.value(QStringLiteral("pos")).toPoint();
        const QSize frameSize = settings.contains(QStringLiteral("size"))
                                    ? settings.value(QStringLiteral("size")).toSize()
                                    : size();
        // A position saved on a monitor that is gone would put the window
        // where nobody can see it; the window system places it instead.
        const QRect frame(position, frameSize);
        bool onScreen = false;
        for (const QScreen *screen : QGuiApplication::screens())
            onScreen = onScreen || screen->availableGeometry().intersects(frame);
        if (onScreen)
            move(position);
    }
    if (settings.contains(QStringLiteral("size")))
        resize(settings.value(QStringLiteral("size")).toSize());
}

QString BrindleQueryTool::readQueryFile(const QString &path, QString *reason) const
{
    return ::readQueryFile(path, reason);
}

QString BrindleQueryTool::assembleQueryDocument(QString queryText) const
{
    // Taken by value: the log is moved within the query text's own storage
    // instead of being copied.
    return ::assembleQueryDocument(std::move(queryText));
}

void BrindleQueryTool::openQuery(const QString &path)
{
    LoadedQuery loaded;
    if (loadQuery(path, &loaded))
        showQuery(std::move(loaded));
}

bool BrindleQueryTool::loadQuery(const QString &path, LoadedQuery *loaded)
{
    const BusyCursor busy;
    ViewText shown;
    SettingMarks marks;
    {
        // The query text is dropped before the view is filled, to keep the
        // peak memory of a big dump down.
        QString reason;
        QString queryText = readQueryFile(path, &reason);
        if (queryText.isEmpty()) {
            showWarning(tr("Couldn't read the query file.") + QLatin1Char('\n') + reason);
            return false;
        }
        marks = settingMarks(queryText);
        // Counted and cut before the fill, so that a document the view
        // cannot hold is refused at once and the one shown stays.
        shown = viewText(assembleQueryDocument(std::move(queryText)));
    }
    if (!shown.fits) {
        showWarning(viewRefusalText(shown, path));
        return false;
    }
    loaded->path = path;
    loaded->marks = std::move(marks);
    loaded->document = std::move(shown.text);
    return true;
}

void BrindleQueryTool::showQuery(LoadedQuery loaded)
{
    const BusyCursor busy;
    QPlainTextEdit *view = ui->queryTextEdit;
    // Marks left on the old document would be moved along by every insertion.
    view->setExtraSelections({});
    showQueryDocument(view, loaded.document);

    QTextCharFormat marked;
    // Dark amber: the palette's white text stays readable on it, and the blue
    // of a selection still stands out.
    marked.setBackground(QColor(104, 80, 24));
    marked.setProperty(QTextFormat::FullWidthSelection, true);
    // One selection per run of marked lines, from the first line's start to
    // the start of the line after the run: the view lays out a block for
    // every selection it is given, and marks often come in runs.
    QList<QTextEdit::ExtraSelection> selections;
    const QVector<SettingMark> &marks = loaded.marks.marks;
    for (int first = 0, last = 0; first < marks.size(); first = ++last) {
        while (last + 1 < marks.size() && marks.at(last + 1).block == marks.at(last).block + 1)
            ++last;
        QTextCursor run(view->document()->findBlockByNumber(marks.at(first).block));
        run.setPosition(view->document()->findBlockByNumber(marks.at(last).block + 1).position(),
                        QTextCursor::KeepAnchor);
        selections.append({run, marked});
    }
    view->setExtraSelections(selections);
    shownMarks = std::move(loaded.marks);

    setWindowTitle(QStringLiteral("BrindleQueryTool ") + installedVersion +
                   QStringLiteral(" \u2014 ") + QFileInfo(loaded.path).fileName());
    setWindowFilePath(loaded.path);
}

QString BrindleQueryTool::markToolTip(int block) const
{
    const QVector<SettingMark> &marks = shownMarks.marks;
    const auto mark =
        std::lower_bound(marks.cbegin(), marks.cend(), block,
                         [](const SettingMark &m, int number) { return m.block < number; });
    if (mark == marks.cend() || mark->block != block)
        return QString();
    const SettingDifference &difference = shownMarks.differences.at(mark->difference);
    if (mark->section == SettingMark::Factory) {
        return difference.right.isEmpty()
                   ? tr("Not in the current settings")
                   : tr("Current value: %1").arg(boundedQuotedSettingValues(difference.right));
    }
    return difference.left.isEmpty()
               ? tr("Not in the factory settings")
               : tr("Factory value: %1").arg(boundedQuotedSettingValues(difference.left));
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
        // A tip guesses rich text, and rich text loads images by path: the
        // values are escaped into a paragraph that keeps their blanks.
        QToolTip::showText(help->globalPos(),
                           QStringLiteral("<p style='white-space:pre-wrap'>") +
                               text.toHtmlEscaped() + QStringLiteral("</p>"),
                           ui->queryTextEdit->viewport());
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

void BrindleQueryTool::on_actionOpen_triggered()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("Open a query ZIP file"),
                                                      fileDialogDirName, tr("ZIP files (*.zip)"));
    if (path.isEmpty())
        return;
    fileDialogDirName = QFileInfo(path).absolutePath();
    openQuery(path);
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
    openQuery(urls.constFirst().toLocalFile());
    event->acceptProposedAction();
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

void BrindleQueryTool::jumpTo(const QString &heading)
{
    ui->queryTextEdit->moveCursor(QTextCursor::Start, QTextCursor::MoveAnchor);
    findInView(ui->queryTextEdit, heading, {});
}

void BrindleQueryTool::on_actionJumpPrimary_triggered()
{
    jumpTo(primaryHeading);
}

void BrindleQueryTool::on_actionJumpShipped_triggered()
{
    jumpTo(shippedHeading);
}

void BrindleQueryTool::on_actionJumpLog_triggered()
{
    jumpTo(logHeading);
}
