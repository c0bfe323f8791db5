#include "testfiles.h"
#include "update/msiprobepackages.h"
#include "update/updatecheck.h"
#include "update/updatemanager.h"

#include <QtTest>

#include <unistd.h>

namespace {

// The installer-package layer with a canned answer, such as another version
// of the product being installed (1638), which the helper process never gives.
struct CannedPackages : InstallerPackages
{
    ProductVersionReading reading;
    ProductVersionReading readProductVersion(const QString &) override { return reading; }
};

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

} // namespace

Q_DECLARE_METATYPE(UpdateCheckOutcome)
using O = UpdateCheckOutcome;

class TestUpdateManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        for (const char *version : {"1.3", "1.2.3.4.5.6.789", "1.2.3.4.5.6.7890"})
            QVERIFY(!buildInstallerPackage(packagesDir.path(), version, version).isEmpty());
        const QByteArray whole = readFile(packagesDir.filePath("1.3.msi"));
        QVERIFY(writeFile(packagesDir.filePath("truncated.msi"), whole.left(whole.size() / 2)));
        QVERIFY(writeFile(packagesDir.filePath("crash.sh"), "printf '0 0 v:39\\n'; kill -SEGV $$"));
        QVERIFY(writeFile(packagesDir.filePath("hang.sh"), "exec sleep 300"));
    }

    // Real packages read by the helper process; scripts run by the shell in
    // its place stand in for a helper gone wrong: one that answers and then
    // crashes, one left hanging (without the time limit it would hang the test
    // past its time-out). The result is the version read or the one error text.
    void productVersion_data()
    {
        QTest::addColumn<QString>("package");
        QTest::addColumn<QString>("result");

        const QString failed = "Failed to open .msi package.\nError code: ";
        QTest::newRow("15 characters -> read") << "1.2.3.4.5.6.789.msi"
                                               << "1.2.3.4.5.6.789";
        QTest::newRow("16 characters -> 234") << "1.2.3.4.5.6.7890.msi"
                                              << "Failed to get .msi property.\nError code: 234";
        QTest::newRow("missing file -> 1619") << "missing.msi" << failed + "1619";
        QTest::newRow("damaged package -> 1620") << "truncated.msi" << failed + "1620";
        QTest::newRow("helper crashes -> 1620") << "crash.sh" << failed + "1620";
        QTest::newRow("helper hangs -> 1620") << "hang.sh" << failed + "1620";
    }

    void productVersion()
    {
        QFETCH(QString, package);
        QFETCH(QString, result);

        MsiProbePackages shell("/bin/sh", 500);
        UpdateManagerSetup setup;
        // Null: the platform's own layer, which runs the real helper.
        setup.packages = package.endsWith(".sh") ? &shell : nullptr;
        QStringList errors;
        UpdateManager manager(
            "2.5", [&](QString text) { errors << text; }, setup);
        const QString version = manager.msiProductVersion(packagesDir.filePath(package));
        // Either a version or a null string and exactly one error.
        QCOMPARE(version.isNull() ? errors.value(0) : version, result);
        QCOMPARE(errors.size() + !version.isNull(), 1);
    }

    // The start-up check with installed version 1.2: the user accepts unless
    // the row expects Declined; the row's name says what is in the way. The
    // copy goes to a directory whose name a URL parser would misread, so a URL
    // made from the path text would name another file.
    void updateCheck_data()
    {
        QTest::addColumn<QString>("published");
        QTest::addColumn<UpdateCheckOutcome>("expected");
        QTest::newRow("1.2 -> no update, nothing asked") << "1.2" << O::NoUpdate;
        QTest::newRow("9, another version installed (1638) -> silent") << "9" << O::NoUpdate;
        QTest::newRow("2.%1, No -> declined, asked with '%1' kept") << "2.%1" << O::Declined;
        QTest::newRow("1.3, old copy -> replaced, to the shell") << "1.3" << O::InstallerStarted;
        QTest::newRow("1.3, directory is a link -> refused") << "1.3" << O::InstallFailed;
        QTest::newRow("1.3, directory of another user -> refused") << "1.3" << O::InstallFailed;
    }

    void updateCheck()
    {
        QFETCH(QString, published);
        QFETCH(UpdateCheckOutcome, expected);
        const QString row = QTest::currentDataTag();
        QTemporaryDir dir;
        const QString copyDir = dir.filePath("a#b%20c?d");
        const QString copy = copyDir + "/installer.msi";
        if (row.contains("old copy"))
            QVERIFY(writeFile(copy, "left from an earlier installation"));
        if (row.contains("link"))
            QVERIFY(QFile::link(dir.path(), copyDir));
        if (row.contains("another user") && geteuid() != 0)
            QSKIP("Needs root to give a directory to another user");
        else if (row.contains("another user"))
            QVERIFY(QDir().mkpath(copyDir) && ::chown(qPrintable(copyDir), 65534, 65534) == 0);
        CannedPackages packages;
        packages.reading.value = published;
        packages.reading.openResult = row.contains("1638") ? InstallerResult::productVersion : 0;
        QList<QUrl> opened;
        UpdateManagerSetup setup{&packages, [&](const QUrl &url) { return opened << url, true; },
                                 copy};
        QStringList errors;
        UpdateManager manager(
            "1.2", [&](QString text) { errors << text; }, setup);
        QStringList questions;
        const auto ask = [&](const QString &version) {
            questions << updateQuestionText(version);
            return expected != O::Declined;
        };
        const QString package = packagesDir.filePath("1.3.msi");
        QCOMPARE(runUpdateCheck(manager, package, ask), expected);
        const QString question =
            "Version " + published + " of this application is now available.\n\nInstall it now?";
        QCOMPARE(questions, expected == O::NoUpdate ? QStringList() : QStringList{question});
        const bool started = expected == O::InstallerStarted;
        QCOMPARE(opened, started ? QList<QUrl>{QUrl::fromLocalFile(copy)} : QList<QUrl>());
        const QString refusal = "Could not prepare the private directory " + copyDir;
        QCOMPARE(errors.size(), expected == O::InstallFailed ? 1 : 0);
        QCOMPARE(errors.value(0).left(refusal.size()), expected == O::InstallFailed ? refusal : "");
        QVERIFY(!QFile::exists(dir.filePath("installer.msi")));
        // Made private (no group or other bits) although it was created with
        // the usual permissions.
        if (started)
            QVERIFY(readFile(copy) == readFile(package) &&
                    !(QFileInfo(copyDir).permissions() & 0x77));
    }

private:
    QTemporaryDir packagesDir;
};

QTEST_GUILESS_MAIN(TestUpdateManager)
#include "tst_updatemanager.moc"
