#include "settings/settingsdecoder.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtTest>

Q_DECLARE_METATYPE(SettingGroup)

namespace {

QString emptyBlock(const QString &heading)
{
    return heading + QStringLiteral("\n\n") + QString(7, QLatin1Char('\n')) +
           QString(80, QLatin1Char('-')) + QStringLiteral("\n\n");
}

QVector<QStringRef> refs(const QStringList &lines)
{
    QVector<QStringRef> result;
    for (const QString &line : lines)
        result.append(QStringRef(&line));
    return result;
}

QString repeated(const QString &piece, int totalSize)
{
    QString text;
    text.reserve(totalSize + piece.size());
    while (text.size() < totalSize)
        text += piece;
    return text;
}

} // namespace

class tst_SettingsDecoder : public QObject
{
    Q_OBJECT

private slots:
    void workedExample();
    void emptySections_data();
    void emptySections();
    void groups_data();
    void groups();
    void match_data();
    void match();
    void matchAgreesWithRegularExpression();
    void hugeLines_data();
    void hugeLines();
};

void tst_SettingsDecoder::workedExample()
{
    const auto line = [](const QString &key, const QString &value) {
        return QStringLiteral("  key=\"%1\" value=\"%2\"").arg(key, value);
    };
    const QStringList lines = {
        QString(),
        line(QStringLiteral("dye-film-type"), QStringLiteral("standard")),
        line(QStringLiteral("id-firmware"), QStringLiteral("1.2.3")),
        line(QStringLiteral("id-model-name"), QStringLiteral("Model A")),
        line(QStringLiteral("id-printer-serial"), QStringLiteral("example-serial")),
        line(QStringLiteral("id-sales-region"), QStringLiteral("north")),
        line(QStringLiteral("maintenance-challenge"), QStringLiteral("example-text")),
        line(QStringLiteral("stats-cards-printed"), QStringLiteral("42")),
        line(QStringLiteral("volume"), QString()),
        QStringLiteral("  value=\"1\" key=\"late-key\""),
    };
    const QString expected = QStringLiteral("PRIMARY (CURRENT) SETTINGS\n"
                                            "\n"
                                            "id-model-name\tModel A\n"
                                            "id-printer-serial\texample-serial\n"
                                            "\n"
                                            "id-sales-region\tnorth\n"
                                            "\n"
                                            "maintenance-challenge\texample-text\n"
                                            "\n"
                                            "stats-cards-printed\t42\n"
                                            "\n"
                                            "dye-film-type\tstandard\n"
                                            "\n"
                                            "id-firmware\t1.2.3\n"
                                            "\n"
                                            "volume\t\n"
                                            "\n") +
                             QString(80, QLatin1Char('-')) + QStringLiteral("\n\n");
    QCOMPARE(decodeSettings(QStringLiteral("PRIMARY (CURRENT) SETTINGS"), refs(lines)), expected);
}

void tst_SettingsDecoder::emptySections_data()
{
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QString>("expected");
    const QString heading = QStringLiteral("SHIPPED (FACTORY) SETTINGS");
    QTest::newRow("no lines -> frame only") << QStringList() << emptyBlock(heading);
    QTest::newRow("no setting lines -> frame only")
        << QStringList{QString(), QStringLiteral("<settings>"), QStringLiteral("key=\"a\"")}
        << emptyBlock(heading);
    QTest::newRow("duplicates -> each listed in input order")
        << QStringList{QStringLiteral("key=\"x\" value=\"2\""),
                       QStringLiteral("key=\"x\" value=\"1\""),
                       QStringLiteral("key=\"x\" value=\"2\"")}
        << heading + QStringLiteral("\n\n\n\n\n\n\n\nx\t2\nx\t1\nx\t2\n\n") +
               QString(80, QLatin1Char('-')) + QStringLiteral("\n\n");
}

void tst_SettingsDecoder::emptySections()
{
    QFETCH(QStringList, lines);
    QFETCH(QString, expected);
    QCOMPARE(decodeSettings(QStringLiteral("SHIPPED (FACTORY) SETTINGS"), refs(lines)), expected);
}

