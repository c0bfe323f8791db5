#include "update/updatecheck.h"
#include "update/updatemanager.h"

#include <QDesktopServices>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

class CannedPackages : public InstallerPackages
{
public:
    ProductVersionReading reading;
    ProductVersionReading readProductVersion(const QString &) override { return reading; }
};

} // namespace

Q_DECLARE_METATYPE(UpdateCheckOutcome)

class TestUpdateCheck : public QObject
{
    Q_OBJECT

public slots:
    void openFile(const QUrl &url) { openedUrls << url; }

private slots:
    void initTestCase();
    void init();

    void outcome_data();
    void outcome();
    void questionText_data();
    void questionText();

private:
    QScopedPointer<QTemporaryDir> workDir;
    QList<QUrl> openedUrls;
};

void TestUpdateCheck::initTestCase()
{
    QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "openFile");
}

void TestUpdateCheck::init()
{
    workDir.reset(new QTemporaryDir);
    QVERIFY(workDir->isValid());
    openedUrls.clear();
}

void TestUpdateCheck::outcome_data()
{
    QTest::addColumn<QString>("installed");
    QTest::addColumn<quint32>("openResult");
    QTest::addColumn<quint32>("propertyResult");
    QTest::addColumn<QString>("published");
    QTest::addColumn<bool>("answer");
    QTest::addColumn<bool>("packageExists");
    QTest::addColumn<QString>("asked");
    QTest::addColumn<UpdateCheckOutcome>("expected");

    using O = UpdateCheckOutcome;
    QTest::newRow("1.2 / 1.2 -> no update")
        << "1.2" << 0u << 0u << "1.2" << true << true << QString() << O::NoUpdate;
    QTest::newRow("1.2 / 1.3, No -> declined")
        << "1.2" << 0u << 0u << "1.3" << false << true << "1.3" << O::Declined;
    QTest::newRow("1.2 / 1.3, Yes -> installer started")
        << "1.2" << 0u << 0u << "1.3" << true << true << "1.3" << O::InstallerStarted;
    QTest::newRow("1.2 / 1.2.rc1 -> no update")
        << "1.2" << 0u << 0u << "1.2.rc1" << true << true << QString() << O::NoUpdate;
    QTest::newRow("none installed / 0.1 -> asked")
        << "" << 0u << 0u << "0.1" << false << true << "0.1" << O::Declined;
    QTest::newRow("16 characters (234) -> no update")
        << "1.2" << 0u << 234u << "" << true << true << QString() << O::NoUpdate;
    QTest::newRow("share unreachable -> no update")
        << "1.2" << 1619u << 0u << "" << true << true << QString() << O::NoUpdate;
    QTest::newRow("other version installed (1638) -> no update")
        << "1.2" << 1638u << 0u << "" << true << true << QString() << O::NoUpdate;
    QTest::newRow("copy fails -> install failed")
        << "1.2" << 0u << 0u << "1.3" << true << false << "1.3" << O::InstallFailed;
}

void TestUpdateCheck::outcome()
{
    QFETCH(QString, installed);
    QFETCH(quint32, openResult);
    QFETCH(quint32, propertyResult);
    QFETCH(QString, published);
    QFETCH(bool, answer);
    QFETCH(bool, packageExists);
    QFETCH(QString, asked);
    QFETCH(UpdateCheckOutcome, expected);

    CannedPackages packages;
    packages.reading.openResult = openResult;
    packages.reading.propertyResult = propertyResult;
    packages.reading.value = published;
    UpdateManagerSetup setup;
    setup.packages = &packages;
    setup.installerCopyPath = workDir->filePath("copy/installer.msi");
    UpdateManager manager(
        installed, [](QString) {}, setup);

    const QString package = workDir->filePath("published.msi");
    if (packageExists) {
        QFile file(package);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("package");
    }
    QStringList questions;
    const UpdateCheckOutcome outcome =
        runUpdateCheck(manager, package, [&](const QString &version) {
            questions << version;
            return answer;
        });
    QCOMPARE(outcome, expected);
    QCOMPARE(questions, asked.isNull() ? QStringList() : QStringList{asked});
    QCOMPARE(openedUrls.size(), expected == UpdateCheckOutcome::InstallerStarted ? 1 : 0);
}

void TestUpdateCheck::questionText_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("expected");

    const QString tail = " of this application is now available.\n\nInstall it now?";
    QTest::newRow("1.3 -> inserted") << "1.3"
                                     << "Version 1.3" + tail;
    QTest::newRow("'%2' -> kept") << "1.%2"
                                  << "Version 1.%2" + tail;
    QTest::newRow("'%1' -> kept") << "%1.0"
                                  << "Version %1.0" + tail;
    QTest::newRow("empty -> nothing inserted") << ""
                                               << "Version " + tail;
}

void TestUpdateCheck::questionText()
{
    QFETCH(QString, version);
    QFETCH(QString, expected);
    QCOMPARE(updateQuestionText(version), expected);
}

QTEST_GUILESS_MAIN(TestUpdateCheck)
#include "tst_updatecheck.moc"
