#include "modalanswerer.h"
#include "queryfixture.h"
#include "testfiles.h"

#include "app/darkpalette.h"
#include "query/archive.h"
#include "query/querydocument.h"
#include "ui/brindlequerytool.h"
#include "ui/queryview.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

QByteArray queryWith(const QByteArray &primaryLines, const QByteArray &log)
{
    return "<command name=\"cat\" args=\"/opt/corvelle/sdcard/settings/primary\">\n" +
           primaryLines +
           "</command>\n<command name=\"journalctl\" args=\"-u corvelle-printer\"><![CDATA[" + log +
           "]]></command>\n";
}

const QString readFailure = QStringLiteral("Uh-oh|Couldn't read the query file.");
const QString notInArchive = QStringLiteral("Warning|Couldn't find printer in archive.");

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void openQuery_data();
    void openQuery();
    void dragEnter_data();
    void dragEnter();
    void dropOpensFirstFileAndIsAcceptedAfterFailure();
    void openDialogRemembersDirectory();
    void archiveLookup_data();
    void archiveLookup();
    void incrementalSearch();
    void search_data();
    void search();
    void paletteColours_data();
    void paletteColours();
    void actions_data();
    void actions();
    void viewIsReadOnlyAndUnwrapped();
    void ctrlFFocusesSearchFieldWithoutSearching();
    void quitClosesWindowAndEndsEventLoopWithZero();

private:
    QAction *action(const char *name) const { return window->findChild<QAction *>(name); }
    QPlainTextEdit *view() const { return window->findChild<QPlainTextEdit *>("queryTextEdit"); }
    QLineEdit *field() const { return window->findChild<QLineEdit *>("findLineEdit"); }
    QString fixture(const QString &name, const QByteArray &text, bool zipped) const;
    QPair<int, int> selection() const;

    QTemporaryDir settingsDir;
    QTemporaryDir *files = nullptr;
    BrindleQueryTool *window = nullptr;
    ModalAnswerer *answerer = nullptr;
};

void TestMainWindow::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, settingsDir.path());
    QVERIFY(QDir().mkpath(archivePath));
}

void TestMainWindow::init()
{
    files = new QTemporaryDir;
    window = new BrindleQueryTool;
    answerer = new ModalAnswerer;
}

void TestMainWindow::cleanup()
{
    QVERIFY2(answerer->unexpected.isEmpty(), qPrintable(answerer->unexpected.join(", ")));
    delete answerer;
    delete window;
    delete files;
    QDir(archivePath).removeRecursively();
    QDir().mkpath(archivePath);
}

QString TestMainWindow::fixture(const QString &name, const QByteArray &text, bool zipped) const
{
    const QString path = files->filePath(name);
    zipped ? writeZip(path, {{QStringLiteral("query.txt"), text}}) : writeFile(path, text);
    return path;
}

QPair<int, int> TestMainWindow::selection() const
{
    const QTextCursor cursor = view()->textCursor();
    return {cursor.selectionStart(), cursor.selectionEnd()};
}

void TestMainWindow::openQuery_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("zipped");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("readable");

    const QByteArray query = queryWith("  <s key=\"id-model-name\" value=\"Model A\"/>\n", "boot");
    QTest::newRow("txt -> replaces document") << "q.txt" << false << query << true;
    QTest::newRow("zip -> replaces document") << "q.zip" << true << query << true;
    QTest::newRow("xml -> read failure, document kept") << "q.xml" << false << query << false;
    QTest::newRow("empty txt -> read failure") << "q.txt" << false << QByteArray() << false;
    QTest::newRow("missing file -> read failure") << "" << false << QByteArray() << false;
    QTest::newRow("text named zip -> read failure") << "t.zip" << false << query << false;
}

void TestMainWindow::openQuery()
{
    QFETCH(QString, name);
    QFETCH(bool, zipped);
    QFETCH(QByteArray, content);
    QFETCH(bool, readable);

    window->openQuery(fixture("first.txt", queryWith("", "first log"), false));
    const QString first = view()->toPlainText();
    const QString path =
        name.isEmpty() ? files->filePath("missing.txt") : fixture(name, content, zipped);
    if (!readable)
        answerer->expectMessageBox();
    window->openQuery(path);

    QCOMPARE(answerer->pending(), 0);
    if (readable) {
        QCOMPARE(view()->toPlainText(), assembleQueryDocument(QString::fromUtf8(content)));
        QCOMPARE(view()->textCursor().position(), 0);
        QVERIFY(!view()->document()->isUndoAvailable());
    } else {
        QCOMPARE(answerer->boxes, QStringList{readFailure});
        QCOMPARE(view()->toPlainText(), first);
    }
}

