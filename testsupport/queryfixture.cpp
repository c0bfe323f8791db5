#include "queryfixture.h"

#include <QStringList>
#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipnewinfo.h>
#include <zlib.h>

namespace {

// Raw deflate data, ended by flush (Z_FINISH, or Z_FULL_FLUSH for a block
// that can be repeated).
QByteArray deflated(const QByteArray &data, int flush)
{
    QByteArray out(int(compressBound(uLong(data.size()))) + 64, '\0');
    z_stream stream = {};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    deflate(&stream, flush);
    out.resize(int(stream.total_out));
    deflateEnd(&stream);
    return out;
}

} // namespace

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
        // Mode 0644, as zip(1) records it: readable once unpacked.
        QuaZipNewInfo info(entry.first);
        info.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                            QFile::ReadOther);
        if (!file.open(QIODevice::WriteOnly, info, password,
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
    const QByteArray raw = alreadyDeflated ? data : deflated(data, Z_FINISH);
    QuaZip zip(zipPath);
    zip.setZip64Enabled(declaredSize > 0xffffffffu);
    if (!zip.open(QuaZip::mdCreate))
        return false;
    QuaZipNewInfo info(entryName);
    info.uncompressedSize = ulong(declaredSize);
    QuaZipFile file(&zip);
    if (!file.open(QIODevice::WriteOnly, info, nullptr, crc, Z_DEFLATED, Z_DEFAULT_COMPRESSION,
                   true) ||
        file.write(raw) != raw.size()) {
        return false;
    }
    file.close();
    zip.close();
    return file.getZipError() == UNZ_OK && zip.getZipError() == UNZ_OK;
}

bool writeZipBomb(const QString &zipPath, qint64 inflatedMiB, quint64 declaredSize)
{
    const int MiB = 1024 * 1024;
    const QByteArray plain(MiB, 'q');
    const uLong blockCrc = crc32Of(plain);
    uLong crc = blockCrc;
    for (qint64 i = 1; i < inflatedMiB; ++i)
        crc = crc32_combine(crc, blockCrc, MiB);
    return writeZipWithStoredFacts(zipPath, QStringLiteral("query.txt"),
                                   deflated(plain, Z_FULL_FLUSH).repeated(int(inflatedMiB)) +
                                       QByteArray("\x03\x00", 2),
                                   declaredSize, quint32(crc), true);
}

quint32 crc32Of(const QByteArray &data)
{
    return quint32(crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef *>(data.constData()),
                         uInt(data.size())));
}
