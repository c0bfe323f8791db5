// The program as a user meets it: the built viewer started as a child
// process on a real (virtual) X display, watched and driven with xdotool.
// BRINDLE_TEST_SCALE names the display's scale (1.5 at 144 DPI, 2 at 192);
// stored sizes and positions are in Qt's units whatever the scale.

#include "testfiles.h"
#include "update/updatemanager.h"

#include <QtTest>

namespace {

QStringList xdotool(const QStringList &arguments)
{
    QProcess process;
    process.start("xdotool", arguments);
    process.waitForFinished(30000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed().split('\n');
}

// The first visible top-level window whose title matches, waited for up to 30 s.
QString findWindow(const QString &title)
{
    return xdotool({"search", "--sync", "--onlyvisible", "--name", title}).value(0);
}

// The opener's status standing for one that never ends, as xdg-open does
// while it runs the installer in the foreground.
constexpr int keepsRunning = -2;

void pressKeys(const QString &window, const QString &keys)
{
    xdotool({"windowfocus", "--sync", window, "key", "--clearmodifiers", keys});
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QSettings(BRINDLE_SYSTEM_SETTINGS_DIR "/Corvelle/BrindleQueryTool.conf",
                  QSettings::IniFormat)
            .setValue("Version", "1.2");
        QFile::remove(publishedInstallerPath);
    }

    void cleanup() { QFile::remove(publishedInstallerPath); }

    // One start of the viewer: the window state stored before it, the command
    // line, and the opener's exit status after an update is published (-1: none
    // is); then the boxes shown before the window, in order, each answered
    // with a key ("title=key"), and whether the window comes up, titled with
    // the file it opened, or the process ends with status 0 before it, within
    // 15 s and leaving an opener that keeps running alive. The window comes up
    // where it was left, or on the screen, and stores where it is on quitting.
    void startUp_data()
    {
        QTest::addColumn<QRect>("stored");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("openerExit");
        QTest::addColumn<QStringList>("boxes");
        const auto row = [](const char *name, QRect stored, QStringList arguments, int openerExit,
                            QStringList boxes) {
            QTest::newRow(name) << stored << arguments << openerExit << boxes;
        };
        const QString offer = "New version available=";
        row("first run -> 423x405, state stored", {}, {}, -1, {});
        row("stored 640x480 at 210,160, empty first argument -> shown there, nothing opened",
            {210, 160, 640, 480}, {"", "query.xml"}, -1, {});
        row("stored off every screen, readable file then unreadable -> on the screen, first opened",
            {5000, 4000, 500, 300}, {"query.txt", "query.xml"}, -1, {});
        row("update declined, unreadable file -> Uh-oh, then the window", {}, {"query.xml"}, 0,
            {offer + "Escape", "Uh-oh=Return"});
        row("update accepted, shell opens the copy -> ends with 0, no window", {}, {}, 0,
            {offer + "Return"});
        row("update accepted, shell finds no application -> Uh-oh, then the window", {}, {}, 3,
            {offer + "Return", "Uh-oh=Return"});
        row("update accepted, shell runs the installer in the foreground -> ends with 0, opener "
            "left running",
            {}, {}, keepsRunning, {offer + "Return"});
    }

    void startUp()
    {
        QFETCH(QRect, stored);
        QFETCH(QStringList, arguments);
        QFETCH(int, openerExit);
        QFETCH(QStringList, boxes);
        const bool handedOver = boxes.value(boxes.size() - 1) == "New version available=Return";
        const qreal scale = qEnvironmentVariable("BRINDLE_TEST_SCALE", "1").toDouble();
        const QRect screen(0, 0, 1440, 1024); // in Qt's units at every scale
        // A blank, '#' and '%' in the viewer's temporary folder: a path that
        // reaches a shell or a URL parser unescaped is lost.
        const QTemporaryDir home(QDir::tempPath() + "/tst startup#%-XXXXXX");
        const QString userSettings = home.filePath("config/Corvelle/BrindleQueryTool.conf");
        if (stored.isValid()) {
            QSettings settings(userSettings, QSettings::IniFormat);
            settings.setValue("pos", stored.topLeft());
            settings.setValue("size", stored.size());
        }
        if (openerExit != -1) {
            const QString package = buildInstallerPackage(home.path(), "package", "1.3");
            QVERIFY(QDir().mkpath(QFileInfo(publishedInstallerPath).absolutePath()));
            QVERIFY(QFile::copy(package, publishedInstallerPath));
        }
        QVERIFY(writeFile(home.filePath("query.txt"), "a query of a single line\n"));
        for (QString &argument : arguments)
            argument = argument.isEmpty() ? argument : home.filePath(argument);
        // The desktop shell's opener: a stand-in that records the URL it is
        // given and exits with the row's status, or keeps running until the
        // test lets it go (a minute at most) and then records that it lived.
        const QString xdgOpen = home.filePath("bin/xdg-open");
        const QString script =
            "#!/bin/sh\nprintf '%s' \"$1\" > \"%1/opened\"\n" +
            (openerExit == keepsRunning
                 ? QString("i=0\nwhile [ ! -e \"%1/go\" ] && [ $i -lt 600 ]; do sleep 0.1; "
                           "i=$((i + 1)); done\ntouch \"%1/lived\"\n")
                 : "exit " + QString::number(openerExit) + '\n');
        QVERIFY(writeFile(xdgOpen, script.arg(home.path()).toUtf8()));
        QFile::setPermissions(xdgOpen, QFile::ReadOwner | QFile::ExeOwner);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // The display alone decides the scale.
        for (const char *scaling : {"QT_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS",
                                    "QT_AUTO_SCREEN_SCALE_FACTOR", "QT_ENABLE_HIGHDPI_SCALING"})
            environment.remove(scaling);
        environment.insert("XDG_CONFIG_HOME", home.filePath("config"));
        environment.insert("TMPDIR", home.path());
        environment.insert("QT_QPA_PLATFORM", "xcb");
        environment.insert("PATH", home.filePath("bin") + ':' + environment.value("PATH"));
        QProcess viewer; // killed and waited for when it goes out of scope
        viewer.setProcessEnvironment(environment);
        viewer.setProcessChannelMode(QProcess::ForwardedChannels);
        viewer.start(QCoreApplication::applicationDirPath() + "/BrindleQueryTool", arguments);
        QVERIFY(viewer.waitForStarted());

        const QString mainTitle = "^BrindleQueryTool";
        for (const QString &box : boxes) {
            const QString shown = findWindow('^' + box.section('=', 0, 0) + '$');
            QVERIFY2(!shown.isEmpty(), qPrintable(box));
            QVERIFY(xdotool({"search", "--onlyvisible", "--name", mainTitle}) == QStringList{""});
            pressKeys(shown, box.section('=', 1));
        }
        QRect shown;
        if (!handedOver) {
            // Titled with the file the command line opened, or with no file.
            const QString named = arguments.value(0).endsWith("query.txt") ? " .+ query\\.txt" : "";
            const QString main = findWindow(mainTitle + " 1\\.2" + named + '$');
            QVERIFY(!main.isEmpty());
            // WINDOW=, X=, Y=, WIDTH=, HEIGHT=, SCREEN=, one a line, in device pixels.
            QVector<int> v;
            for (const QString &line : xdotool({"getwindowgeometry", "--shell", main}))
                v << line.section('=', 1).toInt();
            shown = QRect(v.value(1), v.value(2), v.value(3), v.value(4));
            QCOMPARE(shown.size(), (stored.isValid() ? stored.size() : QSize(423, 405)) * scale);
            QVERIFY2(screen.contains(shown.topLeft() / scale), "placed off the screen");
            if (screen.contains(stored))
                QCOMPARE(shown.topLeft(), stored.topLeft() * scale);
            pressKeys(main, "ctrl+q");
        }
        QVERIFY(viewer.waitForFinished(15000));
        QCOMPARE(viewer.exitStatus(), QProcess::NormalExit);
        QCOMPARE(viewer.exitCode(), 0);
        // Stored on quitting; an update that starts ends the viewer storing nothing.
        const QSettings settings(userSettings, QSettings::IniFormat);
        QCOMPARE(settings.contains("fileDialogDirName"), !handedOver);
        if (!handedOver)
            QCOMPARE(QRect(settings.value("pos").toPoint(), settings.value("size").toSize()),
                     QRect(shown.topLeft() / scale, shown.size() / scale));
        // The viewer waits for the opener; one that keeps running must have
        // been left to run, also after the viewer's end.
        if (openerExit == keepsRunning) {
            QVERIFY(writeFile(home.filePath("go"), ""));
            QTRY_VERIFY2(QFile::exists(home.filePath("lived")), "the opener was killed");
        }
        QFile opened(home.filePath("opened"));
        QCOMPARE(opened.open(QIODevice::ReadOnly), boxes.contains("New version available=Return"));
        if (opened.isOpen()) {
            const QString copy = QUrl::fromEncoded(opened.readAll()).toLocalFile();
            QVERIFY2(copy.startsWith(home.path() + '/'), qPrintable(copy));
            QCOMPARE(QFileInfo(copy).size(), QFileInfo(publishedInstallerPath).size());
        }
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