void TestMainWindow::dragEnter_data()
{
    QTest::addColumn<QList<QUrl>>("urls");
    QTest::addColumn<bool>("accepted");

    const auto file = [](const char *path) {
        return QUrl::fromLocalFile(QString::fromUtf8(path));
    };
    QTest::newRow("zip -> accepted") << QList<QUrl>{file("/q/a.zip")} << true;
    QTest::newRow("txt -> accepted") << QList<QUrl>{file("/q/a.txt")} << true;
    QTest::newRow("TXT -> refused") << QList<QUrl>{file("/q/a.TXT")} << false;
    QTest::newRow("remote zip -> refused") << QList<QUrl>{QUrl("https://host/a.zip")} << false;
    QTest::newRow("txt then xml -> accepted")
        << QList<QUrl>{file("/q/a.txt"), file("/q/b.xml")} << true;
    QTest::newRow("xml then zip -> refused")
        << QList<QUrl>{file("/q/a.xml"), file("/q/b.zip")} << false;
    QTest::newRow("no urls -> refused") << QList<QUrl>{} << false;
}

void TestMainWindow::dragEnter()
{
    QFETCH(QList<QUrl>, urls);
    QFETCH(bool, accepted);

    QMimeData data;
    if (urls.isEmpty())
        data.setText(QStringLiteral("a.zip"));
    else
        data.setUrls(urls);
    QDragEnterEvent event(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    event.setAccepted(false);
    QCoreApplication::sendEvent(window, &event);
    QCOMPARE(event.isAccepted(), accepted);
}

// A drop reaches the widget that accepted the drag's enter event, so each
// drop is preceded by its drag enter, as in a real drag.
static bool dragAndDrop(QWidget *target, const QList<QUrl> &urls)
{
    QMimeData data;
    data.setUrls(urls);
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &enter);
    if (!enter.isAccepted())
        return false;
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    drop.setAccepted(false);
    QCoreApplication::sendEvent(target, &drop);
    return drop.isAccepted();
}

void TestMainWindow::dropOpensFirstFileAndIsAcceptedAfterFailure()
{
    const QString first = fixture("first.txt", queryWith("", "from the first file"), false);
    const QString second = fixture("second.txt", queryWith("", "from the second file"), false);
    QVERIFY(dragAndDrop(window, {QUrl::fromLocalFile(first), QUrl::fromLocalFile(second)}));
    QVERIFY(view()->toPlainText().contains(QLatin1String("from the first file")));
    QVERIFY(!view()->toPlainText().contains(QLatin1String("from the second file")));

    answerer->expectMessageBox();
    QVERIFY(dragAndDrop(window, {QUrl::fromLocalFile(files->filePath("missing.txt"))}));
    QCOMPARE(answerer->boxes, QStringList{readFailure});
    QVERIFY(view()->toPlainText().contains(QLatin1String("from the first file")));
}

void TestMainWindow::openDialogRemembersDirectory()
{
    const QString unreadable = fixture("picked/broken.zip", QByteArray(), false);
    QStringList directories;
    // Records where the dialog starts, then cancels it or picks the file.
    const auto answer = [&](bool pick) {
        answerer->expect([&directories, pick, unreadable](QWidget *widget) {
            auto *dialog = qobject_cast<QFileDialog *>(widget);
            QVERIFY(dialog);
            directories.append(dialog->directory().absolutePath());
            QCOMPARE(dialog->windowTitle(), QStringLiteral("Open a query ZIP file"));
            QCOMPARE(dialog->nameFilters(), QStringList{QStringLiteral("ZIP files (*.zip)")});
            if (!pick)
                return dialog->reject();
            dialog->selectFile(unreadable);
            QMetaObject::invokeMethod(dialog, "accept");
        });
        if (pick)
            answerer->expectMessageBox();
        action("actionOpen")->trigger();
    };

    // Cancelling keeps the directory; picking a file that cannot be read
    // still moves it to that file's folder.
    answer(false);
    answer(true);
    answer(false);

    QCOMPARE(answerer->pending(), 0);
    QCOMPARE(answerer->boxes, QStringList{readFailure});
    QCOMPARE(directories.size(), 3);
    QCOMPARE(directories.at(0), directories.at(1));
    QCOMPARE(directories.at(2), QFileInfo(unreadable).absolutePath());
}

