// The program as a user meets it: the built viewer started as a child
// process on a real (virtual) X display, watched and driven with xdotool.

#include "query/archive.h"
#include "testfiles.h"
#include "update/updatemanager.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRect>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

QString run(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    process.waitForFinished(10000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// The visible top-level window whose title matches, or an empty id.
QString findWindow(const QString &titlePattern)
{
    return run({"search", "--onlyvisible", "--name", titlePattern})
        .section(QLatin1Char('\n'), 0, 0);
}

QRect geometry(const QString &window)
{
    const QString text = run({"getwindowgeometry", window});
    const QRegularExpressionMatch m =
        QRegularExpression("Position: (-?\\d+),(-?\\d+).*Geometry: (\\d+)x(\\d+)",
                           QRegularExpression::DotMatchesEverythingOption)
            .match(text);
    if (!m.hasMatch())
        return QRect();
    return QRect(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt(),
                 m.captured(4).toInt());
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

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void firstRunShowsFormSizeAndInstalledVersion();
    void windowComesBackWhereItWasLeft();
    void positionOffEveryScreenIsNotApplied();
    void commandLine_data();
    void commandLine();
    void updateOffer_data();
    void updateOffer();

private:
    void start(const QStringList &arguments = {});
    QString waitForWindow(const QString &titlePattern);
    int quitAndWait(const QString &window);
    QString userSettingsFile() const;
    void setInstalledVersion(const QString &version);
    void publishInstaller(const QString &version);

    QTemporaryDir *home = nullptr;
    QProcess *viewer = nullptr;
    const QString installerPath = publishedInstallerPath;
};

void TestStartup::initTestCase()
{
    if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
        QSKIP("xdotool is needed to drive the viewer");
    QVERIFY(QFile::exists(QCoreApplication::applicationDirPath() + "/BrindleQueryTool"));
}

void TestStartup::init()
{
    home = new QTemporaryDir;
    QFile::remove(installerPath);
    setInstalledVersion(QStringLiteral("1.2"));
}

void TestStartup::cleanup()
{
    if (viewer) {
        viewer->kill();
        viewer->waitForFinished();
        delete viewer;
        viewer = nullptr;
    }
    QFile::remove(installerPath);
    delete home;
}

QString TestStartup::userSettingsFile() const
{
    return home->filePath(QStringLiteral("config/Corvelle/BrindleQueryTool.conf"));
}

void TestStartup::setInstalledVersion(const QString &version)
{
    QSettings system(QStringLiteral(BRINDLE_SYSTEM_SETTINGS_DIR "/Corvelle/BrindleQueryTool.conf"),
                     QSettings::IniFormat);
    system.setValue(QStringLiteral("Version"), version);
}

void TestStartup::publishInstaller(const QString &version)
{
    const QString package = buildInstallerPackage(home->path(), QStringLiteral("package"), version);
    QVERIFY(!package.isEmpty());
    QDir().mkpath(QFileInfo(installerPath).absolutePath());
    QVERIFY(QFile::copy(package, installerPath));
}

void TestStartup::start(const QStringList &arguments)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home->filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("TMPDIR"), home->filePath(QStringLiteral("tmp")));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    // The desktop shell's opener: records what it was asked to open.
    environment.insert(QStringLiteral("PATH"),
                       home->filePath(QStringLiteral("bin")) + ':' + environment.value("PATH"));
    QDir(home->path()).mkpath(QStringLiteral("tmp"));
    QVERIFY(writeFile(home->filePath(QStringLiteral("bin/xdg-open")),
                      "#!/bin/sh\nprintf '%s' \"$1\" > \"$(dirname \"$0\")/../opened\"\n"));
    QFile::setPermissions(home->filePath(QStringLiteral("bin/xdg-open")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    viewer = new QProcess;
    viewer->setProcessEnvironment(environment);
    viewer->setProcessChannelMode(QProcess::ForwardedChannels);
    viewer->start(QCoreApplication::applicationDirPath() + "/BrindleQueryTool", arguments);
    QVERIFY(viewer->waitForStarted());
}

QString TestStartup::waitForWindow(const QString &titlePattern)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 30000 && viewer->state() == QProcess::Running) {
        const QString window = findWindow(titlePattern);
        if (!window.isEmpty())
            return window;
        QTest::qWait(100);
    }
    return QString();
}

int TestStartup::quitAndWait(const QString &window)
{
    pressKeys(window, QStringLiteral("ctrl+q"));
    if (!viewer->waitForFinished(20000))
        return -1;
    return viewer->exitStatus() == QProcess::NormalExit ? viewer->exitCode() : -1;
}

void TestStartup::firstRunShowsFormSizeAndInstalledVersion()
{
    start();
    const QString window = waitForWindow(QStringLiteral("^BrindleQueryTool 1\\.2$"));
    QVERIFY(!window.isEmpty());
    QCOMPARE(geometry(window).size(), QSize(423, 405));
    QCOMPARE(quitAndWait(window), 0);

    const QSettings stored(userSettingsFile(), QSettings::IniFormat);
    QCOMPARE(stored.value(QStringLiteral("size")).toSize(), QSize(423, 405));
    QVERIFY(stored.contains(QStringLiteral("pos")));
    QVERIFY(stored.contains(QStringLiteral("fileDialogDirName")));
}

