#include "testfiles.h"
#include "update/msiprobepackages.h"
#include "update/updatemanager.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Gives one canned reading, whatever the path.
class CannedPackages : public InstallerPackages
{
public:
    ProductVersionReading reading;
    ProductVersionReading readProductVersion(const QString &) override { return reading; }
};

ProductVersionReading makeReading(quint32 open, quint32 property, quint32 close,
                                  const QString &value)
{
    ProductVersionReading reading;
    reading.openResult = open;
    reading.propertyResult = property;
    reading.closeResult = close;
    reading.value = value;
    return reading;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

} // namespace

Q_DECLARE_METATYPE(ProductVersionReading)

class TestUpdateManager : public QObject
{
    Q_OBJECT

public slots:
    // The desktop shell, as far as these tests are concerned.
    void openFile(const QUrl &url) { openedUrls << url; }

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void productVersionFromPackage_data();
    void productVersionFromPackage();
    void unusableProbeIsInvalidPackage_data();
    void unusableProbeIsInvalidPackage();
    void resultCodesToTexts_data();
    void resultCodesToTexts();
    void installCopiesAndOpensTheCopy_data();
    void installCopiesAndOpensTheCopy();
    void installFailures_data();
    void installFailures();
    void defaultCopyIsInPrivateDirectory();

private:
    QString buildPackage(const QString &name, const QString &version);

    QTemporaryDir packagesDir;
    QScopedPointer<QTemporaryDir> workDir;
    QStringList errors;
    QList<QUrl> openedUrls;
};

QString TestUpdateManager::buildPackage(const QString &name, const QString &version)
{
    return buildInstallerPackage(packagesDir.path(), name, version);
}

void TestUpdateManager::initTestCase()
{
    QVERIFY(packagesDir.isValid());
    QVERIFY(writeFile(packagesDir.filePath("payload.txt"), "payload\n"));
    const QStringList versions = {"1.2", "1.3", "1.2.rc1", "1.2.3.4.5.6.789", "1.2.3.4.5.6.7890"};
    for (const QString &version : versions)
        QVERIFY2(!buildPackage(version, version).isEmpty(), qPrintable(version));
    QVERIFY(writeFile(packagesDir.filePath("text.msi"), "not an installer package\n"));
    const QByteArray whole = readFile(packagesDir.filePath("1.2.msi"));
    QVERIFY(whole.size() > 4096);
    QVERIFY(writeFile(packagesDir.filePath("truncated.msi"), whole.left(3000)));
    QByteArray scrambled = whole;
    for (int i = 512; i < scrambled.size(); i += 7)
        scrambled[i] = char(scrambled.at(i) ^ 0x5a);
    QVERIFY(writeFile(packagesDir.filePath("scrambled.msi"), scrambled));
    QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "openFile");
}

void TestUpdateManager::init()
{
    workDir.reset(new QTemporaryDir);
    QVERIFY(workDir->isValid());
    errors.clear();
    openedUrls.clear();
}

void TestUpdateManager::cleanup()
{
    workDir.reset();
}

void TestUpdateManager::productVersionFromPackage_data()
{
    QTest::addColumn<QString>("package");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("error");

    const QString noError;
    QTest::newRow("1.2 -> '1.2'") << "1.2.msi"
                                  << "1.2" << noError;
    QTest::newRow("1.3 -> '1.3'") << "1.3.msi"
                                  << "1.3" << noError;
    QTest::newRow("1.2.rc1 -> '1.2.rc1'") << "1.2.rc1.msi"
                                          << "1.2.rc1" << noError;
    QTest::newRow("15 characters -> read") << "1.2.3.4.5.6.789.msi"
                                           << "1.2.3.4.5.6.789" << noError;
    QTest::newRow("16 characters -> 234")
        << "1.2.3.4.5.6.7890.msi" << QString() << "Failed to get .msi property.\nError code: 234";
    QTest::newRow("missing file -> 1619")
        << "missing.msi" << QString() << "Failed to open .msi package.\nError code: 1619";
    QTest::newRow("text file -> 1620")
        << "text.msi" << QString() << "Failed to open .msi package.\nError code: 1620";
    QTest::newRow("truncated package -> 1620")
        << "truncated.msi" << QString() << "Failed to open .msi package.\nError code: 1620";
}