void TestMainWindow::archiveLookup_data()
{
    QTest::addColumn<QString>("serial");
    QTest::addColumn<bool>("accept");
    QTest::addColumn<QString>("box");
    QTest::addColumn<bool>("opened");

    QTest::newRow("serial in archive -> document") << "BQ0000000001" << true << QString() << true;
    QTest::newRow("unknown serial -> warning") << "BQ9999999999" << true << notInArchive << false;
    QTest::newRow("archive file not a zip -> read failure")
        << "BQ0000000002" << true << readFailure << false;
    QTest::newRow("blank after serial -> warning")
        << "BQ0000000001 " << true << notInArchive << false;
    QTest::newRow("cancelled -> nothing") << "BQ0000000001" << false << QString() << false;
    QTest::newRow("../outside -> warning") << "../outside" << true << notInArchive << false;
    QTest::newRow("..\\outside -> warning") << "..\\outside" << true << notInArchive << false;
    QTest::newRow("sub/serial -> warning") << "sub/BQ0000000001" << true << notInArchive << false;
    QTest::newRow(".. -> warning") << ".." << true << notInArchive << false;
}

void TestMainWindow::archiveLookup()
{
    QFETCH(QString, serial);
    QFETCH(bool, accept);
    QFETCH(QString, box);
    QFETCH(bool, opened);

    const QByteArray query = queryWith("", "archived log");
    const auto zip = [&query](const QString &path) {
        return writeZip(path, {{QStringLiteral("query.txt"), query}});
    };
    QVERIFY(zip(archivePath + "/BQ0000000001.zip"));
    QVERIFY(writeFile(archivePath + "/BQ0000000002.zip", "no zip"));
    // Real query files just outside the archive folder, which an unchecked
    // serial would reach.
    QVERIFY(zip(archivePath + "/../outside.zip"));
    QVERIFY(zip(archivePath + "/../.zip"));
    QVERIFY(QDir(archivePath).mkdir("sub"));
    QVERIFY(zip(archivePath + "/sub/BQ0000000001.zip"));

    answerer->expect([&](QWidget *widget) {
        auto *dialog = qobject_cast<QInputDialog *>(widget);
        QVERIFY(dialog);
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Search for printer in Archivon archive"));
        QCOMPARE(dialog->labelText(), QStringLiteral("Printer serial:"));
        QVERIFY(dialog->textValue().isEmpty());
        dialog->setTextValue(serial);
        accept ? dialog->accept() : dialog->reject();
    });
    if (!box.isEmpty())
        answerer->expectMessageBox();
    action("actionOpenArchive")->trigger();

    QCOMPARE(answerer->pending(), 0);
    QCOMPARE(answerer->boxes, box.isEmpty() ? QStringList() : QStringList{box});
    QCOMPARE(view()->toPlainText().contains(QLatin1String("archived log")), opened);
    QFile::remove(archivePath + "/../outside.zip");
    QFile::remove(archivePath + "/../.zip");
}

void TestMainWindow::incrementalSearch()
{
    showQueryDocument(view(), QStringLiteral("abc abd ABC"));
    QTest::keyClicks(field(), "a");
    QCOMPARE(selection(), qMakePair(0, 1));
    QTest::keyClicks(field(), "b");
    QCOMPARE(selection(), qMakePair(0, 2));
    QTest::keyClicks(field(), "c");
    QCOMPARE(selection(), qMakePair(0, 3));
    QTest::keyClick(field(), Qt::Key_Backspace);
    QTest::keyClicks(field(), "d");
    QCOMPARE(selection(), qMakePair(4, 7));

    // A miss puts the cursor back where the move to the left left it.
    QTest::keyClicks(field(), "x");
    QCOMPARE(selection(), qMakePair(4, 4));
    QCOMPARE(field()->text(), QStringLiteral("abdx"));
}

