#include "ui/plaintext.h"

#include "settings/textescape.h"

#include <QFontMetrics>
#include <QScreen>
#include <QStringList>
#include <QTextLayout>
#include <QToolTip>
#include <QWidget>

namespace {

// How much of a key, serial or file name a tip or a title shows.
constexpr int shownNameLength = 200;
// The widest a recent file's entry is, in average characters.
constexpr int menuEntryCharacters = 50;

} // namespace

QString shownName(const QString &text)
{
    if (text.size() <= shownNameLength)
        return escaped(text, EscapeStyle::Terminal);
    const int keep = shownNameLength - (text.at(shownNameLength - 1).isHighSurrogate() ? 1 : 0);
    return escaped(text.left(keep), EscapeStyle::Terminal) + QStringLiteral("\u2026");
}

QString menuEntryName(const QString &name, const QWidget *menu)
{
    const QFontMetrics metrics(menu->font());
    const QScreen *screen = menu->screen();
    const int width = qMin(metrics.averageCharWidth() * menuEntryCharacters,
                           screen ? screen->availableGeometry().width() / 3 : 400);
    return metrics.elidedText(shownName(name), Qt::ElideMiddle, width)
        .replace(QLatin1Char('&'), QLatin1String("&&"));
}

QString plainToolTip(const QString &text, QWidget *owner)
{
    // A tip lays rich text out no narrower than its longest word; breaking the
    // lines here, with the tip's own font on the owner's screen, keeps a long
    // value on the screen.
    const QScreen *screen = owner->screen();
    const int width = screen ? screen->availableGeometry().width() * 2 / 3 - 20 : 600;
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    QStringList lines;
    for (const QString &paragraph : text.split(QLatin1Char('\n'))) {
        QTextLayout layout(paragraph, QToolTip::font(), owner);
        layout.setTextOption(option);
        layout.beginLayout();
        const int before = lines.size();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            lines << paragraph.mid(line.textStart(), line.textLength());
        }
        layout.endLayout();
        if (lines.size() == before)
            lines << QString();
    }
    return QStringLiteral("<p style='white-space:pre'>") +
           lines.join(QLatin1Char('\n')).toHtmlEscaped() + QStringLiteral("</p>");
}

int showPlainMessageBox(QWidget *parent, QMessageBox::Icon icon, const QString &title,
                        const QString &text, QMessageBox::StandardButtons buttons,
                        QMessageBox::StandardButton defaultButton)
{
    QMessageBox box(icon, title, text, buttons, parent);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(defaultButton);
    return box.exec();
}