void tst_SettingsDecoder::groups_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<SettingGroup>("group");
    const auto row = [](const char *key, SettingGroup group, const char *name) {
        QTest::newRow(name) << QString::fromUtf8(key) << group;
    };
    row("id-model-name", SettingGroup::Identity, "id-model-name -> identity");
    row("id-printer-serial", SettingGroup::Identity, "id-printer-serial -> identity");
    row("id-model-name ", SettingGroup::Identification, "id-model-name+space -> identification");
    row("ID-MODEL-NAME", SettingGroup::Other, "ID-MODEL-NAME -> other");
    row("id-sales-region", SettingGroup::Market, "id-sales-region -> market");
    row("stats-grade", SettingGroup::Market, "stats-grade -> market");
    row("dye-dealer-code", SettingGroup::Market, "dye-dealer-code -> market");
    row("id-project-code", SettingGroup::Market, "id-project-code -> market");
    row("-region", SettingGroup::Market, "-region -> market");
    row("region", SettingGroup::Other, "region -> other");
    row("x-Region", SettingGroup::Other, "x-Region -> other");
    row("maintenance-challenge", SettingGroup::Maintenance, "maintenance-challenge -> maintenance");
    row("maintenance-challenge-2", SettingGroup::Other, "maintenance-challenge-2 -> other");
    row("stats-", SettingGroup::Statistics, "stats- -> statistics");
    row("Stats-total", SettingGroup::Other, "Stats-total -> other");
    row("dye-film-type", SettingGroup::Dye, "dye-film-type -> dye");
    row("id-", SettingGroup::Identification, "id- -> identification");
    row("id", SettingGroup::Other, "id -> other");
    row("", SettingGroup::Other, "empty -> other");
}

void tst_SettingsDecoder::groups()
{
    QFETCH(QString, key);
    QFETCH(SettingGroup, group);
    QCOMPARE(settingGroup(key), group);
}

void tst_SettingsDecoder::match_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("matches");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    const auto row = [](const char *name, const QString &line, bool matches, const char *key = "",
                        const char *value = "") {
        QTest::newRow(name) << line << matches << QString::fromUtf8(key)
                            << QString::fromUtf8(value);
    };
    row("element -> key and value", QStringLiteral("  <setting key=\"a\" value=\"1\"/>"), true, "a",
        "1");
    row("other attributes -> ignored",
        QStringLiteral("<s x=\"y\" key=\"a\" z=\"q\" value=\"1\" w=\"v\"/>"), true, "a", "1");
    row("empty key and value -> both empty", QStringLiteral("key=\"\" value=\"\""), true);
    row("value only -> skipped", QStringLiteral("<s value=\"1\"/>"), false);
    row("key only -> skipped", QStringLiteral("<s key=\"a\"/>"), false);
    row("value before key -> skipped", QStringLiteral("  value=\"1\" key=\"late-key\""), false);
    row("unclosed value -> skipped", QStringLiteral("key=\"a\" value=\"1"), false);
    row("a/1 b/2 -> b and 2", QStringLiteral("key=\"a\" value=\"1\" key=\"b\" value=\"2\""), true,
        "b", "2");
    row("a b/2 -> b", QStringLiteral("key=\"a\" key=\"b\" value=\"2\""), true, "b", "2");
    row("a/1 b -> a and 1", QStringLiteral("key=\"a\" value=\"1\" key=\"b\""), true, "a", "1");
    row("a/1/2 -> last value", QStringLiteral("key=\"a\" value=\"1\" value=\"2\""), true, "a", "2");
    row("hotkey -> its text is the key", QStringLiteral("<s hotkey=\"F1\" value=\"help\"/>"), true,
        "F1", "help");
    row("entities and non-ASCII -> verbatim",
        QStringLiteral("key=\"k&amp;\" value=\"Gr\u00FC\u00DFe &#34;\""), true, "k&amp;",
        "Gr\u00FC\u00DFe &#34;");
    row("CR at end -> kept out of the value", QStringLiteral("key=\"a\" value=\"1\"/>\r"), true,
        "a", "1");
    row("final LF -> matches", QStringLiteral("key=\"a\" value=\"1\"\n"), true, "a", "1");
    row("inner LF after value -> skipped", QStringLiteral("key=\"a\" value=\"1\"\nx"), false);
    row("LF inside key -> kept", QStringLiteral("key=\"a\nb\" value=\"1\""), true, "a\nb", "1");
    row("LF before key -> skipped", QStringLiteral("\nkey=\"a\" value=\"1\""), false);
    row("unpaired surrogate -> skipped", QStringLiteral("key=\"a\" value=\"1\"") + QChar(0xD800),
        false);
    row("surrogate pair -> verbatim", QStringLiteral("key=\"\U0001F600\" value=\"1\""), true,
        "\U0001F600", "1");
}