void TestMainWindow::search_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("end");
    QTest::addColumn<QString>("term");
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("expectedStart");
    QTest::addColumn<int>("expectedEnd");

    const QString words = QStringLiteral("abc abd ABC");
    const char *next = "actionFindNext";
    const char *previous = "actionFindPrevious";
    QTest::newRow("abc next from first -> ABC") << words << 0 << 3 << "abc" << next << 8 << 11;
    QTest::newRow("abc next from last -> wraps to first")
        << words << 8 << 11 << "abc" << next << 0 << 3;
    QTest::newRow("abc previous from first -> wraps to last")
        << words << 0 << 3 << "abc" << previous << 8 << 11;
    QTest::newRow("single abd next -> stays") << words << 4 << 7 << "abd" << next << 4 << 7;
    QTest::newRow("single abd previous -> stays") << words << 4 << 7 << "abd" << previous << 4 << 7;
    QTest::newRow("absent -> selection kept") << words << 4 << 7 << "zzz" << next << 4 << 7;
    QTest::newRow("empty term -> cursor kept") << words << 5 << 5 << "" << next << 5 << 5;
    // The jumps search from the start of the document, in any letter case,
    // and leave the search field alone.
    const QString document =
        QStringLiteral("see the Log File\nPRIMARY (CURRENT) SETTINGS\nLOG FILE");
    QTest::newRow("jump primary -> heading") << document << 52 << 52 << "x"
                                             << "actionJumpPrimary" << 17 << 43;
    QTest::newRow("jump log -> earlier text in any case") << document << 52 << 52 << "x"
                                                          << "actionJumpLog" << 8 << 16;
    QTest::newRow("jump log without a log -> start")
        << QStringLiteral("no log here") << 5 << 5 << "x"
        << "actionJumpLog" << 0 << 0;
}

void TestMainWindow::search()
{
    QFETCH(QString, text);
    QFETCH(int, start);
    QFETCH(int, end);
    QFETCH(QString, term);
    QFETCH(QString, action);
    QFETCH(int, expectedStart);
    QFETCH(int, expectedEnd);

    showQueryDocument(view(), text);
    QTextCursor cursor(view()->document());
    cursor.setPosition(start);
    cursor.setPosition(end, QTextCursor::KeepAnchor);
    view()->setTextCursor(cursor);
    field()->setText(term);
    this->action(qPrintable(action))->trigger();
    QCOMPARE(selection(), qMakePair(expectedStart, expectedEnd));
    QCOMPARE(field()->text(), term);
}

void TestMainWindow::paletteColours_data()
{
    QTest::addColumn<int>("group");
    QTest::addColumn<int>("role");
    QTest::addColumn<QColor>("colour");

    // Each disabled colour is set after its role's colour for all groups, so
    // it must survive; the other groups keep the all-groups colour.
    const QColor grey(127, 127, 127);
    const QColor white(Qt::white);
    const int active = QPalette::Active, inactive = QPalette::Inactive;
    const int disabled = QPalette::Disabled;
    QTest::newRow("disabled WindowText -> grey") << disabled << int(QPalette::WindowText) << grey;
    QTest::newRow("active WindowText -> white") << active << int(QPalette::WindowText) << white;
    QTest::newRow("disabled Text -> grey") << disabled << int(QPalette::Text) << grey;
    QTest::newRow("inactive Text -> white") << inactive << int(QPalette::Text) << white;
    QTest::newRow("disabled ButtonText -> grey") << disabled << int(QPalette::ButtonText) << grey;
    QTest::newRow("disabled Highlight -> dark grey")
        << disabled << int(QPalette::Highlight) << QColor(80, 80, 80);
    QTest::newRow("active Highlight -> blue")
        << active << int(QPalette::Highlight) << QColor(42, 130, 218);
    QTest::newRow("disabled HighlightedText -> grey")
        << disabled << int(QPalette::HighlightedText) << grey;
    QTest::newRow("disabled Window -> as all")
        << disabled << int(QPalette::Window) << QColor(53, 53, 53);
    QTest::newRow("ToolTipText -> white, not black")
        << active << int(QPalette::ToolTipText) << white;
}

void TestMainWindow::paletteColours()
{
    QFETCH(int, group);
    QFETCH(int, role);
    QFETCH(QColor, colour);
    const QBrush brush =
        darkPalette().brush(QPalette::ColorGroup(group), QPalette::ColorRole(role));
    QCOMPARE(brush.color(), colour);
    QCOMPARE(brush.style(), Qt::SolidPattern);
}

