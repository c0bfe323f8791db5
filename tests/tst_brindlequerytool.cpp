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

bool writeZip(const QString &path, const QByteArray &text)
{
    return writeZip(path, {{QStringLiteral("query.txt"), text}});
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
    void failedSecondOpenKeepsFirstDocument();
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
    QString fixture(const QString &name, const QByteArray &text) const;
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

QString TestBrindleQueryTool::fixture(const QString &name, const QByteArray &text) const
{
    const QString path = files->filePath(name);
    if (name.endsWith(QLatin1String(".zip")))
        writeZip(path, text);
    else
        writeFile(path, text);
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
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("box");

    const QByteArray query =
        queryWith("  <s key=\"id-model-name\" value=\"Model A\"/>\n", "boot\n");
    QTest::newRow("txt -> document") << "q.txt" << query << QString();
    QTest::newRow("zip -> document") << "q.zip" << query << QString();
    QTest::newRow("xml -> read failure") << "q.xml" << query << readFailure;
    QTest::newRow("empty txt -> read failure") << "q.txt" << QByteArray() << readFailure;
    QTest::newRow("missing file -> read failure") << "" << QByteArray() << readFailure;
    QTest::newRow("text named zip -> read failure")
        << "t.zip" << QByteArray("not a zip") << readFailure;
}

void TestBrindleQueryTool::openQuery()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QString, box);

    QString path = files->filePath(QStringLiteral("missing.txt"));
    if (!name.isEmpty())
        path = name == QLatin1String("t.zip")
                   ? (writeFile(files->filePath(name), content), files->filePath(name))
                   : fixture(name, content);
    if (!box.isEmpty())
        answerer->expectMessageBox();
    window->openQuery(path);

    QCOMPARE(answerer->pending(), 0);
    if (box.isEmpty()) {
        QCOMPARE(view()->toPlainText(), assembleQueryDocument(QString::fromUtf8(content)));
        QCOMPARE(view()->textCursor().position(), 0);
        QVERIFY(!view()->document()->isUndoAvailable());
    } else {
        QCOMPARE(answerer->boxes, QStringList{box});
        QVERIFY(view()->toPlainText().isEmpty());
    }
}

void TestBrindleQueryTool::failedSecondOpenKeepsFirstDocument()
{
    window->openQuery(fixture("first.txt", queryWith("  key=\"a\" value=\"1\"\n", "first log")));
    const QString first = view()->toPlainText();
    QVERIFY(first.contains(QLatin1String("first log")));

    answerer->expectMessageBox();
    window->openQuery(fixture("second.txt", QByteArray()));
    QCOMPARE(answerer->boxes, QStringList{readFailure});
    QCOMPARE(view()->toPlainText(), first);

    window->openQuery(fixture("third.txt", queryWith("", "third log")));
    QVERIFY(!view()->toPlainText().contains(QLatin1String("first log")));
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
    QTest::newRow("Zip -> refused") << QList<QUrl>{file("/q/a.Zip")} << false;
    QTest::newRow("xml -> refused") << QList<QUrl>{file("/q/a.xml")} << false;
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
    const QString first = fixture("first.txt", queryWith("", "from the first file"));
    const QString second = fixture("second.txt", queryWith("", "from the second file"));
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
    QDir(files->path()).mkdir(QStringLiteral("picked"));
    const QString unreadable = fixture("picked/broken.zip", QByteArray());
    QStringList directories;
    const auto recordDirectory = [&directories](QWidget *widget) {
        auto *dialog = qobject_cast<QFileDialog *>(widget);
        QVERIFY(dialog);
        directories.append(dialog->directory().absolutePath());
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Open a query ZIP file"));
        QCOMPARE(dialog->nameFilters(), QStringList{QStringLiteral("ZIP files (*.zip)")});
    };

    // Cancelling keeps the directory; picking a file that cannot be read
    // still moves it to that file's folder.
    answerer->expect([&](QWidget *widget) {
        recordDirectory(widget);
        qobject_cast<QDialog *>(widget)->reject();
    });
    action("actionOpen")->trigger();
    answerer->expect([&](QWidget *widget) {
        recordDirectory(widget);
        auto *dialog = qobject_cast<QFileDialog *>(widget);
        dialog->setDirectory(files->filePath("picked"));
        dialog->selectFile(unreadable);
        QMetaObject::invokeMethod(dialog, "accept");
    });
    answerer->expectMessageBox();
    action("actionOpen")->trigger();
    answerer->expect([&](QWidget *widget) {
        recordDirectory(widget);
        qobject_cast<QDialog *>(widget)->reject();
    });
    action("actionOpen")->trigger();

    QCOMPARE(answerer->pending(), 0);
    QCOMPARE(answerer->boxes, QStringList{readFailure});
    QCOMPARE(directories.size(), 3);
    QCOMPARE(directories.at(0), directories.at(1));
    QCOMPARE(directories.at(2), QFileInfo(files->filePath("picked")).absoluteFilePath());
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
    QTest::newRow("empty serial -> nothing") << "" << true << QString() << false;
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
    QVERIFY(writeZip(archivePath + "/BQ0000000001.zip", query));
    QVERIFY(writeFile(archivePath + "/BQ0000000002.zip", "no zip"));
    // Real query files just outside the archive folder, which an unchecked
    // serial would reach.
    QVERIFY(writeZip(archivePath + "/../outside.zip", query));
    QVERIFY(writeZip(archivePath + "/../.zip", query));
    QVERIFY(QDir(archivePath).mkdir("sub"));
    QVERIFY(writeZip(archivePath + "/sub/BQ0000000001.zip", query));

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
    QTest::newRow("abc previous from last -> first") << "abc" << 8 << 11 << true << 0 << 3;
    QTest::newRow("single abd next -> stays") << "abd" << 4 << 7 << false << 4 << 7;
    QTest::newRow("single abd previous -> stays") << "abd" << 4 << 7 << true << 4 << 7;
    QTest::newRow("absent next -> selection kept") << "zzz" << 4 << 7 << false << 4 << 7;
    QTest::newRow("absent previous -> selection kept") << "zzz" << 4 << 7 << true << 4 << 7;
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
    QTest::newRow("shipped -> heading") << queryWith(settings, "x") << "actionJumpShipped"
                                        << "SHIPPED (FACTORY) SETTINGS";
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

    window->openQuery(fixture("q.txt", query));
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
