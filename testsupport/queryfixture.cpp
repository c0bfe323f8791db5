#include "queryfixture.h"

#include <QRandomGenerator>
#include <QStringList>
#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipnewinfo.h>
#include <zlib.h>

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
QVector<Setting> sectionSettings(const QueryFixtureOptions &options, bool shipped)
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
            settings.append(Setting(QByteArray("stats-") + statistics[i % 6] + '-' + n, number(r)));
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

void appendLog(QByteArray &text, const QueryFixtureOptions &options)
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

bool closeOk(QuaZipFile &file, QuaZip &zip)
{
    file.close();
    const bool ok = file.getZipError() == UNZ_OK;
    zip.close();
    return ok && zip.getZipError() == UNZ_OK;
}

} // namespace

QByteArray buildQueryText(const QueryFixtureOptions &options)
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

QByteArray settingLines(const QByteArrayList &pairs, const QByteArray &end)
{
    QByteArray lines;
    for (const QByteArray &pair : pairs) {
        const int equals = pair.indexOf('=');
        lines += "  <setting key=\"" + pair.left(equals) + "\" value=\"" + pair.mid(equals + 1) +
                 "\"/>" + end;
    }
    return lines;
}

QByteArray queryText(const QByteArray &shipped, const QByteArray &primary, const QByteArray &log)
{
    QByteArray text;
    if (!shipped.isNull())
        text += "<command name=\"cat\" args=\"/opt/corvelle/sdcard/settings/shipped\">\n" +
                shipped + "</command>\n";
    if (!primary.isNull())
        text += "<command name=\"cat\" args=\"/opt/corvelle/sdcard/settings/primary\">\n" +
                primary + "</command>\n";
    if (!log.isNull())
        text += "<command name=\"journalctl\" args=\"-u corvelle-printer\"><![CDATA[" + log +
                "]]></command>\n";
    return text;
}

bool writeZip(const QString &zipPath, const QVector<ZipEntry> &entries, const char *password)
{
    QuaZip zip(zipPath);
    if (!zip.open(QuaZip::mdCreate))
        return false;
    for (const ZipEntry &entry : entries) {
        QuaZipFile file(&zip);
        if (!file.open(QIODevice::WriteOnly, QuaZipNewInfo(entry.first), password,
                       password ? crc32Of(entry.second) : 0) ||
            file.write(entry.second) != entry.second.size()) {
            return false;
        }
        file.close();
        if (file.getZipError() != UNZ_OK)
            return false;
    }
    zip.close();
    return zip.getZipError() == UNZ_OK;
}

bool writeZipWithStoredFacts(const QString &zipPath, const QString &entryName,
                             const QByteArray &data, quint64 declaredSize, quint32 crc,
                             bool alreadyDeflated)
{
    QByteArray deflated = data;
    if (!alreadyDeflated)
        deflated = QByteArray(int(compressBound(uLong(data.size()))) + 64, '\0');
    z_stream stream = {};
    if (!alreadyDeflated) {
        if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8,
                         Z_DEFAULT_STRATEGY) != Z_OK) {
            return false;
        }
        stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
        stream.avail_in = uInt(data.size());
        stream.next_out = reinterpret_cast<Bytef *>(deflated.data());
        stream.avail_out = uInt(deflated.size());
        const int result = deflate(&stream, Z_FINISH);
        deflated.resize(int(stream.total_out));
        deflateEnd(&stream);
        if (result != Z_STREAM_END)
            return false;
    }

    QuaZip zip(zipPath);
    zip.setZip64Enabled(declaredSize > 0xffffffffu);
    if (!zip.open(QuaZip::mdCreate))
        return false;
    QuaZipNewInfo info(entryName);
    info.uncompressedSize = ulong(declaredSize);
    QuaZipFile file(&zip);
    if (!file.open(QIODevice::WriteOnly, info, nullptr, crc, Z_DEFLATED, Z_DEFAULT_COMPRESSION,
                   true) ||
        file.write(deflated) != deflated.size()) {
        return false;
    }
    return closeOk(file, zip);
}

bool writeZipBomb(const QString &zipPath, qint64 inflatedMiB, quint64 declaredSize)
{
    const int MiB = 1024 * 1024;
    const QByteArray plain(MiB, 'q');
    QByteArray block(int(compressBound(uLong(MiB))) + 64, '\0');
    z_stream stream = {};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(plain.constData()));
    stream.avail_in = uInt(MiB);
    stream.next_out = reinterpret_cast<Bytef *>(block.data());
    stream.avail_out = uInt(block.size());
    deflate(&stream, Z_FULL_FLUSH);
    block.resize(int(stream.total_out));
    deflateEnd(&stream);
    const uLong blockCrc = crc32Of(plain);
    uLong crc = blockCrc;
    for (qint64 i = 1; i < inflatedMiB; ++i)
        crc = crc32_combine(crc, blockCrc, MiB);
    return writeZipWithStoredFacts(zipPath, QStringLiteral("query.txt"),
                                   block.repeated(int(inflatedMiB)) + QByteArray("\x03\x00", 2),
                                   declaredSize, quint32(crc), true);
}

quint32 crc32Of(const QByteArray &data)
{
    return quint32(crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef *>(data.constData()),
                         uInt(data.size())));
}
