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
using O = UpdateCheckOutcome;

class TestUpdateCheck : public QObject
{
    Q_OBJECT

public slots:
    // Stands in for the desktop shell; whether it was reached shows in the outcome.
    void openFile(const QUrl &) {}

private slots:
    void initTestCase() { QDesktopServices::setUrlHandler("file", this, "openFile"); }

    // The user answers No only in the rows that expect Declined, and the
    // published package is missing only in the row whose install fails.
    void outcome_data()
    {
        QTest::addColumn<QString>("installed");
        QTest::addColumn<QString>("published");
        QTest::addColumn<UpdateCheckOutcome>("expected");

        const auto row = [](const char *name, const char *installed, const char *published,
                            O expected) {
            QTest::newRow(name) << QString(installed) << QString(published) << expected;
        };
        row("1.2 / 1.2 -> no update", "1.2", "1.2", O::NoUpdate);
        row("1.2 / 1.2.rc1 -> no update", "1.2", "1.2.rc1", O::NoUpdate);
        row("1.2 / 1.3, No -> declined", "1.2", "1.3", O::Declined);
        row("none installed / 0.1, No -> declined", "", "0.1", O::Declined);
        row("1.2 / 2.%1, No -> asked with '%1' kept", "1.2", "2.%1", O::Declined);
        row("1.2 / 1.3, Yes -> installer started", "1.2", "1.3", O::InstallerStarted);
        row("1.2 / 1.3, Yes, package gone -> install failed", "1.2", "1.3", O::InstallFailed);
    }

    void outcome()
    {
        QFETCH(QString, installed);
        QFETCH(QString, published);
        QFETCH(UpdateCheckOutcome, expected);

        QTemporaryDir dir;
        const QString package = dir.filePath("published.msi");
        QVERIFY(expected == O::InstallFailed || QFile(package).open(QIODevice::WriteOnly));
        CannedPackages packages;
        packages.reading.value = published;
        UpdateManagerSetup setup;
        setup.packages = &packages;
        setup.installerCopyPath = dir.filePath("copy/installer.msi");
        UpdateManager manager(
            installed, [](QString) {}, setup);

        // Asked the way the window asks.
        QStringList questions;
        const auto ask = [&](const QString &version) {
            questions << updateQuestionText(version);
            return expected != O::Declined;
        };
        QCOMPARE(runUpdateCheck(manager, package, ask), expected);
        const QString question =
            "Version " + published + " of this application is now available.\n\nInstall it now?";
        QCOMPARE(questions, expected == O::NoUpdate ? QStringList() : QStringList{question});
    }
};

QTEST_GUILESS_MAIN(TestUpdateCheck)
#include "tst_updatecheck.moc"