void TestStartup::windowComesBackWhereItWasLeft()
{
    start();
    QString window = waitForWindow(QStringLiteral("^BrindleQueryTool"));
    QVERIFY(!window.isEmpty());
    run({"windowmove", "--sync", window, "210", "160"});
    run({"windowsize", "--sync", window, "640", "480"});
    QTRY_COMPARE(geometry(window), QRect(210, 160, 640, 480));
    QCOMPARE(quitAndWait(window), 0);
    delete viewer;
    viewer = nullptr;

    start();
    window = waitForWindow(QStringLiteral("^BrindleQueryTool"));
    QVERIFY(!window.isEmpty());
    QCOMPARE(geometry(window), QRect(210, 160, 640, 480));
}

void TestStartup::positionOffEveryScreenIsNotApplied()
{
    {
        QSettings stored(userSettingsFile(), QSettings::IniFormat);
        stored.setValue(QStringLiteral("pos"), QPoint(5000, 4000));
        stored.setValue(QStringLiteral("size"), QSize(500, 300));
    }
    start();
    const QString window = waitForWindow(QStringLiteral("^BrindleQueryTool"));
    QVERIFY(!window.isEmpty());
    const QRect placed = geometry(window);
    QCOMPARE(placed.size(), QSize(500, 300));
    QVERIFY2(placed.x() < 1280 && placed.y() < 1024, "window placed off the screen");
}

void TestStartup::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("warning");

    QTest::newRow("unreadable file -> Uh-oh before the window") << QStringList{"query.xml"} << true;
    QTest::newRow("empty first argument -> nothing opened")
        << QStringList{"", "query.xml"} << false;
    QTest::newRow("readable file then unreadable -> only the first opened")
        << QStringList{"QUERY", "query.xml"} << false;
}

void TestStartup::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, warning);

    const QString query = home->filePath(QStringLiteral("query.txt"));
    QVERIFY(writeFile(query, "<command name=\"cat\" args=\"/opt/corvelle/sdcard/settings/primary\">"
                             "\n  key=\"id-model-name\" value=\"Model A\"\n</command>\n"));
    for (QString &argument : arguments) {
        if (argument == QLatin1String("QUERY"))
            argument = query;
        else if (!argument.isEmpty())
            argument = home->filePath(argument);
    }
    start(arguments);
    if (warning) {
        const QString box = waitForWindow(QStringLiteral("^Uh-oh$"));
        QVERIFY(!box.isEmpty());
        QVERIFY(findWindow(QStringLiteral("^BrindleQueryTool")).isEmpty());
        pressKeys(box, QStringLiteral("Return"));
    }
    const QString window = waitForWindow(QStringLiteral("^BrindleQueryTool"));
    QVERIFY(!window.isEmpty());
    QVERIFY(findWindow(QStringLiteral("^Uh-oh$")).isEmpty());
    QCOMPARE(quitAndWait(window), 0);
}

void TestStartup::updateOffer_data()
{
    QTest::addColumn<QString>("answer");
    QTest::newRow("Yes -> installer opened, process ends with 0") << "Return";
    QTest::newRow("No -> start-up goes on") << "Escape";
}

void TestStartup::updateOffer()
{
    QFETCH(QString, answer);
    publishInstaller(QStringLiteral("1.3"));
    start();
    const QString question = waitForWindow(QStringLiteral("^New version available$"));
    QVERIFY(!question.isEmpty());
    QVERIFY(findWindow(QStringLiteral("^BrindleQueryTool")).isEmpty());
    pressKeys(question, answer);

    QFile opened(home->filePath(QStringLiteral("opened")));
    if (answer == QLatin1String("Escape")) {
        const QString window = waitForWindow(QStringLiteral("^BrindleQueryTool 1\\.2$"));
        QVERIFY(!window.isEmpty());
        QVERIFY(!opened.exists());
        QCOMPARE(quitAndWait(window), 0);
        return;
    }
    // Ended before any window was shown, storing no window state.
    QVERIFY(viewer->waitForFinished(30000));
    QCOMPARE(viewer->exitStatus(), QProcess::NormalExit);
    QCOMPARE(viewer->exitCode(), 0);
    QVERIFY(!QFile::exists(userSettingsFile()));
    QVERIFY(opened.open(QIODevice::ReadOnly));
    QFile copy(QUrl(QString::fromUtf8(opened.readAll())).toLocalFile());
    QVERIFY2(copy.fileName().startsWith(home->filePath(QStringLiteral("tmp"))),
             qPrintable(copy.fileName()));
    QFile published(installerPath);
    QVERIFY(copy.open(QIODevice::ReadOnly) && published.open(QIODevice::ReadOnly));
    QVERIFY(copy.readAll() == published.readAll());
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
