#include "modalanswerer.h"
#include "queryfixture.h"
#include "testfiles.h"

#include "app/darkpalette.h"
#include "query/archive.h"
#include "query/querydocument.h"
#include "ui/brindlequerytool.h"
#include "ui/queryview.h"

#include <QtTest>
#include <QtWidgets>

#include <atomic>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// The entry point switches these on before the application exists.
[[maybe_unused]] const bool highDpi = [] {
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    return true;
}();

const QString readFailure = QStringLiteral("Uh-oh|Couldn't read the query file.\n");
const QString notAZip = readFailure + "It is not a ZIP archive, or the archive is damaged.";
const QString notInArchive = QStringLiteral("Warning|Couldn't find printer in archive.");

// Settings of every kind of difference, in four groups; stats-jobs is an
// unchanged line between two changed ones.
const QByteArray markedShipped =
    settingLines({"id-model-name=Model A", "sales-region=north", "stats-cards=1", "stats-cards=2",
                  "stats-jobs=7", "stats-pages=5", "volume=3"});
const QByteArray markedPrimary =
    settingLines({"id-model-name=Model A", "sales-region=south", "stats-cards=3", "stats-cards=1",
                  "stats-jobs=7", "stats-pages=6", "sleep=on"});
const QStringList markedLines = {
    "sales-region\tsouth -> Factory value: \"north\"",
    "stats-cards\t1 -> Factory value: \"1\" \"2\"",
    "stats-cards\t3 -> Factory value: \"1\" \"2\"",
    "stats-pages\t6 -> Factory value: \"5\"",
    "sleep\ton -> Not in the factory settings",
    "sales-region\tnorth -> Current value: \"south\"",
    "stats-cards\t1 -> Current value: \"1\" \"3\"",
    "stats-cards\t2 -> Current value: \"1\" \"3\"",
    "stats-pages\t5 -> Current value: \"6\"",
    "volume\t3 -> Not in the current settings",
};

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, settingsDir.path());
        QVERIFY(QDir().mkpath(archivePath));
        QCOMPARE(mkfifo(QFile::encodeName(pipe()).constData(), 0600), 0);
    }

    void init()
    {
        files = new QTemporaryDir;
        window = new BrindleQueryTool;
        answerer = new ModalAnswerer;
    }

    void cleanup()
    {
        QVERIFY2(answerer->unexpected.isEmpty(), qPrintable(answerer->unexpected.join(", ")));
        delete answerer;
        delete window;
        delete files;
        QDir(archivePath).removeRecursively();
        QDir().mkpath(archivePath);
    }

    // Catches a document not replaced or left with its cursor at the end or an
    // undo history; a failed open that changes the document, its marks or the
    // title; a title without the file's name; marks on the wrong lines (a run
    // that covers an unchanged line), for the wrong keys or with the wrong tool
    // tip, or left over from the last query; a tip that renders markup or reads
    // the file an image names (a named pipe: the hover would hang), or that
    // shows a whole long value or every value of a key.
    void openQuery_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("shipped");
        QTest::addColumn<QByteArray>("primary");
        QTest::addColumn<QStringList>("marked");

        const auto row = [](const char *name, const char *file, const QByteArray &shipped,
                            const QByteArray &primary, const QStringList &marked) {
            QTest::newRow(name) << QString(file) << shipped << primary << marked;
        };
        // Each row opens after a query with every kind of difference.
        row("zip -> document, title, marks with the factory side", "q.zip", markedShipped,
            markedPrimary, markedLines);
        row("no shipped section -> old marks gone", "q.txt", {}, markedPrimary, {});
        row("no primary section -> no marks", "q.txt", markedShipped, {}, {});
        row("missing file -> warning; document, title and marks kept", "", {}, {}, markedLines);

        const QString markup = "<img src='" + pipe() + "'><b>B</b>&amp;";
        const QString emoji = QString(199, 'x') + QStringLiteral("\U0001F600") + QString(800, 'y');
        QByteArrayList many;
        QStringList tips = {
            "long\tshort -> Factory value: \"" + QString(199, 'x') +
                "\"\u2026 [801 more characters]",
            "many\tw -> Factory value: \"v01\" \"v02\" \"v03\" \"v04\" \"v05\" \"v06\" \"v07\" "
            "\"v08\" \"v09\" \"v10\" \u2026 and 2 more values",
            "markup\tplain -> Factory value: \"" + markup + '"',
            "long\t" + emoji + " -> Current value: \"short\""};
        for (const char *value :
             {"v01", "v02", "v03", "v04", "v05", "v06", "v07", "v08", "v09", "v10", "v11", "v12"}) {
            many << QByteArray("many=") + value;
            tips << QStringLiteral("many\t%1 -> Current value: \"w\"").arg(value);
        }
        tips << "markup\t" + markup + " -> Current value: \"plain\"";
        row("markup, long and many values -> tips as written, cut", "q.txt",
            settingLines(QByteArrayList{"long=" + emoji.toUtf8()} + many +
                         QByteArrayList{"markup=" + markup.toUtf8()}),
            settingLines({"long=short", "many=w", "markup=plain"}), tips);
    }

    void openQuery()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, shipped);
        QFETCH(QByteArray, primary);
        QFETCH(QStringList, marked);

        const QString title = window->windowTitle();
        const QByteArray first = queryText(markedShipped, markedPrimary, "first log");
        const QString firstPath = fixture("first.txt", first, false);
        window->openQuery(firstPath);
        const QByteArray query = queryText(shipped, primary, "boot");
        const QString path = name.isEmpty() ? files->filePath("missing.txt")
                                            : fixture(name, query, name.endsWith("zip"));
        if (name.isEmpty())
            answerer->expectMessageBox();
        window->openQuery(path);

        QCOMPARE(answerer->boxes, name.isEmpty()
                                      ? QStringList{readFailure + "The file does not exist."}
                                      : QStringList());
        const QString shown = name.isEmpty() ? firstPath : path;
        QCOMPARE(view()->toPlainText(),
                 assembleQueryDocument(QString::fromUtf8(name.isEmpty() ? first : query)));
        QCOMPARE(view()->textCursor().position(), 0);
        QVERIFY(!view()->document()->isUndoAvailable());
        QCOMPARE(window->windowTitle(),
                 title + QStringLiteral(" \u2014 ") + QFileInfo(shown).fileName());
        QCOMPARE(window->windowFilePath(), shown);

        // Each marked line with the tool tip that hovering over it shows, as
        // plain text. A tip that opens the pipe blocks until a writer comes:
        // after a deadline writers keep coming, and the test fails instead of
        // hanging.
        std::promise<void> hovered;
        std::atomic<bool> rescued{false};
        std::thread rescue([&rescued, done = hovered.get_future(), pipe = pipe()] {
            if (done.wait_for(std::chrono::seconds(5)) == std::future_status::ready)
                return;
            do {
                const int writer = open(QFile::encodeName(pipe).constData(), O_WRONLY | O_NONBLOCK);
                if (writer >= 0 && close(writer) == 0)
                    rescued = true;
            } while (done.wait_for(std::chrono::milliseconds(10)) == std::future_status::timeout);
        });
        QStringList lines;
        for (const QTextEdit::ExtraSelection &mark : view()->extraSelections()) {
            QTextBlock line = view()->document()->findBlock(mark.cursor.selectionStart());
            for (; line.isValid() && line.position() < mark.cursor.selectionEnd();
                 line = line.next()) {
                view()->setTextCursor(QTextCursor(line));
                const QPoint at = view()->cursorRect().center();
                QHelpEvent hover(QEvent::ToolTip, at, view()->viewport()->mapToGlobal(at));
                QCoreApplication::sendEvent(view()->viewport(), &hover);
                lines << line.text() + " -> " +
                             QTextDocumentFragment::fromHtml(QToolTip::text()).toPlainText();
            }
        }
        hovered.set_value();
        rescue.join();
        QVERIFY2(!rescued, "a tip opened the named pipe");
        QCOMPARE(lines, marked);
    }

    // Catches a drag accepted by the wrong test (suffix case, a later URL, a
    // remote URL), a drop that opens another file than the first or is not
    // accepted after a failed open, and a drop without a URL that opens anything.
    void dragAndDrop_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("shown");

        // Files named a.* hold the log "a", b.* the log "b"; missing.txt is absent.
        QTest::newRow("zip -> opened") << QStringList{"a.zip"} << true << "a";
        QTest::newRow("txt, zip -> first opened") << QStringList{"b.txt", "a.zip"} << true << "b";
        QTest::newRow("TXT -> refused") << QStringList{"a.TXT"} << false << "";
        QTest::newRow("xml then zip -> refused") << QStringList{"a.xml", "b.zip"} << false << "";
        QTest::newRow("remote zip -> refused") << QStringList{"https://h/a.zip"} << false << "";
        QTest::newRow("unreadable -> warning") << QStringList{"missing.txt"} << true << "";
        QTest::newRow("uri-list without a URL -> drop ignored") << QStringList{} << false << "";
    }

    void dragAndDrop()
    {
        QFETCH(QStringList, names);
        QFETCH(bool, accepted);
        QFETCH(QString, shown);

        QList<QUrl> urls;
        for (const QString &name : names) {
            urls << (name.startsWith("https:") ? QUrl(name)
                                               : QUrl::fromLocalFile(files->filePath(name)));
            if (name != QLatin1String("missing.txt"))
                fixture(name, queryText({}, {}, name.left(1).toUtf8()), name.endsWith("zip"));
        }
        QMimeData data;
        urls.isEmpty() ? data.setData(QStringLiteral("text/uri-list"), "\r\n") : data.setUrls(urls);
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton,
                              Qt::NoModifier);
        enter.setAccepted(false);
        QCoreApplication::sendEvent(window, &enter);
        QCOMPARE(enter.isAccepted(), accepted);
        // A real drop follows only an accepted drag enter; the one without a URL
        // is handed to the window all the same, past the application's dispatch.
        if (accepted && shown.isEmpty())
            answerer->expectMessageBox();
        if (accepted || urls.isEmpty()) {
            QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            drop.setAccepted(false);
            static_cast<QObject *>(window)->event(&drop);
            QCOMPARE(drop.isAccepted(), accepted);
        }
        QCOMPARE(answerer->pending(), 0);
        QCOMPARE(view()->toPlainText().contains("LOG FILE\n\n" + shown + "\n"), !shown.isEmpty());
    }

    // Catches the open dialog's folder not moved to a picked file's folder, or
    // moved by a cancel, and the folder, position and size not stored for the
    // next start or not read back.
    void openDialogFolderIsKeptForTheNextStart()
    {
        const QString unreadable = fixture("picked/broken.zip", QByteArray(), false);
        QStringList directories;
        // Records where the dialog starts, then cancels it or picks the file.
        const auto answer = [&](bool pick) {
            answerer->expect([&directories, pick, unreadable](QWidget *widget) {
                auto *dialog = qobject_cast<QFileDialog *>(widget);
                QVERIFY(dialog);
                directories.append(dialog->directory().absolutePath());
                QCOMPARE(dialog->nameFilters(), QStringList{QStringLiteral("ZIP files (*.zip)")});
                if (!pick)
                    return dialog->reject();
                dialog->selectFile(unreadable);
                QMetaObject::invokeMethod(dialog, "accept");
            });
            if (pick)
                answerer->expectMessageBox();
            press("Ctrl+O");
        };

        // Picking a file that cannot be read still moves the folder to that
        // file's folder, and cancelling then keeps it.
        answer(true);
        answer(false);
        QCOMPARE(answerer->pending(), 0);
        QCOMPARE(answerer->boxes, QStringList{notAZip});
        QCOMPARE(directories.value(1), QFileInfo(unreadable).absolutePath());

        // Qt's dialog remembers the folder only within a run: the next start
        // must find the window state stored, and start in the stored folder.
        window->resize(500, 400);
        window->move(window->pos() + QPoint(40, 30));
        const QPoint position = window->pos();
        delete std::exchange(window, nullptr);
        {
            QSettings stored(QStringLiteral("Corvelle"), QStringLiteral("BrindleQueryTool"));
            QCOMPARE(stored.value("fileDialogDirName").toString(), directories.at(1));
            QCOMPARE(stored.value("size").toSize(), QSize(500, 400));
            QCOMPARE(stored.value("pos").toPoint(), position);
            stored.setValue("fileDialogDirName", files->path());
        }
        window = new BrindleQueryTool;
        answer(false);
        QCOMPARE(directories.value(2), QDir(files->path()).absolutePath());
    }

    // Catches an unsafe serial reaching a file outside the archive folder, a
    // trimmed serial, and the wrong box for a missing or unreadable archive file.
    void archiveLookup_data()
    {
        QTest::addColumn<QString>("serial");
        QTest::addColumn<bool>("accept");
        QTest::addColumn<QString>("box");
        QTest::addColumn<bool>("opened");

        const auto row = [](const char *name, const char *serial, bool accept, const QString &box) {
            QTest::newRow(name) << QString(serial) << accept << box << (accept && box.isEmpty());
        };
        row("serial in archive -> document", "BQ0000000001", true, {});
        row("unknown serial -> warning", "BQ9999999999", true, notInArchive);
        row("archive file not a zip -> read failure", "BQ0000000002", true, notAZip);
        row("blank after serial -> warning", "BQ0000000001 ", true, notInArchive);
        row("cancelled -> nothing", "BQ0000000001", false, {});
        row("../outside -> warning", "../outside", true, notInArchive);
    }

    void archiveLookup()
    {
        QFETCH(QString, serial);
        QFETCH(bool, accept);
        QFETCH(QString, box);
        QFETCH(bool, opened);

        const QByteArray query = queryText({}, {}, "archived log");
        const auto zip = [&query](const QString &path) {
            return writeZip(path, {{QStringLiteral("query.txt"), query}});
        };
        QVERIFY(zip(archivePath + "/BQ0000000001.zip"));
        QVERIFY(writeFile(archivePath + "/BQ0000000002.zip", "no zip"));
        // A real query file just outside the archive folder, which an unchecked
        // serial would reach.
        QVERIFY(zip(archivePath + "/../outside.zip"));

        answerer->expect([&](QWidget *widget) {
            auto *dialog = qobject_cast<QInputDialog *>(widget);
            QVERIFY(dialog && dialog->textValue().isEmpty());
            dialog->setTextValue(serial);
            accept ? dialog->accept() : dialog->reject();
        });
        if (!box.isEmpty())
            answerer->expectMessageBox();
        press("Ctrl+R");

        QCOMPARE(answerer->pending(), 0);
        QCOMPARE(answerer->boxes, box.isEmpty() ? QStringList() : QStringList{box});
        QCOMPARE(view()->toPlainText().contains(QLatin1String("archived log")), opened);
        QFile::remove(archivePath + "/../outside.zip");
    }

    // Catches find losing the cursor or the case folding, a wrong wrap-around,
    // typing that does not search from the current match, a jump that searches
    // from the cursor or changes the search field, a wrong shortcut, and Ctrl+F
    // not reaching the search field, or searching.
    void search_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("term");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("after");

        // [ and ] mark the selection. Keys are a shortcut, or a letter the user
        // types into the search field.
        const auto row = [](const char *name, const char *before, const char *term,
                            const char *keys, const char *after) {
            QTest::newRow(name) << QString(before) << QString(term) << QString(keys)
                                << QString(after);
        };
        row("F3 from first -> ABC", "[abc] abd ABC", "abc", "F3", "abc abd [ABC]");
        row("F3 from last -> wraps", "abc abd [ABC]", "abc", "F3", "[abc] abd ABC");
        row("Shift+F3 from first -> wraps", "[abc] abd ABC", "abc", "Shift+F3", "abc abd [ABC]");
        row("single, F3 -> stays", "abc [abd] ABC", "abd", "F3", "abc [abd] ABC");
        row("absent -> selection kept", "abc [abd] ABC", "zzz", "F3", "abc [abd] ABC");
        row("Ctrl+F -> field focused, nothing found", "[ab]c abd ABC", "abd", "Ctrl+F",
            "[ab]c abd ABC");
        // Typing searches again from the start of the current match.
        row("typed c -> grows in place", "[ab]c abd ABC", "ab", "c", "[abc] abd ABC");
        row("typed d -> moves to abd", "[ab]c abd ABC", "ab", "d", "abc [abd] ABC");
        row("typed x -> miss, cursor at the match", "abc [abd] ABC", "abd", "x", "abc []abd ABC");
        // The jumps search from the start of the document, in any letter case.
        row("Ctrl+P -> primary heading", "see the Log File\nPRIMARY (CURRENT) SETTINGS\nLOG FILE[]",
            "x", "Ctrl+P", "see the Log File\n[PRIMARY (CURRENT) SETTINGS]\nLOG FILE");
        row("Ctrl+S -> shipped heading", "PRIMARY (CURRENT) SETTINGS\nSHIPPED (FACTORY) SETTINGS[]",
            "x", "Ctrl+S", "PRIMARY (CURRENT) SETTINGS\n[SHIPPED (FACTORY) SETTINGS]");
        row("Ctrl+L -> earlier text in any case", "see the Log File\nLOG FILE[]", "x", "Ctrl+L",
            "see the [Log File]\nLOG FILE");
        row("Ctrl+L without a log -> start", "no l[]og here", "x", "Ctrl+L", "[]no log here");
    }

    void search()
    {
        QFETCH(QString, before);
        QFETCH(QString, term);
        QFETCH(QString, keys);
        QFETCH(QString, after);

        QString text = before;
        showQueryDocument(view(), text.remove('[').remove(']'));
        QTextCursor cursor(view()->document());
        cursor.setPosition(before.indexOf('['));
        cursor.setPosition(before.indexOf(']') - 1, QTextCursor::KeepAnchor);
        view()->setTextCursor(cursor);
        view()->setFocus();
        field()->setText(term);
        const bool typed = keys.size() == 1;
        typed ? QTest::keyClicks(field(), keys) : press(keys);
        if (!typed)
            QTRY_COMPARE(field()->hasFocus(), keys == "Ctrl+F");
        const QTextCursor found = view()->textCursor();
        QCOMPARE(text.insert(found.selectionEnd(), ']').insert(found.selectionStart(), '['), after);
        QCOMPARE(field()->text(), typed ? term + keys : term);
    }

    // Catches a disabled colour overwritten by its role's colour for all groups,
    // and a wrong highlight or tool tip text colour.
    void paletteColours()
    {
        // A disabled colour is set after its role's colour for all groups, so it
        // must survive, and the other groups keep the all-groups colour.
        const QPalette palette = darkPalette();
        QCOMPARE(palette.color(QPalette::Disabled, QPalette::Text), QColor(127, 127, 127));
        QCOMPARE(palette.color(QPalette::Inactive, QPalette::Text), QColor(Qt::white));
        QCOMPARE(palette.color(QPalette::Active, QPalette::Highlight), QColor(42, 130, 218));
        QCOMPARE(palette.color(QPalette::Active, QPalette::ToolTipText), QColor(Qt::white));
        QCOMPARE(palette.brush(QPalette::Active, QPalette::Base).style(), Qt::SolidPattern);
    }

private:
    // Presses keys in the active window, as the user does.
    void press(const QString &keys)
    {
        window->show();
        QApplication::setActiveWindow(window);
        QVERIFY(QTest::qWaitForWindowActive(window));
        QTest::keySequence(window, QKeySequence(keys));
    }

    QString fixture(const QString &name, const QByteArray &text, bool zipped) const
    {
        const QString path = files->filePath(name);
        zipped ? writeZip(path, {{QStringLiteral("query.txt"), text}}) : writeFile(path, text);
        return path;
    }

    QString pipe() const { return settingsDir.filePath("pipe"); }
    QPlainTextEdit *view() const { return window->findChild<QPlainTextEdit *>("queryTextEdit"); }
    QLineEdit *field() const { return window->findChild<QLineEdit *>("findLineEdit"); }

    QTemporaryDir settingsDir;
    QTemporaryDir *files = nullptr;
    BrindleQueryTool *window = nullptr;
    ModalAnswerer *answerer = nullptr;
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