void TestUpdateManager::productVersionFromPackage()
{
    QFETCH(QString, package);
    QFETCH(QString, expected);
    QFETCH(QString, error);

    UpdateManager manager(QStringLiteral("1.0"), [this](QString text) { errors << text; });
    const QString version = manager.msiProductVersion(packagesDir.filePath(package));
    QCOMPARE(version, expected);
    QCOMPARE(version.isNull(), expected.isNull());
    QCOMPARE(errors, error.isNull() ? QStringList() : QStringList{error});
}

void TestUpdateManager::unusableProbeIsInvalidPackage_data()
{
    QTest::addColumn<QByteArray>("script");

    QTest::newRow("crash -> 1620") << QByteArray("kill -SEGV $$\n");
    QTest::newRow("hang -> 1620") << QByteArray("exec sleep 30\n");
    QTest::newRow("garbage -> 1620") << QByteArray("echo '1.9'\n");
    QTest::newRow("failure exit -> 1620") << QByteArray("echo '0 0 v:31'; exit 3\n");
    QTest::newRow("16-character value -> 1620")
        << QByteArray("echo '0 0 v:31323334353637383930313233343536'\n");
    QTest::newRow("code beyond 32 bits -> 1620") << QByteArray("echo '4294967296 0 v:'\n");
    QTest::newRow("answer, zero byte, more -> 1620")
        << QByteArray("printf '0 0 v:31\\n\\000junk'\n");
    QTest::newRow("damaged package, real probe -> 1620") << QByteArray();
}

void TestUpdateManager::unusableProbeIsInvalidPackage()
{
    QFETCH(QByteArray, script);

    QString helper;
    if (!script.isEmpty()) {
        helper = workDir->filePath("probe.sh");
        QVERIFY(writeFile(helper, "#!/bin/sh\n" + script));
        QVERIFY(QFile::setPermissions(helper, QFile::ReadOwner | QFile::ExeOwner));
    }
    MsiProbePackages packages(helper, 500);
    UpdateManagerSetup setup;
    setup.packages = &packages;
    UpdateManager manager(
        QStringLiteral("1.0"), [this](QString text) { errors << text; }, setup);

    QElapsedTimer timer;
    timer.start();
    const QString version = manager.msiProductVersion(packagesDir.filePath("scrambled.msi"));
    QVERIFY(timer.elapsed() < 10000);
    QVERIFY(version.isNull());
    QCOMPARE(errors, QStringList{"Failed to open .msi package.\nError code: 1620"});
}

void TestUpdateManager::resultCodesToTexts_data()
{
    QTest::addColumn<ProductVersionReading>("reading");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("error");

    QTest::newRow("1638 -> installed version, silent")
        << makeReading(1638, 0, 0, QString()) << "2.5" << QString();
    QTest::newRow("open 4294967295 -> unsigned")
        << makeReading(0xffffffffu, 0, 0, QString()) << QString()
        << "Failed to open .msi package.\nError code: 4294967295";
    QTest::newRow("property 234 -> property text")
        << makeReading(0, 234, 0, QString()) << QString()
        << "Failed to get .msi property.\nError code: 234";
    QTest::newRow("close 6 -> close text, value dropped")
        << makeReading(0, 0, 6, QString("9.9")) << QString()
        << "Failed to close .msi package.\nError code: 6";
    QTest::newRow("empty property -> empty, not null")
        << makeReading(0, 0, 0, QString()) << "" << QString();
}

void TestUpdateManager::resultCodesToTexts()
{
    QFETCH(ProductVersionReading, reading);
    QFETCH(QString, expected);
    QFETCH(QString, error);

    CannedPackages packages;
    packages.reading = reading;
    UpdateManagerSetup setup;
    setup.packages = &packages;
    UpdateManager manager(
        QStringLiteral("2.5"), [this](QString text) { errors << text; }, setup);
    const QString version = manager.msiProductVersion(QStringLiteral("any.msi"));
    QCOMPARE(version, expected);
    QCOMPARE(version.isNull(), expected.isNull());
    QCOMPARE(errors, error.isNull() ? QStringList() : QStringList{error});
}