void TestMainWindow::actions_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shortcut");
    QTest::addColumn<QString>("toolTip");
    QTest::addColumn<QString>("menu");
    QTest::addColumn<int>("position");

    // An action without a tool tip of its own shows its text, without the
    // mnemonic and the trailing dots.
    static const struct
    {
        const char *name, *text, *shortcut, *toolTip, *menu;
        int position;
    } rows[] = {
        {"actionOpen", "&Open query...", "Ctrl+O", "Open query", "menuFile", 0},
        {"actionOpenArchive", "Open from &archive...", "Ctrl+R",
         "Load a query file from the Archivon archive", "menuFile", 1},
        {"actionQuit", "&Quit", "Ctrl+Q", "Quit", "menuFile", 3},
        {"actionFind", "F&ind...", "Ctrl+F", "Find", "menuSearch", 0},
        {"actionFindNext", "Find &next", "F3", "Find next", "menuSearch", 1},
        {"actionFindPrevious", "Find &previous", "Shift+F3", "Find previous", "menuSearch", 2},
        {"actionJumpPrimary", "Go to &primary (current) settings", "Ctrl+P",
         "Go to primary (current) settings", "menu_Jump", 0},
        {"actionJumpShipped", "Go to &shipped (factory) settings", "Ctrl+S",
         "Jump to shipped (factory) settings", "menu_Jump", 1},
        {"actionJumpLog", "Go to &log", "Ctrl+L", "Go to log", "menu_Jump", 2},
    };
    for (const auto &row : rows) {
        QTest::newRow(row.name) << row.name << row.text << row.shortcut << row.toolTip << row.menu
                                << row.position;
    }
}

void TestMainWindow::actions()
{
    QFETCH(QString, action);
    QFETCH(QString, text);
    QFETCH(QString, shortcut);
    QFETCH(QString, toolTip);
    QFETCH(QString, menu);
    QFETCH(int, position);

    auto *a = window->findChild<QAction *>(action);
    QVERIFY(a);
    QCOMPARE(a->text(), text);
    QCOMPARE(a->shortcut(), QKeySequence(shortcut));
    QCOMPARE(a->toolTip(), toolTip);
    auto *m = window->findChild<QMenu *>(menu);
    QVERIFY(m && position < m->actions().size());
    QCOMPARE(m->actions().at(position), a);

    const QList<QAction *> bar = window->menuBar()->actions();
    QCOMPARE(bar.size(), 3);
    QCOMPARE(bar.at(0)->text() + bar.at(1)->text() + bar.at(2)->text(),
             QStringLiteral("&File&Search&Go to"));
    QVERIFY(window->findChild<QMenu *>("menuFile")->actions().at(2)->isSeparator());
}

void TestMainWindow::viewIsReadOnlyAndUnwrapped()
{
    auto *view = window->findChild<QPlainTextEdit *>("queryTextEdit");
    QVERIFY(view);
    view->setPlainText(QString(5000, QLatin1Char('x')) + "\nsecond");
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    view->setFocus();
    QTest::keyClicks(view, "typed");
    QCOMPARE(view->toPlainText(), QString(5000, QLatin1Char('x')) + "\nsecond");
    QCOMPARE(view->document()->blockCount(), 2);
    QVERIFY(view->horizontalScrollBar()->maximum() > 0);
    QCOMPARE(view->placeholderText(),
             QStringLiteral("Tip: you can drag a query file onto here to quickly open it."));
}

void TestMainWindow::ctrlFFocusesSearchFieldWithoutSearching()
{
    auto *view = window->findChild<QPlainTextEdit *>("queryTextEdit");
    auto *field = window->findChild<QLineEdit *>("findLineEdit");
    view->setPlainText("abc abd ABC");
    field->setText("abd");
    window->show();
    QApplication::setActiveWindow(window);
    QVERIFY(QTest::qWaitForWindowActive(window));
    view->setFocus();
    QTRY_VERIFY(view->hasFocus());

    QTest::keyClick(window, Qt::Key_F, Qt::ControlModifier);
    QTRY_VERIFY(field->hasFocus());
    QCOMPARE(view->textCursor().position(), 0);
    QVERIFY(!view->textCursor().hasSelection());

    // Tab leaves the field for the view, and the view passes Tab on.
    QTest::keyClick(field, Qt::Key_Tab);
    QTRY_VERIFY(view->hasFocus());
    QCOMPARE(view->toPlainText(), QStringLiteral("abc abd ABC"));
}

void TestMainWindow::quitClosesWindowAndEndsEventLoopWithZero()
{
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    auto *quit = window->findChild<QAction *>("actionQuit");
    QTimer::singleShot(0, quit, &QAction::trigger);
    QCOMPARE(QApplication::exec(), 0);
    QVERIFY(!window->isVisible());
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
