#include "query/viewtext.h"

#include <QCoreApplication>
#include <QLocale>

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

const int viewLineLimit = 20000;
const qint64 viewMaxLines = 2500000;
const qint64 viewMaxCharacters = 250000000;

QString groupedNumber(qint64 number)
{
    QLocale locale = QLocale::c();
    locale.setNumberOptions(QLocale::DefaultNumberOptions);
    return locale.toString(number);
}

QString moreCharactersMarker(QStringView rest)
{
    const qint64 more = rest.size() - std::count_if(rest.begin(), rest.end(),
                                                    [](QChar c) { return c.isLowSurrogate(); });
    return more == 1
               ? QCoreApplication::translate("BrindleQueryTool", "\u2026 [1 more character]")
               : QCoreApplication::translate("BrindleQueryTool", "\u2026 [%1 more characters]")
                     .arg(groupedNumber(more));
}

ViewText viewText(QString document)
{
    ViewText view;
    const QChar *s = document.constData();
    const int size = document.size();
    QString cut; // stays null unless some line is cut
    int copied = 0;
    int lineStart = 0;
    const auto endLine = [&](int end) {
        if (end - lineStart <= viewLineLimit)
            return;
        int keep = lineStart + viewLineLimit;
        if (s[keep - 1].isHighSurrogate())
            --keep;
        cut.append(s + copied, keep - copied);
        cut += moreCharactersMarker(QStringView(s + keep, end - keep));
        copied = end;
    };
    view.lines = 1;
    for (int i = 0; i < size; ++i) {
#if defined(__SSE2__)
        // Block breaks are rare: skip eight characters at a time while all of
        // them lie in U+000E..U+2028, which the bias maps to the lowest
        // signed 16-bit values.
        const __m128i bias = _mm_set1_epi16(short(0x8000 - 0x0E));
        const __m128i limit = _mm_set1_epi16(short(0x8000 + 0x2029 - 0x0E));
        while (i + 8 <= size &&
               _mm_movemask_epi8(_mm_cmplt_epi16(
                   _mm_add_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i)), bias),
                   limit)) == 0xFFFF)
            i += 8;
        if (i == size)
            break;
#endif
        const char16_t c = s[i].unicode();
        if (c > u'\r' && c < 0x2029)
            continue;
        if (c == u'\n' || c == u'\r' || c == 0x2029 || c == 0xFDD0 || c == 0xFDD1) {
            endLine(i);
            if (c == u'\r' && i + 1 < size && s[i + 1] == QLatin1Char('\n'))
                ++i;
            ++view.lines;
            lineStart = i + 1;
        }
    }
    endLine(size);
    if (cut.isNull()) {
        view.text = std::move(document);
    } else {
        cut.append(s + copied, size - copied);
        view.text = std::move(cut);
    }
    view.fits = view.lines <= viewMaxLines && view.text.size() <= viewMaxCharacters;
    return view;
}

QString viewRefusalText(const ViewText &view, const QString &path)
{
    return QCoreApplication::translate(
               "BrindleQueryTool",
               "Couldn't show the query file.\nIt has %1 lines and %2 characters; the viewer "
               "shows at most %3 lines and %4 characters. brindle-query print \"%5\" writes "
               "the whole document.")
        .arg(groupedNumber(view.lines), groupedNumber(view.text.size()),
             groupedNumber(viewMaxLines), groupedNumber(viewMaxCharacters), path);
}