void tst_SettingsDecoder::match()
{
    QFETCH(QString, line);
    QFETCH(bool, matches);
    QString key = QStringLiteral("stale");
    QString value = QStringLiteral("stale");
    QCOMPARE(SettingPattern().match(QStringRef(&line), &key, &value), matches);
    if (matches) {
        QTEST(key, "key");
        QTEST(value, "value");
    }
}

// The matcher must give exactly what the regular expression gives; random
// short lines built from the pattern's own pieces reach its corners.
void tst_SettingsDecoder::matchAgreesWithRegularExpression()
{
    const QRegularExpression expression(SettingPattern::settingPatternText);
    QVERIFY(expression.isValid());
    QCOMPARE(SettingPattern::settingPatternText.size(), 36);
    const QStringList pieces = {
        QStringLiteral("key=\""), QStringLiteral("value=\""), QStringLiteral("\""),
        QStringLiteral("k"),      QStringLiteral("a"),        QStringLiteral(" "),
        QStringLiteral("\n"),     QStringLiteral("\r"),       QStringLiteral("=")};
    QRandomGenerator random(20260314);
    const SettingPattern pattern;
    for (int round = 0; round < 20000; ++round) {
        QString line;
        const int count = int(random.bounded(12u));
        for (int i = 0; i < count; ++i)
            line += pieces.at(int(random.bounded(quint32(pieces.size()))));
        const QRegularExpressionMatch expected = expression.match(line);
        QString key;
        QString value;
        const bool matched = pattern.match(QStringRef(&line), &key, &value);
        QVERIFY2(matched == expected.hasMatch(), qPrintable(line));
        if (matched) {
            QVERIFY2(key == expected.captured(1), qPrintable(line));
            QVERIFY2(value == expected.captured(2), qPrintable(line));
        }
    }
}

// Lines that make a backtracking matcher give up or take hours must still get
// the pattern's own answer.
void tst_SettingsDecoder::hugeLines_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("matches");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    const int size = 10 * 1024 * 1024;
    QTest::newRow("10 MB of keys, no value -> skipped")
        << repeated(QStringLiteral("key=\"x\" "), size) << false << QString() << QString();
    QTest::newRow("10 MB of keys, then a value -> last key")
        << repeated(QStringLiteral("key=\"x\" "), size) + QStringLiteral("key=\"y\" value=\"v\"")
        << true << QStringLiteral("y") << QStringLiteral("v");
    QTest::newRow("one key, 10 MB of values -> last value")
        << QStringLiteral("key=\"k\" ") + repeated(QStringLiteral("value=\"x\" "), size) +
               QStringLiteral("value=\"z\"")
        << true << QStringLiteral("k") << QStringLiteral("z");
    QTest::newRow("10 MB of pairs, unclosed tail -> last whole pair")
        << repeated(QStringLiteral("key=\"k\" value=\"v\" "), size) + QStringLiteral("value=\"open")
        << true << QStringLiteral("k") << QStringLiteral("v");
    QTest::newRow("10 MB of quotes -> skipped")
        << QString(size, QLatin1Char('"')) << false << QString() << QString();
}

void tst_SettingsDecoder::hugeLines()
{
    QFETCH(QString, line);
    QFETCH(bool, matches);
    QString key;
    QString value;
    QCOMPARE(SettingPattern().match(QStringRef(&line), &key, &value), matches);
    QTEST(key, "key");
    QTEST(value, "value");
}

QTEST_GUILESS_MAIN(tst_SettingsDecoder)
#include "tst_settingsdecoder.moc"
