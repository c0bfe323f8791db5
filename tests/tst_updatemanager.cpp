#include "testfiles.h"
#include "update/msiprobepackages.h"
#include "update/updatemanager.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

// The installer-package layer answering that another version of the product
// is installed, which the helper process never does.
struct OtherVersionInstalled : InstallerPackages
{
    ProductVersionReading readProductVersion(const QString &) override { return {1638, 0, 0, "9"}; }
};

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

} // namespace

class TestUpdateManager : public QObject
{
    Q_OBJECT

public slots:
    // The desktop shell, as far as these tests are concerned.
    void openFile(const QUrl &url) { openedUrls << url; }

private slots:
    void initTestCase()
    {
        for (const char *version : {"1.2", "1.3", "1.2.rc1", "1.2.3.4.5.6.789", "1.2.3.4.5.6.7890"})
            QVERIFY(!buildInstallerPackage(packagesDir.path(), version, version).isEmpty());
        QVERIFY(writeFile(packagesDir.filePath("text.msi"), "not an installer package\n"));
        const QByteArray whole = readFile(packagesDir.filePath("1.2.msi"));
        QVERIFY(writeFile(packagesDir.filePath("truncated.msi"), whole.left(whole.size() / 2)));
        QDesktopServices::setUrlHandler("file", this, "openFile");
    }

    void init() { openedUrls.clear(); }

    // Real packages read by the helper process; scripts standing in for a
    // helper gone wrong (one left hanging would hang the test past its
    // time-out); no package at all: the layer's double. The result is the
    // version read or the one error text.
    void productVersion_data()
    {
        QTest::addColumn<QString>("package");
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QString>("result");

        const QString invalid = "Failed to open .msi package.\nError code: 1620";
        QTest::newRow("1.2.rc1 -> '1.2.rc1'") << "1.2.rc1.msi" << QByteArray() << "1.2.rc1";
        QTest::newRow("15 characters -> read")
            << "1.2.3.4.5.6.789.msi" << QByteArray() << "1.2.3.4.5.6.789";
        QTest::newRow("16 characters -> 234") << "1.2.3.4.5.6.7890.msi" << QByteArray()
                                              << "Failed to get .msi property.\nError code: 234";
        QTest::newRow("missing file -> 1619")
            << "missing.msi" << QByteArray() << "Failed to open .msi package.\nError code: 1619";
        QTest::newRow("text file -> 1620") << "text.msi" << QByteArray() << invalid;
        QTest::newRow("damaged package -> 1620") << "truncated.msi" << QByteArray() << invalid;
        QTest::newRow("helper crashes -> 1620") << "" << QByteArray("kill -SEGV $$") << invalid;
        QTest::newRow("helper hangs -> 1620") << "" << QByteArray("exec sleep 300") << invalid;
        QTest::newRow("1638 -> installed version, silent") << "" << QByteArray() << "2.5";
    }

    void productVersion()
    {
        QFETCH(QString, package);
        QFETCH(QByteArray, script);
        QFETCH(QString, result);

        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("probe.sh"), script));
        // The shell as helper runs the script it is given in place of a package.
        MsiProbePackages shell("/bin/sh", 500);
        OtherVersionInstalled installed;
        UpdateManagerSetup setup;
        // Null: the platform's own layer, which runs the real helper.
        setup.packages = !script.isEmpty()   ? static_cast<InstallerPackages *>(&shell)
                         : package.isEmpty() ? &installed
                                             : nullptr;
        QStringList errors;
        UpdateManager manager(
            "2.5", [&](QString text) { errors << text; }, setup);

        const QString version = manager.msiProductVersion(
            script.isEmpty() ? packagesDir.filePath(package) : dir.filePath("probe.sh"));
        const bool failed = result.startsWith("Failed to ");
        QCOMPARE(version.isNull(), failed);
        QCOMPARE(version, failed ? QString() : result);
        QCOMPARE(errors, failed ? QStringList{result} : QStringList());
    }

    void install_data()
    {
        QTest::addColumn<QString>("setting");

        QTest::newRow("old copy, '#%?' in path -> replaced, right file opened") << "old copy";
        QTest::newRow("directory is a link -> refused") << "linked directory";
        QTest::newRow("directory of another user -> refused") << "foreign directory";
    }

    // The copy goes to a directory whose name a URL parser would misread, so a
    // URL made from the path text would name another file.
    void install()
    {
        QFETCH(QString, setting);
        const bool installed = setting == "old copy";

        QTemporaryDir dir;
        const QString copyDir = dir.filePath("a#b%20c?d");
        const QString copy = copyDir + "/installer.msi";
        if (setting == "old copy")
            QVERIFY(writeFile(copy, "left from an earlier installation"));
        if (setting == "linked directory")
            QVERIFY(QFile::link(dir.path(), copyDir));
        if (setting == "foreign directory" && geteuid() != 0)
            QSKIP("Needs root to give a directory to another user");
        if (setting == "foreign directory")
            QVERIFY(QDir().mkpath(copyDir) && ::chown(qPrintable(copyDir), 65534, 65534) == 0);
        UpdateManagerSetup setup;
        setup.installerCopyPath = copy;
        QStringList errors;
        UpdateManager manager(
            "1.0", [&](QString text) { errors << text; }, setup);

        const QString package = packagesDir.filePath("1.3.msi");
        QCOMPARE(manager.installUpdate(package), installed);
        QCOMPARE(openedUrls, installed ? QList<QUrl>{QUrl::fromLocalFile(copy)} : QList<QUrl>());
        QCOMPARE(errors.size(), installed ? 0 : 1);
        QVERIFY(!QFile::exists(dir.filePath("installer.msi")));
        if (installed) {
            QCOMPARE(readFile(copy), readFile(package));
            // Made private (no group or other bits) although it was created with the
            // usual permissions.
            QCOMPARE(QFileInfo(copyDir).permissions() & 0x77, QFile::Permissions());
        } else {
            QVERIFY2(
                errors.first().startsWith("Could not prepare the private directory " + copyDir),
                qPrintable(errors.first()));
        }
    }

private:
    QTemporaryDir packagesDir;
    QList<QUrl> openedUrls;
};

QTEST_GUILESS_MAIN(TestUpdateManager)
#include "tst_updatemanager.moc"
