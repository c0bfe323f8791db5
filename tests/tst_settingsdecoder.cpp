#include "settings/settingsdecoder.h"

#include <QtTest>

Q_DECLARE_METATYPE(SettingGroup)

// The block's form, and a key of every group, are checked through the
// document in tst_querydocument; what the line grammar matches is left to the
// fuzz target, which holds the matcher against the regular expression. Here:
// the precedence and exactness cases that the document's keys do not reach.
class tst_SettingsDecoder : public QObject
{
    Q_OBJECT

private slots:
    void groups_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<SettingGroup>("group");
        const char *const names[] = {"identity", "market",         "maintenance", "statistics",
                                     "dye",      "identification", "other"};
        const auto rows = [&names](SettingGroup group, std::initializer_list<const char *> keys) {
            for (const char *key : keys)
                QTest::addRow("\"%s\" -> %s", key, names[int(group)]) << QString(key) << group;
        };
        rows(SettingGroup::Market,
             {"stats-grade", "dye-dealer-code", "id-project-code", "-region"});
        rows(SettingGroup::Identification, {"id-model-name "});
        rows(SettingGroup::Statistics, {"stats-"});
        rows(SettingGroup::Other, {"ID-MODEL-NAME", "region", "x-Region", "maintenance-challenge-2",
                                   "Stats-total", "id"});
    }

    void groups()
    {
        QFETCH(QString, key);
        QTEST(settingGroup(key), "group");
    }
};

QTEST_GUILESS_MAIN(tst_SettingsDecoder)
#include "tst_settingsdecoder.moc"
