#include "platform/settingsfile.h"

#include <QFileInfo>
#include <QIODevice>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QStringList>

#include <cctype>
#include <cstring>

const qint64 maxSettingsFileSize = 1024 * 1024;

namespace {

// A key or section name: %XX and %UXXXX stand for characters, a backslash
// for a slash.
QString unescapedKey(const QByteArray &key)
{
    QString out;
    for (int i = 0; i < key.size(); ++i) {
        const char c = key.at(i);
        const bool wide = c == '%' && key.mid(i + 1, 1) == "U";
        const int digits = wide ? 4 : 2;
        bool ok = false;
        const ushort code = c == '%' ? key.mid(i + 1 + wide, digits).toUShort(&ok, 16) : 0;
        if (ok && key.mid(i + 1 + wide, digits).size() == digits) {
            out += QChar(code);
            i += wide + digits;
        } else {
            out += c == '\\' ? QLatin1Char('/') : QLatin1Char(c);
        }
    }
    return out;
}

QByteArray escapedKey(const QString &key)
{
    QByteArray out;
    for (const QChar c : key) {
        const ushort code = c.unicode();
        if (code == '/')
            out += '\\';
        else if ((code >= 'a' && code <= 'z') || (code >= 'A' && code <= 'Z') ||
                 (code >= '0' && code <= '9') || code == '_' || code == '-' || code == '.')
            out += char(code);
        else if (code <= 0xFF)
            out += '%' + QByteArray::number(code, 16).toUpper().rightJustified(2, '0');
        else
            out += "%U" + QByteArray::number(code, 16).toUpper().rightJustified(4, '0');
    }
    return out;
}

// The strings of a value: quotes keep commas, semicolons and blanks, a comma
// outside them separates the strings of a list, a semicolon outside them
// starts a comment, and backslash escapes stand for characters as C writes
// them (\xHHHH and octal ones taking as many digits as follow).
QStringList unescapedStrings(const QByteArray &value, bool *isList)
{
    QStringList strings{QString()};
    bool quoted = false;
    int kept = 0; // the length of the string up to its last character not to trim
    *isList = false;
    for (int i = 0; i < value.size(); ++i) {
        QString &current = strings.last();
        const char c = value.at(i);
        if (c == '"') {
            quoted = !quoted;
            kept = current.size();
        } else if (!quoted && c == ',') {
            current.truncate(kept);
            strings.append(QString());
            kept = 0;
            *isList = true;
        } else if (!quoted && c == ';') {
            break;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (!current.isEmpty())
                current += QLatin1Char(c);
        } else if (c == '\\' && i + 1 < value.size()) {
            const char e = value.at(++i);
            const int base = e == 'x' ? 16 : e >= '0' && e <= '7' ? 8 : 0;
            if (base != 0) {
                uint code = 0;
                int at = base == 16 ? i + 1 : i;
                for (bool ok = true; at < value.size(); ++at) {
                    const uint digit = QByteArray(1, value.at(at)).toUInt(&ok, base);
                    if (!ok)
                        break;
                    code = (code * uint(base) + digit) & 0xFFFF;
                }
                i = at - 1;
                current += QChar(ushort(code));
            } else {
                const char *const from = "abfnrtv";
                const char *const to = "\a\b\f\n\r\t\v";
                const char *found = std::strchr(from, e);
                current += QLatin1Char(found && e ? to[found - from] : e);
            }
            kept = current.size();
        } else {
            current += QLatin1Char(c);
            kept = current.size();
        }
    }
    strings.last().truncate(kept);
    return strings;
}

// The numbers of a form such as "@Size(800 600)", or none when it is not
// exactly count integers.
QVector<int> formNumbers(const QString &text, QLatin1String form, int count)
{
    if (!text.startsWith(form) || !text.endsWith(QLatin1Char(')')))
        return {};
    const QStringList fields =
        text.mid(form.size(), text.size() - form.size() - 1).split(QLatin1Char(' '));
    QVector<int> numbers;
    for (const QString &field : fields) {
        bool ok = false;
        numbers.append(field.toInt(&ok));
        if (!ok)
            return {};
    }
    return numbers.size() == count ? numbers : QVector<int>();
}

// A value in one of the forms QSettings writes. Any other form beginning
// with "@" (among them "@Variant(" and "@DateTime(", which Qt decodes with
// QDataStream) gives false.
bool stringValue(const QString &text, QVariant *value)
{
    if (!text.startsWith(QLatin1Char('@'))) {
        *value = text;
    } else if (text.startsWith(QLatin1String("@@"))) {
        *value = text.mid(1);
    } else if (text == QLatin1String("@Invalid()")) {
        *value = QVariant();
    } else if (const QVector<int> n = formNumbers(text, QLatin1String("@Point("), 2);
               !n.isEmpty()) {
        *value = QPoint(n[0], n[1]);
    } else if (const QVector<int> n = formNumbers(text, QLatin1String("@Size("), 2); !n.isEmpty()) {
        *value = QSize(n[0], n[1]);
    } else if (const QVector<int> n = formNumbers(text, QLatin1String("@Rect("), 4); !n.isEmpty()) {
        *value = QRect(n[0], n[1], n[2], n[3]);
    } else if (text.startsWith(QLatin1String("@ByteArray(")) && text.endsWith(QLatin1Char(')'))) {
        *value = text.mid(11, text.size() - 12).toLatin1();
    } else {
        return false;
    }
    return true;
}

void appendEscaped(QByteArray &out, const QString &text)
{
    const int start = out.size();
    bool quotes = false;
    bool escapeHexDigit = false;
    for (const QChar c : text) {
        const ushort code = c.unicode();
        quotes = quotes || code == ';' || code == ',' || code == '=';
        if (escapeHexDigit && std::isxdigit(code < 0x80 ? code : 0)) {
            out += "\\x" + QByteArray::number(code, 16);
            continue;
        }
        escapeHexDigit = false;
        const char *const from = "\a\b\f\n\r\t\v\"\\";
        const char *const to = "abfnrtv\"\\";
        const char *found = code < 0x80 && code != 0 ? std::strchr(from, code) : nullptr;
        if (found) {
            out += '\\';
            out += to[found - from];
        } else if (code == 0) {
            out += "\\0";
            escapeHexDigit = true;
        } else if (code < 0x20 || code >= 0x7F) {
            out += "\\x" + QByteArray::number(code, 16);
            escapeHexDigit = true;
        } else {
            out += char(code);
        }
    }
    if (quotes || (out.size() > start && (out.at(start) == ' ' || out.endsWith(' ')))) {
        out.insert(start, '"');
        out += '"';
    }
}

// A string as QSettings writes it: one beginning with "@" gets another.
QString plainString(const QString &text)
{
    return text.startsWith(QLatin1Char('@')) ? QLatin1Char('@') + text : text;
}

QByteArray iniValue(const QVariant &value)
{
    QByteArray out;
    switch (value.userType()) {
    case QMetaType::UnknownType:
        return "@Invalid()";
    case QMetaType::QStringList: {
        const QStringList list = value.toStringList();
        if (list.isEmpty())
            return "@Invalid()";
        for (const QString &item : list) {
            if (!out.isEmpty())
                out += ", ";
            appendEscaped(out, plainString(item));
        }
        return out;
    }
    case QMetaType::QPoint:
        appendEscaped(
            out, QStringLiteral("@Point(%1 %2)").arg(value.toPoint().x()).arg(value.toPoint().y()));
        return out;
    case QMetaType::QSize:
        appendEscaped(out, QStringLiteral("@Size(%1 %2)")
                               .arg(value.toSize().width())
                               .arg(value.toSize().height()));
        return out;
    case QMetaType::QRect: {
        const QRect r = value.toRect();
        appendEscaped(out, QStringLiteral("@Rect(%1 %2 %3 %4)")
                               .arg(r.x())
                               .arg(r.y())
                               .arg(r.width())
                               .arg(r.height()));
        return out;
    }
    case QMetaType::QByteArray:
        appendEscaped(out, QLatin1String("@ByteArray(") + QString::fromLatin1(value.toByteArray()) +
                               QLatin1Char(')'));
        return out;
    default:
        appendEscaped(out, plainString(value.toString()));
        return out;
    }
}

} // namespace

