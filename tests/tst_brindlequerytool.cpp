#include "modalanswerer.h"
#include "queryfixture.h"
#include "testfiles.h"

#include "query/archive.h"
#include "query/querydocument.h"
#include "ui/brindlequerytool.h"
#include "ui/queryview.h"

#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

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

class TestBrindleQueryTool : public QObject
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
    void findWrapsAround_data();
    void findWrapsAround();
    void jumps_data();
    void jumps();

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

void TestBrindleQueryTool::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, settingsDir.path());
    QVERIFY(QDir().mkpath(archivePath));
}

void TestBrindleQueryTool::init()
{
    files = new QTemporaryDir;
    window = new BrindleQueryTool;
    answerer = new ModalAnswerer;
}

void TestBrindleQueryTool::cleanup()
{
    QVERIFY2(answerer->unexpected.isEmpty(), qPrintable(answerer->unexpected.join(", ")));
    delete answerer;
    delete window;
    delete files;
    QDir(archivePath).removeRecursively();
    QDir().mkpath(archivePath);
}

QString TestBrindleQueryTool::fixture(const QString &name, const QByteArray &text,
                                      bool zipped) const
{
    const QString path = files->filePath(name);
    zipped ? writeZip(path, {{QStringLiteral("query.txt"), text}}) : writeFile(path, text);
    return path;
}

QPair<int, int> TestBrindleQueryTool::selection() const
{
    const QTextCursor cursor = view()->textCursor();
    return {cursor.selectionStart(), cursor.selectionEnd()};
}

void TestBrindleQueryTool::openQuery_data()
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

void TestBrindleQueryTool::openQuery()
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

void TestBrindleQueryTool::dragEnter_data()
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

void TestBrindleQueryTool::dragEnter()
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

void TestBrindleQueryTool::dropOpensFirstFileAndIsAcceptedAfterFailure()
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

void TestBrindleQueryTool::openDialogRemembersDirectory()
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

void TestBrindleQueryTool::archiveLookup_data()
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

void TestBrindleQueryTool::archiveLookup()
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

void TestBrindleQueryTool::incrementalSearch()
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

void TestBrindleQueryTool::findWrapsAround_data()
{
    QTest::addColumn<QString>("term");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("end");
    QTest::addColumn<bool>("backward");
    QTest::addColumn<int>("expectedStart");
    QTest::addColumn<int>("expectedEnd");

    QTest::newRow("abc next from first -> ABC") << "abc" << 0 << 3 << false << 8 << 11;
    QTest::newRow("abc next from last -> wraps to first") << "abc" << 8 << 11 << false << 0 << 3;
    QTest::newRow("abc previous from first -> wraps to last") << "abc" << 0 << 3 << true << 8 << 11;
    QTest::newRow("single abd next -> stays") << "abd" << 4 << 7 << false << 4 << 7;
    QTest::newRow("single abd previous -> stays") << "abd" << 4 << 7 << true << 4 << 7;
    QTest::newRow("absent next -> selection kept") << "zzz" << 4 << 7 << false << 4 << 7;
    QTest::newRow("empty term -> cursor kept") << "" << 5 << 5 << false << 5 << 5;
}

void TestBrindleQueryTool::findWrapsAround()
{
    QFETCH(QString, term);
    QFETCH(int, start);
    QFETCH(int, end);
    QFETCH(bool, backward);
    QFETCH(int, expectedStart);
    QFETCH(int, expectedEnd);

    showQueryDocument(view(), QStringLiteral("abc abd ABC"));
    QTextCursor cursor(view()->document());
    cursor.setPosition(start);
    cursor.setPosition(end, QTextCursor::KeepAnchor);
    view()->setTextCursor(cursor);
    field()->setText(term);
    action(backward ? "actionFindPrevious" : "actionFindNext")->trigger();
    QCOMPARE(selection(), qMakePair(expectedStart, expectedEnd));
}

void TestBrindleQueryTool::jumps_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("selected");

    const QByteArray settings = "  key=\"note\" value=\"see the Log File below\"\n";
    QTest::newRow("primary -> heading") << queryWith(settings, "x") << "actionJumpPrimary"
                                        << "PRIMARY (CURRENT) SETTINGS";
    QTest::newRow("log -> earlier text in any case") << queryWith(settings, "x") << "actionJumpLog"
                                                     << "Log File";
    QTest::newRow("log without log section -> nothing")
        << queryWith("", "") << "actionJumpLog" << QString();
}

void TestBrindleQueryTool::jumps()
{
    QFETCH(QByteArray, query);
    QFETCH(QString, action);
    QFETCH(QString, selected);

    window->openQuery(fixture("q.txt", query, false));
    QTextCursor end(view()->document());
    end.movePosition(QTextCursor::End);
    view()->setTextCursor(end);
    field()->setText(QStringLiteral("unchanged"));

    this->action(qPrintable(action))->trigger();
    const QTextCursor cursor = view()->textCursor();
    QCOMPARE(cursor.selectedText(), selected);
    if (selected.isEmpty())
        QCOMPARE(cursor.position(), 0);
    else if (selected == QLatin1String("Log File"))
        QVERIFY(cursor.selectionStart() < view()->toPlainText().indexOf(logHeading));
    QCOMPARE(field()->text(), QStringLiteral("unchanged"));
}

QTEST_MAIN(TestBrindleQueryTool)
#include "tst_brindlequerytool.moc"
