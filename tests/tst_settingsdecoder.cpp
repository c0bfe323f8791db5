#include "settings/settingsdecoder.h"
#include "settings/textescape.h"

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

    // Catches a direction control missing from the escaped set, checked
    // against Unicode's data as Qt has it: every character of an explicit
    // direction class (embeddings, overrides, isolates and their pops) and
    // every format character of a strong direction (the invisible marks,
    // U+061C among them) is escaped in both styles. Unicode's Bidi_Control
    // characters all lie in the BMP, and escapes work on UTF-16 code units.
    void directionControlsEscaped()
    {
        const QSet<QChar::Direction> explicitClasses{QChar::DirLRE, QChar::DirRLE, QChar::DirLRO,
                                                     QChar::DirRLO, QChar::DirPDF, QChar::DirLRI,
                                                     QChar::DirRLI, QChar::DirFSI, QChar::DirPDI};
        const QSet<QChar::Direction> strong{QChar::DirL, QChar::DirR, QChar::DirAL};
        int controls = 0;
        for (uint code = 0; code < 0x10000; ++code) {
            const QChar c(code);
            if (!explicitClasses.contains(c.direction()) &&
                !(c.category() == QChar::Other_Format && strong.contains(c.direction())))
                continue;
            ++controls;
            for (const EscapeStyle style : {EscapeStyle::Document, EscapeStyle::Terminal})
                QCOMPARE(escaped(QString(c), style), QString::asprintf("\\u%04x", code));
        }
        QCOMPARE(controls, 13);
    }
};

QTEST_GUILESS_MAIN(tst_SettingsDecoder)
#include "tst_settingsdecoder.moc"
