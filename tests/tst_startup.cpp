// The program as a user meets it: the built viewer started as a child
// process on a real (virtual) X display, watched and driven with xdotool.
// BRINDLE_TEST_SCALE names the display's scale (2 on a 192-DPI display);
// stored sizes and positions are in Qt's units whatever the scale.

#include "testfiles.h"
#include "update/updatemanager.h"

#include <QDir>
#include <QProcess>
#include <QRect>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

namespace {

QString run(const QStringList &arguments, int timeoutMs = 10000)
{
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    process.waitForFinished(timeoutMs);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// The visible top-level window whose title matches, or an empty id: waited
// for up to 30 s, or only looked for now.
QString findWindow(const QString &titlePattern, bool wait = true)
{
    QStringList arguments{"search", "--onlyvisible", "--name", titlePattern};
    if (wait)
        arguments.insert(1, "--sync");
    return run(arguments, 30000).section('\n', 0, 0);
}

// In device pixels.
QRect geometry(const QString &window)
{
    // WINDOW=, X=, Y=, WIDTH=, HEIGHT=, SCREEN=, one a line.
    const QStringList lines = run({"getwindowgeometry", "--shell", window}).split('\n');
    const auto value = [&](int line) {
        return lines.value(line).section('=', 1).toInt();
    };
    return QRect(value(1), value(2), value(3), value(4));
}

void pressKeys(const QString &window, const QString &keys)
{
    run({"windowfocus", "--sync", window});
    run({"key", "--clearmodifiers", keys});
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

    QTemporaryDir *home = nullptr;
    QProcess *viewer = nullptr;
    const QString userSettings = "config/Corvelle/BrindleQueryTool.conf";

    // The desktop shell's opener is a stand-in that records the URL it is
    // given and exits with openerExit. The viewer's temporary folder, home,
    // has a blank, '#' and '%' in its name, so a path that reaches a shell or
    // a URL parser unescaped is lost.
    void start(const QStringList &arguments = {}, int openerExit = 0)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // The display alone decides the scale.
        for (const char *scaling : {"QT_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS",
                                    "QT_AUTO_SCREEN_SCALE_FACTOR", "QT_ENABLE_HIGHDPI_SCALING"})
            environment.remove(scaling);
        environment.insert("XDG_CONFIG_HOME", home->filePath("config"));
        environment.insert("TMPDIR", home->path());
        environment.insert("QT_QPA_PLATFORM", "xcb");
        environment.insert("PATH", home->filePath("bin") + ':' + environment.value("PATH"));
        const QString opener = home->filePath("bin/xdg-open");
        const QByteArray record = "printf '%s' \"$1\" > \"$(dirname \"$0\")/../opened\"\n";
        QVERIFY(
            writeFile(opener, "#!/bin/sh\n" + record + "exit " + QByteArray::number(openerExit)));
        QFile::setPermissions(opener, QFile::ReadOwner | QFile::ExeOwner);
        viewer = new QProcess;
        viewer->setProcessEnvironment(environment);
        viewer->setProcessChannelMode(QProcess::ForwardedChannels);
        viewer->start(QCoreApplication::applicationDirPath() + "/BrindleQueryTool", arguments);
        QVERIFY(viewer->waitForStarted());
    }

private slots:
    void initTestCase()
    {
        QSettings(BRINDLE_SYSTEM_SETTINGS_DIR "/Corvelle/BrindleQueryTool.conf",
                  QSettings::IniFormat)
            .setValue("Version", "1.2");
    }

    void init()
    {
        home = new QTemporaryDir(QDir::tempPath() + "/tst startup#%-XXXXXX");
        QFile::remove(publishedInstallerPath);
    }

    void cleanup()
    {
        delete viewer; // kills the process and waits for it
        viewer = nullptr;
        QFile::remove(publishedInstallerPath);
        delete home;
    }

    // One start of the viewer: the window state stored before it, the command
    // line, and the opener's exit status after an update is published (-1: none
    // is); then the boxes shown before the window, in order, each answered
    // with a key ("title=key"), and whether the window comes up or the process
    // ends with status 0 before it. The window comes up where it was left, or
    // on the screen, and stores where it is on quitting.
    void startUp_data()
    {
        QTest::addColumn<QRect>("stored");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("opener");
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<bool>("window");

        const auto row = [](const char *name, QRect stored, QStringList arguments, int opener,
                            QStringList boxes, bool window) {
            QTest::newRow(name) << stored << arguments << opener << boxes << window;
        };
        const QString offer = "New version available=";
        row("first run -> 423x405, state stored", {}, {}, -1, {}, true);
        row("stored 640x480 at 210,160 -> shown there", {210, 160, 640, 480}, {}, -1, {}, true);
        row("stored off every screen -> size kept, placed on the screen", {5000, 4000, 500, 300},
            {}, -1, {}, true);
        row("empty first argument -> nothing opened", {}, {"", "query.xml"}, -1, {}, true);
        row("readable file then unreadable -> only the first opened", {},
            {"query.txt", "query.xml"}, -1, {}, true);
        row("update declined, unreadable file -> Uh-oh, then the window", {}, {"query.xml"}, 0,
            {offer + "Escape", "Uh-oh=Return"}, true);
        row("update accepted, shell opens the copy -> ends with 0, no window", {}, {}, 0,
            {offer + "Return"}, false);
        row("update accepted, shell finds no application -> Uh-oh, then the window", {}, {}, 3,
            {offer + "Return", "Uh-oh=Return"}, true);
    }

    void startUp()
    {
        QFETCH(QRect, stored);
        QFETCH(QStringList, arguments);
        QFETCH(int, opener);
        QFETCH(QStringList, boxes);
        QFETCH(bool, window);
        const int scale = qMax(1, qEnvironmentVariableIntValue("BRINDLE_TEST_SCALE"));
        const QRect screen(0, 0, 1280, 1024); // in Qt's units at every scale
        if (stored.isValid()) {
            QSettings settings(home->filePath(userSettings), QSettings::IniFormat);
            settings.setValue("pos", stored.topLeft());
            settings.setValue("size", stored.size());
        }
        if (opener >= 0) {
            const QString package = buildInstallerPackage(home->path(), "package", "1.3");
            QVERIFY(QDir().mkpath(QFileInfo(publishedInstallerPath).absolutePath()));
            QVERIFY(QFile::copy(package, publishedInstallerPath));
        }
        QVERIFY(writeFile(home->filePath("query.txt"), "a query of a single line\n"));
        for (QString &argument : arguments)
            argument = argument.isEmpty() ? argument : home->filePath(argument);
        start(arguments, opener);

        for (const QString &box : boxes) {
            const QString shown = findWindow('^' + box.section('=', 0, 0) + '$');
            QVERIFY2(!shown.isEmpty(), qPrintable(box));
            QVERIFY(findWindow(QStringLiteral("^BrindleQueryTool"), false).isEmpty());
            pressKeys(shown, box.section('=', 1));
        }
        QRect shown;
        if (window) {
            const QString main = findWindow(QStringLiteral("^BrindleQueryTool 1\\.2"));
            QVERIFY(!main.isEmpty());
            shown = geometry(main);
            QCOMPARE(shown.size(), (stored.isValid() ? stored.size() : QSize(423, 405)) * scale);
            QVERIFY2(screen.contains(shown.topLeft() / scale), "placed off the screen");
            if (screen.contains(stored))
                QCOMPARE(shown.topLeft(), stored.topLeft() * scale);
            pressKeys(main, QStringLiteral("ctrl+q"));
        }
        QVERIFY(viewer->waitForFinished(30000));
        QCOMPARE(viewer->exitStatus(), QProcess::NormalExit);
        QCOMPARE(viewer->exitCode(), 0);
        // Stored on quitting; an update that starts ends the viewer storing nothing.
        const QSettings settings(home->filePath(userSettings), QSettings::IniFormat);
        QCOMPARE(settings.contains("fileDialogDirName"), window);
        if (window) {
            QCOMPARE(settings.value("size").toSize(), shown.size() / scale);
            QCOMPARE(settings.value("pos").toPoint(), shown.topLeft() / scale);
        }
        // The viewer waits for the opener, so by now its record is complete.
        QFile opened(home->filePath("opened"));
        QCOMPARE(opened.open(QIODevice::ReadOnly), boxes.contains("New version available=Return"));
        if (opened.isOpen()) {
            const QString copy = QUrl::fromEncoded(opened.readAll()).toLocalFile();
            QVERIFY2(copy.startsWith(home->path() + '/'), qPrintable(copy));
            QCOMPARE(QFileInfo(copy).size(), QFileInfo(publishedInstallerPath).size());
        }
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
