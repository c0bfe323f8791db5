#include "samplequery.h"

#include <QPair>
#include <QRandomGenerator>
#include <QVector>

#include <algorithm>

namespace {

using Setting = QPair<QByteArray, QByteArray>;

QByteArray attribute(const QByteArray &name, const QByteArray &value)
{
    return name + "=\"" + value + '"';
}

QByteArray settingElement(const QByteArray &key, const QByteArray &value)
{
    return "  <setting " + attribute("key", key) + ' ' + attribute("value", value) + "/>";
}

QByteArray number(quint32 value)
{
    return QByteArray::number(value);
}

// Keys of every group, with values, as one section of a printer holds them.
QVector<Setting> sectionSettings(const SampleQueryOptions &options, bool shipped)
{
    QRandomGenerator random(options.seed + (shipped ? 7 : 3));
    QVector<Setting> settings;
    settings.append(Setting("id-model-name", options.modelName.toUtf8()));
    settings.append(Setting("id-printer-serial", options.serial.toUtf8()));
    settings.append(Setting("maintenance-challenge", shipped ? "0000-0000" : "4F2A-91C7"));
    settings.append(Setting("sales-region", "north"));
    settings.append(Setting("print-grade", "premium"));
    settings.append(Setting("id-dealer-code", "D-0417"));
    settings.append(Setting("stats-project-code", "P-2231"));

    static const char *const statistics[] = {"cards-printed", "panels-used", "head-hours",
                                             "feeds-failed",  "jams",        "cleanings"};
    static const char *const dyes[] = {"film-type", "ribbon-lot", "panel-count", "density",
                                       "offset"};
    static const char *const identification[] = {"firmware", "board-revision", "head-serial", "mac",
                                                 "bootloader"};
    static const char *const others[] = {"volume",       "sleep-minutes",
                                         "network-dhcp", "head-temperature-limit",
                                         "language",     "contrast"};
    const int named = settings.size();
    for (int i = named; i < options.settingsPerSection; ++i) {
        const QByteArray n = QByteArray::number(i).rightJustified(4, '0');
        const quint32 drawn = shipped ? 0 : random.bounded(100000u);
        const bool changed = options.changedSettings < 0 || i - named < options.changedSettings;
        const quint32 r = changed ? drawn : 0;
        switch (i % 4) {
        case 0:
            settings.append(Setting(QByteArray("stats-") + statistics[i % 6] + '-' + n,
                                    number(r + (shipped ? 0 : options.counterOffset))));
            break;
        case 1:
            settings.append(Setting(QByteArray("dye-") + dyes[i % 5] + '-' + n, number(r % 256)));
            break;
        case 2:
            settings.append(Setting(QByteArray("id-") + identification[i % 5] + '-' + n,
                                    "BQ" + number(r).rightJustified(10, '0')));
            break;
        default:
            settings.append(Setting(QByteArray(others[i % 6]) + '-' + n, r % 2 ? "on" : "off"));
            break;
        }
    }
    if (!shipped && options.sleepMinutes >= 0)
        settings.append(Setting("sleep-minutes", number(quint32(options.sleepMinutes))));
    // The printer writes its settings in no particular order.
    std::shuffle(settings.begin(), settings.end(), random);
    return settings;
}

void appendSettingsCommand(QByteArray &text, const QByteArray &path,
                           const QVector<Setting> &settings)
{
    text += "<command name=\"cat\" args=\"" + path + "\">\n<settings version=\"3\">\n";
    for (const auto &setting : settings) {
        text += settingElement(setting.first, setting.second);
        text += '\n';
    }
    text += "</settings>\n</command>\n";
}

void appendLog(QByteArray &text, const SampleQueryOptions &options)
{
    struct Event
    {
        const char *text;
        quint32 first;
        quint32 second;
    };
    static const Event events[] = {
        {"card printed, ribbon panel %1 of 5, head temperature %2 C", 5, 70},
        {"feeder picked card %1 after %2 ms", 100000, 900},
        {"cleaning roller check: %1 cards since last cleaning, threshold %2", 5000, 5000},
        {"print job %1 received from host, %2 bytes", 100000, 2000000},
        {"dye film encoder position %1, expected %2", 4096, 4096},
    };
    QRandomGenerator random(options.seed);
    const qint64 end = text.size() + options.logBytes;
    quint32 seconds = 8 * 3600;
    text.reserve(int(end + 4096));
    while (text.size() < end) {
        seconds += random.bounded(5u);
        const QString time = QStringLiteral("%1:%2:%3")
                                 .arg(seconds / 3600 % 24, 2, 10, QLatin1Char('0'))
                                 .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
                                 .arg(seconds % 60, 2, 10, QLatin1Char('0'));
        const Event &kind = events[random.bounded(5u)];
        const QString event = QString::fromLatin1(kind.text)
                                  .arg(1 + random.bounded(kind.first))
                                  .arg(1 + random.bounded(kind.second));
        text += "Mar 14 " + time.toLatin1() + " brindle corvelle-printer[812]: " + event.toUtf8() +
                '\n';
    }
}

} // namespace

QByteArray buildSampleQuery(const SampleQueryOptions &options)
{
    QByteArray text;
    text += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<query serial=\"" +
            options.serial.toUtf8() + "\" created=\"2026-03-14T09:26:53Z\">\n";
    text += "<command name=\"uname\" args=\"-a\">Linux brindle 5.10.0 armv7l GNU/Linux</command>\n";
    text += "<command name=\"uptime\" args=\"\"> 09:26:53 up 3 days,  2:41,  0 users</command>\n";
    appendSettingsCommand(text, "/opt/corvelle/sdcard/settings/primary",
                          sectionSettings(options, false));
    text += "<command name=\"ls\" args=\"-l /opt/corvelle/sdcard\">total 12\n"
            "drwxr-xr-x 2 root root 4096 Mar 14 08:00 settings\n"
            "drwxr-xr-x 2 root root 4096 Mar 14 08:00 spool\n</command>\n";
    appendSettingsCommand(text, "/opt/corvelle/sdcard/settings/shipped",
                          sectionSettings(options, true));
    text += "<command name=\"journalctl\" args=\"-u corvelle-printer --no-pager\"><![CDATA[";
    appendLog(text, options);
    text += "]]></command>\n";
    text += "<command name=\"df\" args=\"-h\"><![CDATA[Filesystem Size Used Avail Use% Mounted on\n"
            "/dev/mmcblk0p2 3.5G 1.2G 2.2G 36% /\n]]></command>\n";
    text += "</query>\n";
    return text;
}