void TestUpdateManager::installCopiesAndOpensTheCopy_data()
{
    QTest::addColumn<QString>("directory");
    QTest::addColumn<bool>("oldCopy");

    QTest::newRow("plain directory -> opened") << "private" << false;
    QTest::newRow("old copy present -> replaced") << "private" << true;
    QTest::newRow("'#', '%', '?' in path -> opened") << "a#b%20c?d" << true;
    QTest::newRow("missing directory -> created") << "new/sub" << false;
}

void TestUpdateManager::installCopiesAndOpensTheCopy()
{
    QFETCH(QString, directory);
    QFETCH(bool, oldCopy);

    const QString copyDir = workDir->filePath(directory);
    QVERIFY(QDir().mkpath(QFileInfo(copyDir).absolutePath()));
    if (oldCopy) {
        QVERIFY(QDir().mkpath(copyDir));
        QVERIFY(writeFile(copyDir + "/installer.msi", "left from an earlier installation"));
    }
    UpdateManagerSetup setup;
    setup.installerCopyPath = copyDir + "/installer.msi";
    UpdateManager manager(
        "1.0", [this](QString text) { errors << text; }, setup);

    const QString package = packagesDir.filePath("1.3.msi");
    QVERIFY(manager.installUpdate(package));
    QCOMPARE(errors, QStringList());
    QCOMPARE(readFile(setup.installerCopyPath), readFile(package));
    QCOMPARE(openedUrls.size(), 1);
    QCOMPARE(openedUrls.first().toLocalFile(), setup.installerCopyPath);
    QCOMPARE(QFileInfo(copyDir).permissions() &
                 (QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther |
                  QFile::WriteOther | QFile::ExeOther),
             QFile::Permissions());
}

void TestUpdateManager::installFailures_data()
{
    QTest::addColumn<QString>("setting");
    QTest::addColumn<QString>("error");

    QTest::newRow("package missing -> copy text") << "missing package"
                                                  << "Could not copy %package to tempory directory";
    QTest::newRow("old copy undeletable -> delete text") << "undeletable copy"
                                                         << "Could not delete %copy.\n";
    QTest::newRow("directory is a link -> refused") << "linked directory"
                                                    << "Could not prepare";
    QTest::newRow("directory of another user -> refused") << "foreign directory"
                                                          << "Could not prepare";
}

void TestUpdateManager::installFailures()
{
    QFETCH(QString, setting);
    QFETCH(QString, error);

    const QString copyDir = workDir->filePath("private");
    QString package = packagesDir.filePath("1.3.msi");
    if (setting == "missing package") {
        package = workDir->filePath("gone.msi");
    } else if (setting == "undeletable copy") {
        QVERIFY(QDir().mkpath(copyDir + "/installer.msi/inside"));
    } else if (setting == "linked directory") {
        QVERIFY(QDir().mkpath(workDir->filePath("elsewhere")));
        QVERIFY(QFile::link(workDir->filePath("elsewhere"), copyDir));
    } else if (setting == "foreign directory") {
        if (geteuid() != 0)
            QSKIP("Needs root to give a directory to another user");
        QVERIFY(QDir().mkpath(copyDir));
        QCOMPARE(::chown(QFile::encodeName(copyDir).constData(), 65534, 65534), 0);
    }
    UpdateManagerSetup setup;
    setup.installerCopyPath = copyDir + "/installer.msi";
    UpdateManager manager(
        "1.0", [this](QString text) { errors << text; }, setup);

    QVERIFY(!manager.installUpdate(package));
    QCOMPARE(errors.size(), 1);
    const QString expected =
        QString(error).replace("%package", package).replace("%copy", setup.installerCopyPath);
    QVERIFY2(errors.first().startsWith(expected), qPrintable(errors.first()));
    QVERIFY(openedUrls.isEmpty());
    QVERIFY(!QFileInfo(workDir->filePath("elsewhere/installer.msi")).exists());
}

void TestUpdateManager::defaultCopyIsInPrivateDirectory()
{
    const QString expected = QDir(QDir::tempPath()).absolutePath() + "/brindlequerytool-" +
                             QString::number(geteuid()) + "/installer.msi";
    QCOMPARE(tempInstallerPath, expected);
}

QTEST_GUILESS_MAIN(TestUpdateManager)
#include "tst_updatemanager.moc"
