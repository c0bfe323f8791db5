#include "update/version.h"

#include <QTest>

class TestVersion : public QObject
{
    Q_OBJECT

private slots:
    void compare_data();
    void compare();
    void textIsKeptExactly_data();
    void textIsKeptExactly();
};

void TestVersion::compare_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("expected");

    const struct
    {
        const char *a;
        const char *b;
        int expected;
    } rows[] = {
        {"1.2", "1.2", 0},
        {"1.2", "1.2.0", -1},
        {"1.2.0", "1.2", 1},
        {"1.10", "1.9", 1},
        {"2.0", "10.0", -1},
        {"1.02", "1.2", 0},
        {"1.2", "1.2.rc1", 1},
        {"1.2.rc1", "1.2.rc2", -1},
        {"1.2rc1", "1.2", -1},
        {"1.3rc1", "1.2", -1},
        {"1.2rc1", "1.2rc2", -1},
        {"1.2rc1", "1.2rc", 1},
        {"1.2.rc", "1.2.rc1", -1},
        {"1.RC1", "1.2", -1},
        {"1.beta", "1.alpha", 0},
        {"1.beta.2", "1.alpha.1", 1},
        {"1..2", "1.0.2", -1},
        {"", "1", -1},
        {"", "0", -1},
        {"1.rc1", "1.rc1", 0},
        {"1.2.RC1", "1.2", 1},
        {"1.2", "1.2.rc1.5", -1},
        {"1.99999999999", "1.0", -1},
        {"1.2147483647", "1.2147483646", 1},
        {"1.-1", "1.0", -1},
    };
    for (const auto &row : rows) {
        const QByteArray name =
            QByteArray("'") + row.a + "' vs '" + row.b + "' -> " + QByteArray::number(row.expected);
        QTest::newRow(name.constData())
            << QString::fromLatin1(row.a) << QString::fromLatin1(row.b) << row.expected;
    }
}

void TestVersion::compare()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, expected);

    const Version left(a);
    const Version right(b);
    QCOMPARE(left.compare(right), expected);
    QCOMPARE(right.compare(left), -expected);
    QCOMPARE(left == right, expected == 0);
    QCOMPARE(left < right, expected == -1);
    QCOMPARE(right < left, expected == 1);
}

void TestVersion::textIsKeptExactly_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("releaseCandidate");

    QTest::newRow("'' -> 1 component") << QString() << 1 << false;
    QTest::newRow("'1..2' -> 3 components") << "1..2" << 3 << false;
    QTest::newRow("'1.' -> 2 components") << "1." << 2 << false;
    QTest::newRow("'.' -> 2 components") << "." << 2 << false;
    QTest::newRow("' 1 . x ' -> untrimmed") << " 1 . x " << 2 << false;
    QTest::newRow("'1.2.rc1' -> release candidate") << "1.2.rc1" << 3 << true;
    QTest::newRow("'1.rc1.5' -> last component decides") << "1.rc1.5" << 3 << false;
}

void TestVersion::textIsKeptExactly()
{
    QFETCH(QString, text);
    QFETCH(int, count);
    QFETCH(bool, releaseCandidate);

    const Version version(text);
    QVERIFY(version.isValid());
    QCOMPARE(version.componentCount(), count);
    QCOMPARE(version.toString(), text.isNull() ? QString("") : text);
    QCOMPARE(version.isReleaseCandidate(), releaseCandidate);
}

QTEST_GUILESS_MAIN(TestVersion)
#include "tst_version.moc"
