#include "app/darkpalette.h"
#include "ui/brindlequerytool.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void paletteColours_data();
    void paletteColours();
    void actions_data();
    void actions();
    void viewIsReadOnlyAndUnwrapped();
    void ctrlFFocusesSearchFieldWithoutSearching();
    void quitClosesWindowAndEndsEventLoopWithZero();

private:
    QTemporaryDir settingsDir;
    BrindleQueryTool *window = nullptr;
};

void TestMainWindow::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, settingsDir.path());
}

void TestMainWindow::init()
{
    window = new BrindleQueryTool;
}

void TestMainWindow::cleanup()
{
    delete window;
    window = nullptr;
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
