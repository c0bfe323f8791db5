#pragma once

#include <QString>
#include <QStringView>

// How text from a query file is escaped where it leaves the program.
//
// Both styles write a character that would end a line, reorder the text or
// act as a control sequence in a notation of backslash escapes, so that the
// text stays on one line and reads left to right: CR as \r; every other
// C0 and C1 control character and DEL as \xHH; U+0085, U+2028, U+2029,
// U+FDD0, U+FDD1 and the direction controls as \uXXXX. The direction
// controls are the format characters that set or change the direction of
// the text around them: the invisible marks U+061C, U+070F, U+200E and
// U+200F, the embeddings and overrides U+202A-U+202E and the isolates
// U+2066-U+2069 (Unicode's Bidi_Control characters, and U+070F, which is as
// strong a right-to-left character as U+061C). Hexadecimal digits are lower
// case.
enum class EscapeStyle {
    // The document's settings blocks: TAB and backslash stay as they are, so
    // that keys and values read as the printer wrote them.
    Document,
    // Terminal output (brindle-query's differences and error lines) and the
    // viewer's tool tips: TAB, LF and backslash also become \t, \n and \\, so
    // that fields split at TABs and every escape reads back without doubt.
    Terminal,
};

// Appends text to out, escaped in the given style.
void appendEscaped(QString &out, QStringView text, EscapeStyle style);

// text escaped in the given style; text itself (shared, not copied) when
// nothing in it needs escaping.
QString escaped(const QString &text, EscapeStyle style);

// The length of text escaped in the given style, found without building it:
// an escape can make a character six, so the caller can refuse a text whose
// escaped form would be too long before paying for it.
qint64 escapedLength(QStringView text, EscapeStyle style);
