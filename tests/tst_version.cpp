#include "update/version.h"

#include <QTest>

// The operators' agreement with compare() on arbitrary pairs is left to the
// fuzz target; here every row is compared both ways, which checks antisymmetry.
class TestVersion : public QObject
{
    Q_OBJECT

private slots:
    void compare_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("expected");

        const auto row = [](const char *a, const char *b, int r) {
            QTest::addRow("'%s' vs '%s' -> %d", a, b, r) << QString(a) << QString(b) << r;
        };
        row("1.2", "1.2", 0);
        row("1.2", "1.2.0", -1);
        row("1.10", "1.9", 1);
        row("2.0", "10.0", -1);
        row("1.02", "1.2", 0);
        row("1.2", "1.2.rc1", 1);
        row("1.2.rc1", "1.2.rc2", -1);
        row("1.2rc1", "1.2", -1);
        row("1.3rc1", "1.2", -1);
        row("1.2rc1", "1.2rc2", -1);
        row("1.2rc1", "1.2rc", 1);
        row("1.2.rc", "1.2.rc1", -1);
        row("1.RC1", "1.2", -1);
        row("1.beta", "1.alpha", 0);
        row("1.beta.2", "1.alpha.1", 1);
        row("1..2", "1.0.2", -1);
        row("", "0", -1);
        // Only the last component of the longer version counts, and only lower-case "rc".
        row("1.2.RC1", "1.2", 1);
        row("1.2", "1.2.rc1.5", -1);
        // Components outside the 32-bit signed range are not numbers; negative ones are.
        row("1.99999999999", "1.0", -1);
        row("1.-1", "1.-2", 1);
    }

    void compare()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, expected);
        QCOMPARE(Version(a).compare(Version(b)), expected);
        QCOMPARE(Version(b).compare(Version(a)), -expected);
    }
};

QTEST_GUILESS_MAIN(TestVersion)
#include "tst_version.moc"
