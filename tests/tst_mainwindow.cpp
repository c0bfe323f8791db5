#include "modalanswerer.h"
#include "queryfixture.h"
#include "testfiles.h"

#include "export/fleetexport.h"
#include "query/archive.h"
#include "query/querydocument.h"
#include "query/recentfiles.h"
#include "query/viewerarguments.h"
#include "ui/brindlequerytool.h"
#include "ui/darkpalette.h"
#include "ui/matchcount.h"
#include "ui/queryview.h"

#include <QtTest>
#include <QtWidgets>
#include <sqlite3.h>

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
// unchanged line between two changed ones, and the CR in note-region's value
// must not move the marks after it.
const QByteArray markedShipped =
    settingLines({"id-model-name=Model A", "note-region=a\rb", "sales-region=north",
                  "stats-cards=1", "stats-cards=2", "stats-jobs=7", "stats-pages=5", "volume=3"});
const QByteArray markedPrimary =
    settingLines({"id-model-name=Model A", "note-region=a\rb", "sales-region=south",
                  "stats-cards=3", "stats-cards=1", "stats-jobs=7", "stats-pages=6", "sleep=on"});
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
// Another printer: one key changed, one missing, eleven added with its serial
// (the first that is not empty).
const QByteArray otherPrimary = [] {
    QByteArrayList pairs{"id-model-name=Model A", "id-printer-serial=", "id-printer-serial=BQ2",
                         "sales-region=north",    "stats-cards=1",      "stats-cards=3"};
    for (char key = 'a'; key <= 'j'; ++key)
        pairs << QByteArray("k-") + key + "=1";
    return settingLines(pairs);
}();
const QStringList comparedLines = {
    "PRIMARY (CURRENT) SETTINGS -> Only on the other printer: id-printer-serial, k-a, k-b, k-c, "
    "k-d, k-e, k-f, k-g, k-h, k-i, \u2026 and 1 more",
    "note-region\ta\\rb -> Not on the other printer (BQ2)",
    "sales-region\tsouth -> Other printer (BQ2): \"north\"",
    "stats-jobs\t7 -> Not on the other printer (BQ2)",
    "stats-pages\t6 -> Not on the other printer (BQ2)",
    "sleep\ton -> Not on the other printer (BQ2)",
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
        // As the entry point sets it: a miss must tint a dark field red and
        // keep it dark.
        QApplication::setPalette(darkPalette());
        QVERIFY(QDir().mkpath(archivePath));
        QCOMPARE(mkfifo(QFile::encodeName(pipe()).constData(), 0600), 0);
    }

    void init()
    {
        QSettings(QStringLiteral("Corvelle"), QStringLiteral("BrindleQueryTool"))
            .remove(QStringLiteral("historyDatabase"));
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
    // Comparing: the document replaced, marks against the factory settings or
    // the wrong side, the serial or the cap of the heading's key list missing,
    // a Shift+drop taken as a move, Ctrl+D not comparing, the factory marks
    // not coming back, an empty serial taken. Reload: the scroll position or
    // the search term lost, the comparison dropped, not made again, made with
    // the other file read again, or kept when the file has no current
    // settings any more.
    // Recent files: not newest first, a file twice, a failed open or a
    // compared file added, a file that is gone still listed.
    void openQuery_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("shipped");
        QTest::addColumn<QByteArray>("primary");
        QTest::addColumn<QStringList>("marked");

        const auto row = [](const char *name, const char *how, const char *file,
                            const QByteArray &shipped, const QByteArray &primary,
                            const QStringList &marked) {
            QTest::newRow(name) << QString(how) << QString(file) << shipped << primary << marked;
        };
        // Each row starts from a query with every kind of difference. A file
        // name "" is a missing file; reload rewrites or removes the first one.
        row("zip -> document, title, marks with the factory side", "open", "q.zip", markedShipped,
            markedPrimary, markedLines);
        row("no shipped section -> old marks gone", "open", "q.txt", {}, markedPrimary, {});
        row("no primary section -> no marks", "open", "q.txt", markedShipped, {}, {});
        row("missing file -> warning; document, title and marks kept", "open", "", {}, {},
            comparedLines);
        row("Ctrl+D -> first document, marks against the other", "Ctrl+D", "q.zip", {},
            otherPrimary, comparedLines);
        row("compare, then factory -> factory marks", "factory", "q.txt", {}, otherPrimary,
            markedLines);
        row("Shift+drop missing -> warning; marks and title kept", "compare", "", {}, {},
            markedLines);
        row("Shift+drop without current settings -> warning; marks and title kept", "compare",
            "q.txt", markedShipped, {}, markedLines);
        row("F5 while comparing, other file gone -> new document compared again, view kept",
            "reload", "q.txt", markedShipped, otherPrimary, {});
        row("F5 while comparing, no current settings now -> warning, comparison ended", "reload",
            "q.txt", markedShipped, {}, {});
        row("F5, file gone -> warning; document, marks and title kept", "reload", "", {}, {},
            comparedLines);

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
        row("markup, long and many values -> tips as written, cut", "open", "q.txt",
            settingLines(QByteArrayList{"long=" + emoji.toUtf8()} + many +
                         QByteArrayList{"markup=" + markup.toUtf8()}),
            settingLines({"long=short", "many=w", "markup=plain"}), tips);
    }

    void openQuery()
    {
        QFETCH(QString, how);
        QFETCH(QString, name);
        QFETCH(QByteArray, shipped);
        QFETCH(QByteArray, primary);
        QFETCH(QStringList, marked);

        const QString title = window->windowTitle();
        const QByteArray first = queryText(markedShipped, markedPrimary, "first log");
        const QString firstPath = fixture("first.txt", first, false);
        window->openQuery(firstPath);
        const QByteArray query = queryText(shipped, primary, "boot");
        const bool missing = name.isEmpty();
        const bool reload = how == "reload";
        const QString path =
            missing ? files->filePath("missing.txt") : fixture(name, query, name.endsWith("zip"));
        // A second printer without current settings is refused like a missing
        // one; a reload that finds none ends the comparison.
        const bool refused = missing || (how == "compare" && primary.isEmpty());
        const bool ended = reload && !missing && primary.isEmpty();
        if (refused || ended)
            answerer->expectMessageBox();
        // Opens and reloads start from a comparison with another printer.
        if (how == "open" || reload)
            shiftDrop(fixture("other.txt", queryText({}, otherPrimary), false));
        if (how == "open") {
            window->openQuery(path);
        } else if (how == "Ctrl+D") {
            answerer->expect([path](QWidget *dialog) {
                static_cast<QFileDialog *>(dialog)->selectFile(path);
                QMetaObject::invokeMethod(dialog, "accept");
            });
            press("Ctrl+D");
        } else if (!reload) {
            shiftDrop(path);
            if (how == "factory")
                window->findChild<QAction *>("actionCompareFactory")->trigger();
        } else {
            missing ? (void)QFile::remove(firstPath) : (void)fixture("first.txt", query, false);
            // The comparison keeps the other printer's settings, not its file.
            QVERIFY(QFile::remove(files->filePath("other.txt")));
            field()->setText("term");
            // Narrow, so that the settings lines reach past the right edge.
            window->resize(200, 400);
            window->show();
            QVERIFY(QTest::qWaitForWindowExposed(window));
            view()->verticalScrollBar()->setValue(10);
            QTRY_VERIFY(view()->horizontalScrollBar()->maximum() >= 20);
            view()->horizontalScrollBar()->setValue(20);
            press("F5");
            QCOMPARE(view()->verticalScrollBar()->value(), 10);
            QCOMPARE(view()->horizontalScrollBar()->value(), 20);
            QCOMPARE(field()->text(), QStringLiteral("term"));
        }

        const QString noPrimary = "Uh-oh|Couldn't compare the printers.\nThe %1 query file holds "
                                  "no primary (current) settings.";
        QCOMPARE(answerer->boxes, missing   ? QStringList{readFailure + "The file does not exist."}
                                  : refused ? QStringList{noPrimary.arg("other")}
                                  : ended   ? QStringList{noPrimary.arg("open")}
                                            : QStringList());
        const bool replaced = !missing && (how == "open" || reload);
        const QString shown = !missing && how == "open" ? path : firstPath;
        QCOMPARE(view()->toPlainText(),
                 assembleQueryDocument(QString::fromUtf8(replaced ? query : first)).text);
        QCOMPARE(view()->textCursor().position(), 0);
        QVERIFY(!view()->document()->isUndoAvailable());
        QString compared = (reload && !ended) || (how == "open" && missing)    ? "other.txt"
                           : (how == "compare" || how == "Ctrl+D") && !refused ? name
                                                                               : "";
        if (!compared.isEmpty())
            compared.prepend(" compared with ");
        QCOMPARE(window->windowTitle(),
                 title + QStringLiteral(" \u2014 ") + QFileInfo(shown).fileName() + compared);
        QCOMPARE(window->windowFilePath(), shown);
        QStringList recent = reload && missing ? QStringList() : QStringList{"first.txt"};
        if (shown != firstPath)
            recent.prepend(name);
        QCOMPARE(recentEntries(), recent);

        QStringList lines;
        hoverMarks(&lines);
        QCOMPARE(lines, marked);
    }

    // A printer exported twice, its current settings changed between (one
    // value, one key gone, one new, and a counter), each export dated by hand.
    // how: "chosen" picks the database in the dialog, and a new window must
    // find it remembered, then compares with the older state; "other" opens
    // another printer's file; "damaged" stores the path as a list; "none"
    // chooses nothing; "foreign" chooses a file that is no database; "same
    // second" exports a third state at the second's time and opens a file
    // that differs from both alike, so that their items would read the same.
    // The item at pick is chosen.
    // Catches marks, tips or title of an earlier state not made as those of
    // another printer are, a counter marked (a volatile setting), the states
    // not listed newest first with the keys that differ, the database not
    // remembered or a damaged stored value taken, a refusal not said, and of
    // two states listed alike, the other one compared.
    void compareEarlier_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("pick");
        QTest::addColumn<QStringList>("items");
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<QStringList>("marked");

        const QString refused = "Uh-oh|Couldn't compare with an earlier state.\n";
        const QString none = refused + "No history database is chosen: choose the database of "
                                       "brindle-query export with File > Choose history "
                                       "database...";
        QTest::newRow("chosen, older state -> its marks, tips and title")
            << "chosen" << 1
            << QStringList{"2026-02-02: as the open file", "2026-01-05: 3 keys differ"}
            << QStringList()
            << QStringList{"PRIMARY (CURRENT) SETTINGS -> Only in its state of 2026-01-05: volume",
                           "sales-region\tsouth -> Earlier (2026-01-05): \"north\"",
                           "sleep\ton -> Not there on 2026-01-05"};
        const QString second = "2026-02-02 08:00:00 UTC, export ";
        QTest::newRow("two states begun in one second -> told apart by their exports")
            << "same second" << 1
            << QStringList{second + "3: 1 key differs", second + "2: 1 key differs",
                           "2026-01-05: 3 keys differ"}
            << QStringList()
            << QStringList{"sales-region\twest -> Earlier (" + second + "2): \"south\""};
        QTest::newRow("another printer -> not in the database")
            << "other" << 0 << QStringList()
            << QStringList{refused + "The history database %db holds no state of the printer BQ8."}
            << QStringList();
        QTest::newRow("stored as a list -> none taken")
            << "damaged" << 0 << QStringList() << QStringList{none} << QStringList();
        QTest::newRow("none chosen -> says how")
            << "none" << 0 << QStringList() << QStringList{none} << QStringList();
        QTest::newRow("not a database -> refused when chosen")
            << "foreign" << 0 << QStringList()
            << QStringList{"Uh-oh|Couldn't use the history database.\nIt is not a database "
                           "written by brindle-query export.",
                           none}
            << QStringList();
    }

    void compareEarlier()
    {
        QFETCH(QString, how);
        QFETCH(int, pick);
        QFETCH(QStringList, items);
        QFETCH(QStringList, boxes);
        QFETCH(QStringList, marked);

        const QString db = files->filePath("fleet.db");
        const QByteArray factory = settingLines({"id-printer-serial=BQ7"});
        const QByteArray states[] = {
            settingLines(
                {"id-printer-serial=BQ7", "sales-region=north", "stats-cards=1", "volume=3"}),
            settingLines(
                {"id-printer-serial=BQ7", "sales-region=south", "stats-cards=2", "sleep=on"}),
            settingLines({"id-printer-serial=BQ7", "sales-region=east", "sleep=on"}),
            settingLines({"id-printer-serial=BQ7", "sales-region=west", "sleep=on"})};
        const QString path = fixture("fleet/q.txt", {}, false);
        ExportOptions options;
        options.paths = QStringList{QFileInfo(path).absolutePath()};
        options.programVersion = QStringLiteral("test");
        const bool sameSecond = how == "same second";
        for (int step = 0; step < (sameSecond ? 3 : 2); ++step) {
            QFile file(fixture("fleet/q.txt", queryText(factory, states[step]), false));
            QVERIFY(file.open(QIODevice::ReadWrite) &&
                    file.setFileTime(QDateTime(QDate(2026, 1, 5 + step), QTime(6, 0), Qt::UTC),
                                     QFileDevice::FileModificationTime));
            QVERIFY(!exportToSqlite(db, options).failed);
            sqlite3 *handle = nullptr;
            sqlite3_open(QFile::encodeName(db).constData(), &handle);
            const QByteArray update = QByteArray("UPDATE exports SET exported_at = '") +
                                      (step == 0 ? "2026-01-05" : "2026-02-02") +
                                      "T08:00:00Z' WHERE id = (SELECT max(id) FROM exports)";
            QCOMPARE(sqlite3_exec(handle, update.constData(), nullptr, nullptr, nullptr),
                     SQLITE_OK);
            sqlite3_close(handle);
        }
        if (sameSecond)
            fixture("fleet/q.txt", queryText(factory, states[3]), false);
        const QString chosen = how == "foreign" ? fixture("notes.db", "not a database", false) : db;
        if (how == "damaged") {
            QSettings(QStringLiteral("Corvelle"), QStringLiteral("BrindleQueryTool"))
                .setValue("historyDatabase", QVariantList{db});
        } else if (how != "none") {
            answerer->expect([chosen](QWidget *widget) {
                auto *dialog = qobject_cast<QFileDialog *>(widget);
                QVERIFY(dialog);
                dialog->selectFile(chosen);
                QMetaObject::invokeMethod(dialog, "accept");
            });
            if (how == "foreign")
                answerer->expectMessageBox();
            window->findChild<QAction *>("actionChooseHistory")->trigger();
        }
        // The next start finds the database remembered.
        delete std::exchange(window, new BrindleQueryTool);
        const QString shown =
            how == "other"
                ? fixture("other.txt", queryText(factory, settingLines({"id-printer-serial=BQ8"})),
                          false)
                : path;
        window->openQuery(shown);
        const QString title = window->windowTitle();
        QStringList listed;
        QStringList factoryMarks;
        if (items.isEmpty()) {
            hoverMarks(&factoryMarks);
            answerer->expectMessageBox();
        } else {
            answerer->expect([&listed, pick](QWidget *widget) {
                auto *dialog = qobject_cast<QInputDialog *>(widget);
                QVERIFY(dialog);
                listed = dialog->comboBoxItems();
                dialog->setTextValue(listed.value(pick));
                dialog->accept();
            });
        }
        window->findChild<QAction *>("actionCompareEarlier")->trigger();
        QCOMPARE(answerer->pending(), 0);
        QCOMPARE(answerer->boxes.join('\n').replace(db, "%db"), boxes.join('\n'));
        QCOMPARE(listed, items);
        QStringList lines;
        hoverMarks(&lines);
        QCOMPARE(lines, marked.isEmpty() ? factoryMarks : marked);
        QCOMPARE(window->windowTitle(), marked.isEmpty() ? title
                                                         : title + " compared with its state of " +
                                                               items.at(pick).section(": ", 0, 0));
    }

    // Catches --history taken for the file or the file for its database,
    // the option taken only before or only after the file, a missing
    // database not said, and a relative database not made absolute.
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("history");
        QTest::addColumn<QString>("error");

        const QString absolute = QDir::current().absoluteFilePath("f.db");
        QTest::newRow("FILE --history DB -> both, DB absolute")
            << QStringList{"BrindleQueryTool", "q.zip", "--history", "f.db"} << "q.zip" << absolute
            << "";
        QTest::newRow("--history=DB FILE more -> both, the rest ignored")
            << QStringList{"BrindleQueryTool", "--history=/d/f.db", "q.zip", "r.zip"} << "q.zip"
            << "/d/f.db"
            << "";
        QTest::newRow("FILE --history -> says a database is needed")
            << QStringList{"BrindleQueryTool", "q.zip", "--history"} << "q.zip"
            << ""
            << "--history needs a database.";
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, file);
        QFETCH(QString, history);
        QFETCH(QString, error);
        const ViewerArguments parsed = viewerArguments(arguments);
        QCOMPARE(parsed.file, file);
        QCOMPARE(parsed.historyDatabase, history);
        QCOMPARE(parsed.error, error);
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
            // The source waits for the answer: nothing is read or shown before it.
            QCOMPARE(answerer->boxes, QStringList());
            QCoreApplication::sendPostedEvents();
        }
        QCOMPARE(answerer->pending(), 0);
        QCOMPARE(view()->toPlainText().contains("LOG FILE\n\n" + shown + "\n"), !shown.isEmpty());
    }

    // Catches the open dialog's folder not moved to a picked file's folder, or
    // moved by a cancel, and the folder, position and size not stored for the
    // next start or not read back. Recent files: a file that exists but
    // could not be read listed, more than ten, an & taken for
    // a mnemonic, an entry that opens nothing or is listed twice, a file that
    // is gone still listed, the list not stored or read back, a stored list of
    // one (a settings file gives it back as a string) lost, or a stored value
    // of another type taken for a list; paths compared uncleaned, through
    // links or (outside Windows and macOS) in any case; Clear Menu.
    void windowStateIsKeptForTheNextStart()
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
        QCOMPARE(recentEntries(), QStringList());

        // Eleven files opened, the oldest one listed opened again from the
        // menu, the newest removed.
        QStringList recent;
        for (int i = 0; i < 11; ++i) {
            window->openQuery(fixture(QString("r&%1.txt").arg(i), queryText({}, {}, "log"), false));
            recent.prepend(QString("r&&%1.txt").arg(i));
        }
        QCOMPARE(recentEntries(), recent.mid(0, 10));
        window->findChild<QMenu *>("menuRecent")->actions().at(9)->trigger();
        QVERIFY(QFile::remove(files->filePath("r&10.txt")));
        recent = QStringList{"r&&1.txt"} + recent.mid(1, 8);
        QCOMPARE(recentEntries(), recent);

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
        QCOMPARE(recentEntries(), recent);

        const QString path = files->filePath("r&1.txt");
        RecentFiles stored;
        stored.load(path);
        QCOMPARE(stored.stored(), QStringList{path});
        stored.load(QVariantList{path});
        QCOMPARE(stored.stored(), QStringList());
        // One file once its path is cleaned; a link, or (here) another letter
        // case, names another.
        QVERIFY(QFile::link(files->path(), files->filePath("link")));
        const QStringList others{files->filePath("link/r&1.txt"), files->filePath("R&1.txt")};
        stored.load(QStringList{files->filePath("x/../r&1.txt")} + others + QStringList{path});
        QCOMPARE(stored.stored(), QStringList{path} + others);

        window->findChild<QMenu *>("menuRecent")->actions().last()->trigger();
        QCOMPARE(recentEntries(), QStringList());
    }

    // Catches an About box without the installed version (or, never
    // installed, without the version built and its mark), the Qt version, the
    // commit's date or the archive's place, or one that reads rich text.
    void about_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QString>("version"); // a pattern
        QTest::newRow("never installed -> version built, not installed")
            << QByteArray() << "[0-9.]+ \\(not installed\\)";
        QTest::newRow("1.2 installed -> 1.2") << QByteArray("[General]\nVersion=1.2\n") << "1\\.2";
    }

    void about()
    {
        QFETCH(QByteArray, stored);
        QFETCH(QString, version);
        // The machine's settings, which here are the user's file too.
        const QString settings = settingsDir.filePath("Corvelle/BrindleQueryTool.conf");
        if (!stored.isEmpty()) {
            delete std::exchange(window, nullptr);
            QVERIFY(writeFile(settings, stored));
            window = new BrindleQueryTool;
            QFile::remove(settings);
        }
        answerer->expectMessageBox();
        window->findChild<QAction *>("actionAbout")->trigger();
        const QString box = answerer->boxes.value(0);
        const QRegularExpression expected(
            "About BrindleQueryTool\\|BrindleQueryTool " + version + "\n.*Running on Qt " +
                QRegularExpression::escape(qVersion()) +
                "\\.\nBuilt from the commit of (\\d{4}-\\d\\d-\\d\\d|unknown)\\..* " +
                QRegularExpression::escape(QDir::toNativeSeparators(archivePath)) + "\\.",
            QRegularExpression::DotMatchesEverythingOption);
        QVERIFY2(expected.match(box).hasMatch(), qPrintable(box));
    }

    // Catches a damaged settings file that stops the viewer at every start or
    // is taken at its word: a crafted @Variant value (a list that claims 2^31
    // entries), which Qt's own reader decodes as soon as any key of its
    // section is read, and that of every section when the file is written; a
    // size beyond every screen; a file too large to read. Each value is
    // ignored and the default used, and the next save leaves it out.
    void damagedSettings_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QStringList>("recent");
        QTest::addColumn<bool>("sized"); // the stored size of 500 x 400 taken, else the form's
        QByteArray list;
        QDataStream stream(&list, QIODevice::WriteOnly);
        stream.setVersion(QDataStream::Qt_4_0);
        stream << quint32(QMetaType::QStringList) << quint32(0x7fffffff);
        QByteArray variant = "@Variant(";
        for (const char byte : list)
            variant += "\\x" + QByteArray::number(uchar(byte), 16).rightJustified(2, '0');
        variant += ')';
        QTest::newRow("@Variant list of 2^31 entries, ours and another's -> starts, ignored")
            << "[General]\nrecentFiles=" + variant +
                   "\nsize=@Size(500 400)\n[Other]\nx=" + variant + '\n'
            << QStringList() << true;
        QTest::newRow("size beyond the screens, a list of one file -> default size, the file")
            << QByteArray("[General]\nsize=@Size(100000 100000)\nrecentFiles=%f/a&.txt\n")
            << QStringList{"a&&.txt"} << false;
        QTest::newRow("2 MiB file -> defaults")
            << "[General]\nsize=@Size(500 400)\n" + QByteArray(2 << 20, '#') << QStringList()
            << false;
    }

    void damagedSettings()
    {
        QFETCH(QByteArray, file);
        QFETCH(QStringList, recent);
        QFETCH(bool, sized);
        QVERIFY(writeFile(files->filePath("a&.txt"), queryText({}, {}, "log")));
        const QString path = settingsDir.filePath("Corvelle/BrindleQueryTool.conf");
        delete std::exchange(window, nullptr);
        QVERIFY(writeFile(path, file.replace("%f", QFile::encodeName(files->path()))));
        window = new BrindleQueryTool;
        QCOMPARE(recentEntries(), recent);
        const QRect desktop = QGuiApplication::primaryScreen()->virtualGeometry();
        QCOMPARE(window->size() == QSize(500, 400), sized);
        QVERIFY(window->width() <= desktop.width() && window->height() <= desktop.height());
        delete std::exchange(window, new BrindleQueryTool);
        QFile written(path);
        QVERIFY(written.open(QIODevice::ReadOnly));
        const QByteArray text = written.readAll();
        QVERIFY2(text.startsWith("[General]") && !text.contains("Variant") && text.size() < 4096,
                 text.left(200).constData());
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
    // typing that does not search from the current match, a wrong shortcut,
    // Ctrl+F not reaching the search field, or searching, and Return or
    // Shift+Return in the field stepping. Where you are: a count that takes
    // overlapping matches, a number that is not the selected match's, a label
    // that misses a step, a wrap, typing or a move of the cursor, a label for
    // an empty field, no red tint on a miss (or one that turns a dark field
    // light); Escape not returning to the view or dropping the selection.
    // Highlights: a match in sight left out, one that find never stops at.
    // Find All Matches: a line missing or twice, a wrong line number or
    // section, a line not cut, a list that does not follow typing, Enter or
    // a click on a row that does not select the line's first match, Escape
    // or the close button that does not hide the pane.
    void search_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("term");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("after");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("focus");
        QTest::addColumn<QStringList>("listed");

        // before and after are the log of a query, [ and ] marking the
        // selection, { and } each highlighted match. Keys, one after the
        // other: a shortcut or key pressed where the focus is, a letter typed
        // into the search field, RowN for a click on the list's row N, Close
        // for a click on the pane's close button.
        // listed holds the rows of Find All Matches, line|section|text, when
        // its pane is open.
        const auto row = [](const char *name, const char *before, const char *term,
                            const char *keys, const char *after, const char *label,
                            const char *focus = "queryTextEdit", const QStringList &listed = {}) {
            QTest::newRow(name) << QString(before) << QString(term) << QString(keys)
                                << QString(after) << QString(label) << QString(focus) << listed;
        };
        row("F3 from first -> ABC, 2 of 2", "[abc] abd ABC", "abc", "F3", "{abc} abd [{ABC}]",
            "2 of 2");
        row("F3 from last -> wraps, 1 of 2", "abc abd [ABC]", "abc", "F3", "[{abc}] abd {ABC}",
            "1 of 2");
        row("Shift+F3 from first -> wraps, 2 of 2", "[abc] abd ABC", "abc", "Shift+F3",
            "{abc} abd [{ABC}]", "2 of 2");
        row("single, F3 -> stays, 1 of 1", "abc [abd] ABC", "abd", "F3", "abc [{abd}] ABC",
            "1 of 1");
        row("absent -> selection kept, No matches", "abc [abd] ABC", "zzz", "F3", "abc [abd] ABC",
            "No matches");
        row("Ctrl+F -> field focused, nothing found, 1 match", "[ab]c abd ABC", "abd", "Ctrl+F",
            "[ab]c {abd} ABC", "1 match", "findLineEdit");
        // Typing searches again from the start of the current match.
        row("typed c -> grows in place, 1 of 2", "[ab]c abd ABC", "ab", "c", "[{abc}] abd {ABC}",
            "1 of 2");
        row("typed d -> moves to abd, 1 of 1", "[ab]c abd ABC", "ab", "d", "abc [{abd}] ABC",
            "1 of 1");
        row("typed x -> miss, cursor at the match, No matches", "abc [abd] ABC", "abd", "x",
            "abc []abd ABC", "No matches");
        // Return in the field does no more than typing did.
        row("typed c, Return -> as typing left it", "[ab]c abd ABC", "ab", "Ctrl+F c Return",
            "[{abc}] abd {ABC}", "1 of 2", "findLineEdit");
        row("typed c, Shift+Return -> as typing left it", "[ab]c abd ABC", "ab",
            "Ctrl+F c Shift+Return", "[{abc}] abd {ABC}", "1 of 2", "findLineEdit");
        row("Escape in the field -> view focused, selection kept", "abc abd [ABC]", "abc",
            "Ctrl+F Escape", "{abc} abd [{ABC}]", "2 of 2");
        row("typed x, Backspace -> red tint gone, 1 of 1", "abc [abd] ABC", "abd",
            "Ctrl+F x Backspace", "abc [{abd}] ABC", "1 of 1", "findLineEdit");
        row("Home in the view -> off the match, 2 matches", "abc abd [ABC]", "abc", "Home",
            "[]{abc} abd {ABC}", "2 matches");
        // Find steps from the end of a match: the count is of those it stops
        // at, and a match between two of them has no number. Matches that
        // touch are highlighted as one.
        row("F3 in aaaa -> 2 of 2, not 3", "[aa]aa", "aa", "F3", "{aa[aa}]", "2 of 2");
        row("Shift+F3 onto aa between two -> 2 matches", "aa[aa]", "aa", "Shift+F3", "{a[aa]a}",
            "2 matches");

        const QStringList lines = {"25|Log|abc", "26|Log|ab", "27|Log|xab ab"};
        row("Ctrl+Shift+F -> headings and log lines, sections", "[]abc\nsettings saved", "settings",
            "Ctrl+Shift+F", "[]abc\n{settings} saved", "3 matches", "findAllView",
            {"1|Current settings|PRIMARY (CURRENT) SETTINGS",
             "12|Factory settings|SHIPPED (FACTORY) SETTINGS", "26|Log|settings saved"});
        row("Ctrl+Shift+F, Down, Return -> second line's match, 2 of 4", "[]abc\nab\nxab ab", "ab",
            "Ctrl+Shift+F Down Return", "{ab}c\n[{ab}]\nx{ab} {ab}", "2 of 4", "findAllView",
            lines);
        row("Ctrl+Shift+F, click row 3 -> its first match, 3 of 4", "[]abc\nab\nxab ab", "ab",
            "Ctrl+Shift+F Row3", "{ab}c\n{ab}\nx[{ab}] {ab}", "3 of 4", "findAllView", lines);
        row("Ctrl+Shift+F, typed c -> list follows", "[]abc\nab\nxab ab", "ab", "Ctrl+Shift+F c",
            "[{abc}]\nab\nxab ab", "1 of 1", "findAllView", {"25|Log|abc"});
        row("Ctrl+Shift+F, Escape -> pane hidden, view focused", "[]ab", "ab",
            "Ctrl+Shift+F Escape", "[]{ab}", "1 match");
        row("Ctrl+Shift+F, close button -> pane hidden", "[]ab", "ab", "Ctrl+Shift+F Close",
            "[]{ab}", "1 match");
        // Only what is in sight is highlighted, again after each scroll.
        const QString lines200 = QString("x\n").repeated(200);
        QTest::newRow("F3 to a far line -> highlighted there, not above or below")
            << "[ab]\n" + lines200 + "ab\n" + lines200 + "ab"
            << "ab"
            << "F3"
            << "ab\n" + lines200 + "[{ab}]\n" + lines200 + "ab"
            << "2 of 3"
            << "queryTextEdit" << QStringList();
        const QString x3000(3000, 'x');
        QTest::newRow("F3 far along a long line -> highlighted there, not at its start")
            << "[ab]" + x3000 + "ab"
            << "ab"
            << "F3"
            << "ab" + x3000 + "[{ab}]"
            << "2 of 2"
            << "queryTextEdit" << QStringList();
        const QString longLine = "ab" + QString(250, 'x');
        QTest::newRow("Ctrl+Shift+F on a long line -> cut at 200, marked")
            << "[]" + longLine << "ab"
            << "Ctrl+Shift+F"
            << "[]{ab}" + QString(250, 'x') << "1 match"
            << "findAllView"
            << QStringList{"25|Log|ab" + QString(198, 'x') + "\u2026 [52 more characters]"};
    }

    void search()
    {
        QFETCH(QString, before);
        QFETCH(QString, term);
        QFETCH(QString, keys);
        QFETCH(QString, after);
        QFETCH(QString, label);
        QFETCH(QString, focus);
        QFETCH(QStringList, listed);

        // The term is in the field before the query opens, as when a user
        // opens one query after another.
        field()->setText(term);
        QString log = before;
        log.remove('[').remove(']');
        window->openQuery(fixture("q.txt", queryText({}, {}, log.toUtf8()), false));
        const QString document = view()->toPlainText();
        const int logStart = document.indexOf("LOG FILE\n\n") + 10;
        QTextCursor cursor(view()->document());
        cursor.setPosition(logStart + before.indexOf('['));
        cursor.setPosition(logStart + before.indexOf(']') - 1, QTextCursor::KeepAnchor);
        view()->setTextCursor(cursor);
        view()->setFocus();
        press(QString());
        // A user sees the count come in before the next key.
        auto *count = window->findChild<QLabel *>("findCountLabel");
        QTRY_VERIFY(!count->text().isEmpty());
        QString typed = term;
        auto *matchCount = window->findChild<MatchCount *>();
        for (const QString &key : keys.split(' ')) {
            // A user sees the count of each term come in.
            QTRY_VERIFY(matchCount->isCurrent());
            if (key.size() == 1) {
                QTest::keyClicks(field(), key);
                typed += key;
            } else if (key.startsWith("Row")) {
                auto *list = window->findChild<QTableView *>("findAllView");
                const int row = key.mid(3).toInt() - 1;
                QTRY_VERIFY(list->model()->rowCount() > row);
                const QRect shown = list->visualRect(list->model()->index(row, 2));
                QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, shown.center());
            } else if (key == "Close") {
                auto *close = window->findChild<QToolButton *>("findAllCloseButton");
                QTRY_VERIFY(!close->rect().isEmpty());
                QTest::mouseClick(close, Qt::LeftButton);
            } else {
                QTest::keySequence(QApplication::focusWidget(), QKeySequence(key));
                if (key == "Backspace")
                    typed.chop(1);
            }
        }

        QTRY_COMPARE(count->text(), label);
        QTRY_COMPARE(QApplication::focusWidget()->objectName(), focus);
        QCOMPARE(field()->text(), typed);

        // The log as shown, with the selection and the highlights marked; at
        // one place, what ends before what starts.
        const QTextCursor found = view()->textCursor();
        QMultiMap<int, QChar> starts, ends;
        for (const QTextEdit::ExtraSelection &match : view()->extraSelections()) {
            starts.insert(match.cursor.selectionStart(), '{');
            ends.insert(match.cursor.selectionEnd(), '}');
            // Its own colour, under which the dark palette's white text reads.
            const QColor colour = match.format.background().color();
            QVERIFY(colour != QColor(104, 80, 24) &&
                    colour != view()->palette().highlight().color());
            QVERIFY(colour.lightness() < 100);
        }
        QString shown;
        for (int at = logStart, end = logStart + log.size(); at <= end; ++at) {
            for (const QChar mark : ends.values(at))
                shown += mark;
            if (found.hasSelection() && at == found.selectionEnd())
                shown += ']';
            if (at == found.selectionStart())
                shown += found.hasSelection() ? "[" : "[]";
            for (const QChar mark : starts.values(at))
                shown += mark;
            if (at < end)
                shown += document.at(at);
        }
        QCOMPARE(shown, after);

        auto *pane = window->findChild<QWidget *>("findAllPane");
        QCOMPARE(pane->isVisible(), !listed.isEmpty());
        QStringList rows;
        const QAbstractItemModel *model = window->findChild<QTableView *>("findAllView")->model();
        for (int row = 0; pane->isVisible() && row < model->rowCount(); ++row) {
            QStringList columns;
            for (int column = 0; column < model->columnCount(); ++column)
                columns << model->index(row, column).data().toString();
            rows << columns.join('|');
        }
        QCOMPARE(rows, listed);

        const QColor base = field()->palette().color(QPalette::Base);
        if (label == "No matches")
            QVERIFY2(base.red() > 2 * base.green() && base.lightness() < 100,
                     qPrintable(base.name()));
        else
            QCOMPARE(base, view()->palette().color(QPalette::Base));
    }

    // Catches a count past its budget that shows nothing until it is done,
    // or shows what it has found so far without its "+", or in the wrong
    // order. The budget is made nil so that every piece of the count shows.
    void countInProgress()
    {
        const QByteArray line = QByteArray("ab ").repeated(3000) + '\n';
        window->openQuery(fixture("q.txt", queryText({}, {}, line.repeated(300)), false));
        auto *count = window->findChild<MatchCount *>();
        count->setProgressInterval(0);
        QStringList shown;
        connect(count, &MatchCount::updated, this,
                [&shown, this] { shown << window->findChild<QLabel *>("findCountLabel")->text(); });
        field()->setText("AB");
        QTRY_COMPARE(shown.value(shown.size() - 1), QStringLiteral("900,000 matches"));
        QVERIFY2(shown.size() > 1, qPrintable(shown.join(", ")));
        // What is found so far never shrinks, and at first falls short.
        int before = 0;
        for (const QString &partial : shown.mid(0, shown.size() - 1)) {
            QVERIFY2(partial.endsWith("+ matches"), qPrintable(partial));
            const int found = QLocale::c().toInt(partial.section('+', 0, 0));
            QVERIFY2(found >= before && found <= 900000, qPrintable(shown.join(", ")));
            before = found;
        }
        QVERIFY2(!shown.first().startsWith("900,000"), qPrintable(shown.join(", ")));
    }

    // Catches a jump that searches from the cursor, misses an earlier mention
    // in another letter case, goes to another heading or leaves the start
    // when the document has no log, and one that changes the search field.
    void jumps_data()
    {
        QTest::addColumn<QByteArray>("log");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("selected"); // the selection's text and line
        QTest::newRow("Ctrl+P -> primary heading") << QByteArray("x") << "Ctrl+P"
                                                   << "PRIMARY (CURRENT) SETTINGS@0";
        QTest::newRow("Ctrl+S -> shipped heading") << QByteArray("x") << "Ctrl+S"
                                                   << "SHIPPED (FACTORY) SETTINGS@12";
        QTest::newRow("Ctrl+L -> earlier text in any case") << QByteArray("x") << "Ctrl+L"
                                                            << "Log File@8";
        QTest::newRow("Ctrl+L without a log -> start") << QByteArray() << "Ctrl+L"
                                                       << "@0";
    }

    void jumps()
    {
        QFETCH(QByteArray, log);
        QFETCH(QString, keys);
        QFETCH(QString, selected);
        window->openQuery(
            fixture("q.txt", queryText({}, settingLines({"note=see the Log File"}), log), false));
        view()->moveCursor(QTextCursor::End);
        field()->setText("x");
        press(keys);
        const QTextCursor cursor = view()->textCursor();
        QCOMPARE(cursor.selectedText() + '@' + QString::number(cursor.blockNumber()), selected);
        QCOMPARE(field()->text(), QStringLiteral("x"));
    }

    // Catches a file name's line feed or direction control raw in the title
    // or in Open Recent, a long name not cut at 200 characters, and one that
    // widens Open Recent past the screen or loses its path from the entry's
    // tip.
    void longOddNameStaysOnScreen()
    {
        const QString name = QString(230, 'n') + "\n\u202e.txt";
        window->openQuery(fixture(name, queryText({}, {}, "log"), false));
        QVERIFY2(window->windowTitle().endsWith(" \u2014 " + QString(200, 'n') + "\u2026"),
                 qPrintable(window->windowTitle()));
        QVERIFY(!window->windowTitle().contains('\n'));
        window->openQuery(fixture("b\n\u202ex.txt", queryText({}, {}, "log"), false));
        QVERIFY2(window->windowTitle().endsWith("b\\n\\u202ex.txt"),
                 qPrintable(window->windowTitle()));

        auto *menu = window->findChild<QMenu *>("menuRecent");
        emit menu->aboutToShow();
        QVERIFY(menu->sizeHint().width() <= menu->screen()->availableSize().width() / 2);
        QCOMPARE(menu->actions().at(0)->text(), QStringLiteral("b\\n\\u202ex.txt"));
        const QAction *entry = menu->actions().at(1);
        QVERIFY2(entry->text().contains(QStringLiteral("\u2026")), qPrintable(entry->text()));
        QVERIFY(QTextDocumentFragment::fromHtml(entry->toolTip())
                    .toPlainText()
                    .remove('\n')
                    .endsWith(QString(230, 'n') + "\\n\\u202e.txt"));
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
    // Each marked line with the tool tip that hovering over it shows, as
    // plain text. A tip that opens the pipe blocks until a writer comes:
    // after a deadline writers keep coming, and the test fails instead of
    // hanging.
    void hoverMarks(QStringList *lines)
    {
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
        for (const QTextEdit::ExtraSelection &mark : view()->extraSelections()) {
            QTextBlock line = view()->document()->findBlock(mark.cursor.selectionStart());
            for (; line.isValid() && line.position() < mark.cursor.selectionEnd();
                 line = line.next()) {
                view()->setTextCursor(QTextCursor(line));
                const QPoint at = view()->cursorRect().center();
                QHelpEvent hover(QEvent::ToolTip, at, view()->viewport()->mapToGlobal(at));
                QCoreApplication::sendEvent(view()->viewport(), &hover);
                *lines << line.text() + " -> " +
                              QTextDocumentFragment::fromHtml(QToolTip::text())
                                  .toPlainText()
                                  .remove('\n');
                for (const QWidget *tip : QApplication::topLevelWidgets()) {
                    if (tip->inherits("QTipLabel") && tip->isVisible())
                        QVERIFY2(tip->width() <= view()->screen()->availableSize().width() * 2 / 3,
                                 qPrintable(lines->last()));
                }
            }
        }
        hovered.set_value();
        rescue.join();
        QVERIFY2(!rescued, "a tip opened the named pipe");
    }

    // Presses keys in the active window, as the user does.
    void press(const QString &keys)
    {
        window->show();
        QApplication::setActiveWindow(window);
        QVERIFY(QTest::qWaitForWindowActive(window));
        if (!keys.isEmpty())
            QTest::keySequence(window, QKeySequence(keys));
    }

    QString fixture(const QString &name, const QByteArray &text, bool zipped) const
    {
        const QString path = files->filePath(name);
        zipped ? writeZip(path, {{QStringLiteral("query.txt"), text}}) : writeFile(path, text);
        return path;
    }

    // Drops a file with Shift held, which makes a file manager propose a move.
    void shiftDrop(const QString &path)
    {
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(path)});
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton,
                        Qt::ShiftModifier);
        static_cast<QObject *>(window)->event(&drop);
        QCOMPARE(drop.dropAction(), Qt::CopyAction);
        QCOMPARE(answerer->boxes, QStringList());
        QCoreApplication::sendPostedEvents();
    }

    // The entries of File > Open Recent as it opens, without "Clear Menu".
    QStringList recentEntries() const
    {
        auto *menu = window->findChild<QMenu *>("menuRecent");
        emit menu->aboutToShow();
        QStringList entries;
        for (const QAction *entry : menu->actions())
            entries << entry->text();
        return entries.mid(0, entries.size() - 2);
    }

    QString pipe() const { return settingsDir.filePath("pipe"); }
    QPlainTextEdit *view() const { return window->findChild<QPlainTextEdit *>("queryTextEdit"); }
    QLineEdit *field() const { return window->findChild<QLineEdit *>("findLineEdit"); }

    QTemporaryDir settingsDir;
    QTemporaryDir *files = nullptr;
    BrindleQueryTool *window = nullptr;
    ModalAnswerer *answerer = nullptr;
};

// The window opens the file its command line names, so the application gets
// the program's name alone: a test function named on the command line to run
// it alone is no file to open.
int main(int argc, char **argv)
{
    int applicationArgc = 1;
    QApplication application(applicationArgc, argv);
    application.setAttribute(Qt::AA_Use96Dpi, true);
    TestMainWindow test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_mainwindow.moc"
