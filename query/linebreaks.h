#pragma once

// Where a line of the document ends, as the text view starts a new block:
// at a line feed, a CR, a paragraph separator and the non-characters U+FDD0
// and U+FDD1. A CR directly followed by a line feed ends one line with both.
// Every count of the document's lines, and every piece it is cut into, keeps
// to this rule.
constexpr bool isDocumentLineBreak(char16_t c)
{
    return c == u'\n' || c == u'\r' || c == 0x2029 || c == 0xFDD0 || c == 0xFDD1;
}

// Every line break lies at or below lastLowLineBreak or at or above
// firstHighLineBreak: scans may skip the characters between unexamined.
constexpr char16_t lastLowLineBreak = u'\r';
constexpr char16_t firstHighLineBreak = 0x2029;
namespace linebreaks_detail {
constexpr bool noLineBreakBetween()
{
    for (char16_t c = lastLowLineBreak + 1; c < firstHighLineBreak; ++c) {
        if (isDocumentLineBreak(c))
            return false;
    }
    return true;
}
} // namespace linebreaks_detail
static_assert(linebreaks_detail::noLineBreakBetween(), "the fast scans' range holds no line break");
