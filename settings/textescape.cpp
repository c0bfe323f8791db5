#include "settings/textescape.h"

#include <algorithm>

namespace {

bool isHiddenBreakOrReordering(char16_t c)
{
    return c == 0x061C || c == 0x070F || c == 0x0085 || c == 0x2028 || c == 0x2029 || c == 0xFDD0 ||
           c == 0xFDD1 || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

bool needsEscape(char16_t c, EscapeStyle style)
{
    if (c == u'\t' || c == u'\\')
        return style == EscapeStyle::Terminal;
    if (c < 0x20 || (c >= 0x7F && c < 0xA0))
        return true;
    return c >= 0x061C && isHiddenBreakOrReordering(c);
}

// How many characters the escape of c takes, as appendEscaped writes it; c
// needs escaping.
int escapeLength(char16_t c, EscapeStyle style)
{
    if (c == u'\r' || c == u'\t' || c == u'\\' || (c == u'\n' && style == EscapeStyle::Terminal))
        return 2;
    return c == 0x0085 || c > 0xFF ? 6 : 4;
}

void appendHex(QString &out, const char *prefix, char16_t code, int digits)
{
    out += QLatin1String(prefix);
    out += QString::number(code, 16).rightJustified(digits, QLatin1Char('0'));
}

} // namespace

void appendEscaped(QString &out, QStringView text, EscapeStyle style)
{
    const auto plain = [style](QChar c) {
        return !needsEscape(c.unicode(), style);
    };
    const QChar *from = text.begin();
    while (from != text.end()) {
        const QChar *stop = std::find_if_not(from, text.end(), plain);
        out.append(from, int(stop - from));
        if (stop == text.end())
            break;
        const char16_t c = stop->unicode();
        if (c == u'\r')
            out += QLatin1String("\\r");
        else if (c == u'\t')
            out += QLatin1String("\\t");
        else if (c == u'\\')
            out += QLatin1String("\\\\");
        else if (c == u'\n' && style == EscapeStyle::Terminal)
            out += QLatin1String("\\n");
        else if (c == 0x0085 || c > 0xFF)
            appendHex(out, "\\u", c, 4);
        else
            appendHex(out, "\\x", c, 2);
        from = stop + 1;
    }
}

QString escaped(const QString &text, EscapeStyle style)
{
    const bool clean = std::none_of(text.cbegin(), text.cend(),
                                    [style](QChar c) { return needsEscape(c.unicode(), style); });
    if (clean)
        return text;
    QString out;
    out.reserve(text.size() + 16);
    appendEscaped(out, text, style);
    return out;
}

qint64 escapedLength(QStringView text, EscapeStyle style)
{
    qint64 length = text.size();
    for (const QChar c : text) {
        if (needsEscape(c.unicode(), style))
            length += escapeLength(c.unicode(), style) - 1;
    }
    return length;
}