bool readSafeIni(QIODevice &device, QSettings::SettingsMap &map)
{
    if (device.size() > maxSettingsFileSize)
        return false;
    QString section;
    for (QByteArray line : device.readAll().split('\n')) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith(';') || line.startsWith('#'))
            continue;
        if (line.startsWith('[')) {
            section = unescapedKey(line.mid(1, line.indexOf(']') - 1));
            if (section.compare(QLatin1String("General"), Qt::CaseInsensitive) == 0)
                section.clear();
            continue;
        }
        const int equals = line.indexOf('=');
        if (equals <= 0)
            continue;
        QString key = unescapedKey(line.left(equals).trimmed());
        if (!section.isEmpty())
            key = section + QLatin1Char('/') + key;
        bool isList = false;
        const QStringList strings = unescapedStrings(line.mid(equals + 1), &isList);
        QVariant value;
        if (!isList) {
            if (stringValue(strings.first(), &value))
                map.insert(key, value);
            continue;
        }
        QStringList list;
        for (const QString &string : strings) {
            if (!stringValue(string, &value) || value.userType() != QMetaType::QString)
                break;
            list.append(value.toString());
        }
        if (list.size() == strings.size())
            map.insert(key, list);
    }
    return true;
}

bool writeSafeIni(QIODevice &device, const QSettings::SettingsMap &map)
{
    // "General" holds the keys outside any group, as QSettings writes them.
    QMap<QString, QByteArray> sections;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        const int slash = it.key().indexOf(QLatin1Char('/'));
        const QString section = slash < 0 ? QStringLiteral("General") : it.key().left(slash);
        sections[section] +=
            escapedKey(it.key().mid(slash + 1)) + '=' + iniValue(it.value()) + '\n';
    }
    QByteArray text;
    if (sections.contains(QStringLiteral("General")))
        text += "[General]\n" + sections.take(QStringLiteral("General"));
    for (auto it = sections.cbegin(); it != sections.cend(); ++it)
        text += (text.isEmpty() ? "[" : "\n[") + escapedKey(it.key()) + "]\n" + it.value();
    return device.write(text) == text.size();
}

QSettings::Format safeIniFormat()
{
    static const QSettings::Format format =
        QSettings::registerFormat(QStringLiteral("conf"), readSafeIni, writeSafeIni);
    return format;
}

QString userSettingsFile(const QString &organization, const QString &application)
{
#ifdef Q_OS_WIN
    return QStringLiteral("HKEY_CURRENT_USER\\Software\\") + organization + QLatin1Char('\\') +
           application;
#else
    // A file of names of its own, which does not exist: its folder's folder
    // is where QSettings keeps every organization's files.
    const QFileInfo probe(QSettings(QSettings::NativeFormat, QSettings::UserScope,
                                    QStringLiteral("brindle-settings-probe"),
                                    QStringLiteral("probe"))
                              .fileName());
    return QFileInfo(probe.absolutePath()).absolutePath() + QLatin1Char('/') + organization +
           QLatin1Char('/') + application + QLatin1Char('.') + probe.suffix();
#endif
}

QSettings::Format userSettingsFormat()
{
#ifdef Q_OS_WIN
    return QSettings::NativeFormat;
#else
    return safeIniFormat();
#endif
}
