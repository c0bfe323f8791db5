#include "query/settingsdiff.h"

#include <QJsonDocument>
#include <QTest>

namespace {

QString setting(const QString &key, const QString &value)
{
    return QStringLiteral("  <setting key=\"") + key + QStringLiteral("\" value=\"") + value +
           QStringLiteral("\"/>");
}

} // namespace

class TestSettingsDiff : public QObject
{
    Q_OBJECT

private slots:
    void differences_data();
    void differences();
    void json();
};

void TestSettingsDiff::differences_data()
{
    QTest::addColumn<QStringList>("left");
    QTest::addColumn<QStringList>("right");
    QTest::addColumn<QString>("expected");

    const QString a1 = setting("a", "1");
    QTest::newRow("equal, non-setting lines around -> nothing")
        << QStringList{QString(), "/opt/x\">", a1, "junk"} << QStringList{a1} << QString();
    QTest::newRow("CR LF line against LF line -> nothing")
        << QStringList{a1 + '\r'} << QStringList{a1} << QString();
    QTest::newRow("changed -> both values")
        << QStringList{a1} << QStringList{setting("a", "2")} << "a\t\"1\"\t\"2\"\n";
    QTest::newRow("added -> missing on the left")
        << QStringList{} << QStringList{a1} << "a\t(missing)\t\"1\"\n";
    QTest::newRow("removed -> missing on the right")
        << QStringList{a1} << QStringList{} << "a\t\"1\"\t(missing)\n";
    QTest::newRow("empty value against missing -> \"\" and (missing)")
        << QStringList{setting("a", "")} << QStringList{} << "a\t\"\"\t(missing)\n";
    QTest::newRow("duplicate added -> all values")
        << QStringList{a1} << QStringList{a1, setting("a", "2")} << "a\t\"1\"\t\"1\" \"2\"\n";
    QTest::newRow("same duplicates -> nothing")
        << QStringList{a1, a1} << QStringList{a1, a1} << QString();
    QTest::newRow("duplicate collapsed -> both values kept")
        << QStringList{a1, a1} << QStringList{a1} << "a\t\"1\" \"1\"\t\"1\"\n";
    QTest::newRow("blanks, TABs and entities verbatim")
        << QStringList{setting("k y", "a\tb &amp; ü")} << QStringList{setting("k y", " ")}
        << QString::fromUtf8("k y\t\"a\tb &amp; ü\"\t\" \"\n");
    QTest::newRow("group order, then key by code units")
        << QStringList{setting("volume", "1"),
                       setting("alpha", "1"),
                       setting("Zeta", "1"),
                       setting("id-firmware", "1"),
                       setting("dye-film", "1"),
                       setting("stats-grade", "1"),
                       setting("stats-cards", "1"),
                       setting("maintenance-challenge", "1"),
                       setting("id-sales-region", "1"),
                       setting("id-printer-serial", "1"),
                       setting("id-model-name", "1")}
        << QStringList{}
        << "id-model-name\t\"1\"\t(missing)\n"
           "id-printer-serial\t\"1\"\t(missing)\n"
           "id-sales-region\t\"1\"\t(missing)\n"
           "stats-grade\t\"1\"\t(missing)\n"
           "maintenance-challenge\t\"1\"\t(missing)\n"
           "stats-cards\t\"1\"\t(missing)\n"
           "dye-film\t\"1\"\t(missing)\n"
           "id-firmware\t\"1\"\t(missing)\n"
           "Zeta\t\"1\"\t(missing)\n"
           "alpha\t\"1\"\t(missing)\n"
           "volume\t\"1\"\t(missing)\n";
}

void TestSettingsDiff::differences()
{
    QFETCH(QStringList, left);
    QFETCH(QStringList, right);
    QFETCH(QString, expected);

    const QString leftText = left.join('\n');
    const QString rightText = right.join('\n');
    const QVector<QStringRef> leftLines =
        left.isEmpty() ? QVector<QStringRef>() : leftText.splitRef('\n');
    const QVector<QStringRef> rightLines =
        right.isEmpty() ? QVector<QStringRef>() : rightText.splitRef('\n');

    QCOMPARE(settingDifferencesText(diffSettingSections(leftLines, rightLines)), expected);
}

void TestSettingsDiff::json()
{
    const QString left = setting("id-model-name", "A") + '\n' + setting("volume", "");
    const QString right = setting("id-model-name", "B") + '\n' + setting("id-model-name", "C") +
                          '\n' + setting("dye-x", "1");

    const QByteArray json = settingDifferencesJson(
        diffSettingSections(left.splitRef('\n'), right.splitRef('\n')), "factory", "current");

    const QByteArray expected = R"({"differences": [
        {"key": "id-model-name", "group": "identity", "factory": ["A"], "current": ["B", "C"]},
        {"key": "dye-x", "group": "dye", "factory": [], "current": ["1"]},
        {"key": "volume", "group": "other", "factory": [""], "current": []}]})";
    QJsonParseError error;
    const QJsonDocument parsed = QJsonDocument::fromJson(json, &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(parsed, QJsonDocument::fromJson(expected));

    QCOMPARE(QJsonDocument::fromJson(settingDifferencesJson({}, "a", "b")),
             QJsonDocument::fromJson(R"({"differences": []})"));
}

QTEST_GUILESS_MAIN(TestSettingsDiff)
#include "tst_settingsdiff.moc"
