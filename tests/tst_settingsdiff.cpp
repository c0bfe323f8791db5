#include "query/settingsdiff.h"

#include <QTest>

namespace {

QString setting(const QString &key, const QString &value)
{
    return QStringLiteral("  <setting key=\"") + key + QStringLiteral("\" value=\"") + value +
           QStringLiteral("\"/>");
}

} // namespace

// Changed, added, removed and duplicated keys and empty values, in text and
// JSON, are checked end to end in tst_brindlequery; here the finer points.
class TestSettingsDiff : public QObject
{
    Q_OBJECT

private slots:
    void differences_data();
    void differences();
};

void TestSettingsDiff::differences_data()
{
    QTest::addColumn<QStringList>("left");
    QTest::addColumn<QStringList>("right");
    QTest::addColumn<QString>("expected");

    const QString a1 = setting("a", "1");
    QTest::newRow("equal after a CR and non-setting lines -> nothing")
        << QStringList{QString(), "/opt/x\">", a1 + '\r', "junk"} << QStringList{a1} << QString();
    QTest::newRow("duplicate collapsed -> both values kept")
        << QStringList{a1, a1} << QStringList{a1} << "a\t\"1\" \"1\"\t\"1\"\n";
    QTest::newRow("blanks, TABs and entities -> verbatim in quotes")
        << QStringList{setting("k y", "a\tb &amp; ü")} << QStringList{setting("k y", " ")}
        << QString::fromUtf8("k y\t\"a\tb &amp; ü\"\t\" \"\n");
    QTest::newRow("keys of three groups -> group order, then by code units")
        << QStringList{setting("volume", "1"), setting("alpha", "1"), setting("Zeta", "1"),
                       setting("dye-film", "1"), setting("id-model-name", "1")}
        << QStringList{}
        << "id-model-name\t\"1\"\t(missing)\ndye-film\t\"1\"\t(missing)\n"
           "Zeta\t\"1\"\t(missing)\nalpha\t\"1\"\t(missing)\nvolume\t\"1\"\t(missing)\n";
}

void TestSettingsDiff::differences()
{
    QFETCH(QStringList, left);
    QFETCH(QStringList, right);
    QFETCH(QString, expected);

    const auto lines = [](const QStringList &list) {
        QVector<QStringRef> refs;
        for (const QString &line : list)
            refs.append(QStringRef(&line));
        return refs;
    };
    QCOMPARE(settingDifferencesText(diffSettingSections(lines(left), lines(right))), expected);
}

QTEST_GUILESS_MAIN(TestSettingsDiff)
#include "tst_settingsdiff.moc"
