#include "settings/settingsdecoder.h"

#include <QtTest>

Q_DECLARE_METATYPE(SettingGroup)

class tst_SettingsDecoder : public QObject
{
    Q_OBJECT

private slots:
    void decode_data();
    void decode();
    void groups_data();
    void groups();
};

void tst_SettingsDecoder::decode_data()
{
    QTest::addColumn<QString>("lines");
    QTest::addColumn<QString>("expected");
    const QString rule = QString(80, QLatin1Char('-')) + QStringLiteral("\n\n");
    QTest::newRow("worked example -> verbatim")
        << QStringLiteral("\n  key=\"dye-film-type\" value=\"standard\"\n"
                          "  key=\"id-firmware\" value=\"1.2.3\"\n"
                          "  key=\"id-model-name\" value=\"Model A\"\n"
                          "  key=\"id-printer-serial\" value=\"example-serial\"\n"
                          "  key=\"id-sales-region\" value=\"north\"\n"
                          "  key=\"maintenance-challenge\" value=\"example-text\"\n"
                          "  key=\"stats-cards-printed\" value=\"42\"\n"
                          "  key=\"volume\" value=\"\"\n"
                          "  value=\"1\" key=\"late-key\"")
        << QStringLiteral("PRIMARY (CURRENT) SETTINGS\n\n"
                          "id-model-name\tModel A\nid-printer-serial\texample-serial\n\n"
                          "id-sales-region\tnorth\n\nmaintenance-challenge\texample-text\n\n"
                          "stats-cards-printed\t42\n\ndye-film-type\tstandard\n\n"
                          "id-firmware\t1.2.3\n\nvolume\t\n\n") +
               rule;
    // Single lines: the entries they give, in the last group, or none. What the
    // line grammar matches is left to the fuzz target, which holds the matcher
    // against the regular expression on its seeds and beyond.
    const auto line = [&rule](const char *name, const QString &line, const char *entry) {
        QTest::newRow(name) << line
                            << "PRIMARY (CURRENT) SETTINGS\n\n" + QString(6, '\n') + entry + '\n' +
                                   rule;
    };
    line("duplicates -> each listed in input order",
         "key=\"x\" value=\"2\"\nkey=\"x\" value=\"1\"\nkey=\"x\" value=\"2\"",
         "x\t2\nx\t1\nx\t2\n");
    line("surrogate pair kept, unpaired surrogate -> skipped",
         "key=\"k\U0001F600\" value=\"1\"\nkey=\"a\" value=\"1\"" + QString(QChar(0xD800)),
         "k\U0001F600\t1\n");
}

void tst_SettingsDecoder::decode()
{
    QFETCH(QString, lines);
    QTEST(decodeSettings(QStringLiteral("PRIMARY (CURRENT) SETTINGS"), lines.splitRef('\n')),
          "expected");
}

// The worked example holds a key of every group; these are the precedence and
// exactness cases it does not reach.
void tst_SettingsDecoder::groups_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<SettingGroup>("group");
    const char *const names[] = {"identity", "market",         "maintenance", "statistics",
                                 "dye",      "identification", "other"};
    const auto rows = [&names](SettingGroup group, std::initializer_list<const char *> keys) {
        for (const char *key : keys)
            QTest::addRow("\"%s\" -> %s", key, names[int(group)])
                << QString::fromLatin1(key) << group;
    };
    rows(SettingGroup::Market, {"stats-grade", "dye-dealer-code", "id-project-code", "-region"});
    rows(SettingGroup::Identification, {"id-model-name "});
    rows(SettingGroup::Statistics, {"stats-"});
    rows(SettingGroup::Other,
         {"ID-MODEL-NAME", "region", "x-Region", "maintenance-challenge-2", "Stats-total", "id"});
}

void tst_SettingsDecoder::groups()
{
    QFETCH(QString, key);
    QTEST(settingGroup(key), "group");
}

QTEST_GUILESS_MAIN(tst_SettingsDecoder)
#include "tst_settingsdecoder.moc"
