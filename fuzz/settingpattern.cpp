// The settings line matcher against the regular expression it stands for:
// every line of the input must give the same match and captures as the
// toolkit's PCRE engine gives for the expression.

#include "fuzzinput.h"
#include "settings/settingsdecoder.h"

#include <QRegularExpression>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QRegularExpression expression(SettingPattern::settingPatternText);
    const SettingPattern pattern;
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    for (const QStringRef &line : text.splitRef('\n')) {
        // Long lines could reach PCRE's own match limit, where it answers no match.
        if (line.size() > 512)
            continue;
        QStringRef key;
        QStringRef value;
        const bool matched = pattern.match(line, &key, &value);
        const QRegularExpressionMatch expected = expression.match(line.toString());
        FUZZ_CHECK(matched == expected.hasMatch());
        FUZZ_CHECK(!matched || (key == expected.captured(1) && value == expected.captured(2)));
    }
    return 0;
}
