#include "ui/darkpalette.h"

QPalette darkPalette()
{
    const QColor grey(127, 127, 127);
    const QColor blue(42, 130, 218);
    QPalette palette;
    auto set = [&palette](QPalette::ColorGroup group, QPalette::ColorRole role,
                          const QColor &colour) {
        palette.setBrush(group, role, QBrush(colour, Qt::SolidPattern));
    };
    // A Disabled row must follow the All row of its role, or the All row
    // would overwrite the disabled colour again.
    set(QPalette::All, QPalette::Window, QColor(53, 53, 53));
    set(QPalette::All, QPalette::WindowText, Qt::white);
    set(QPalette::Disabled, QPalette::WindowText, grey);
    set(QPalette::All, QPalette::Base, QColor(42, 42, 42));
    set(QPalette::All, QPalette::AlternateBase, QColor(66, 66, 66));
    set(QPalette::All, QPalette::ToolTipBase, Qt::white);
    set(QPalette::All, QPalette::ToolTipText, Qt::white);
    set(QPalette::All, QPalette::Text, Qt::white);
    set(QPalette::Disabled, QPalette::Text, grey);
    set(QPalette::All, QPalette::Dark, QColor(35, 35, 35));
    set(QPalette::All, QPalette::Shadow, QColor(20, 20, 20));
    set(QPalette::All, QPalette::Button, QColor(53, 53, 53));
    set(QPalette::All, QPalette::ButtonText, Qt::white);
    set(QPalette::Disabled, QPalette::ButtonText, grey);
    set(QPalette::All, QPalette::BrightText, Qt::red);
    set(QPalette::All, QPalette::Link, blue);
    set(QPalette::All, QPalette::Highlight, blue);
    set(QPalette::Disabled, QPalette::Highlight, QColor(80, 80, 80));
    set(QPalette::All, QPalette::HighlightedText, Qt::white);
    set(QPalette::Disabled, QPalette::HighlightedText, grey);
    return palette;
}

QPalette darkToolTipPalette()
{
    QPalette toolTips = darkPalette();
    toolTips.setColor(QPalette::ToolTipBase, QColor(66, 66, 66));
    toolTips.setColor(QPalette::ToolTipText, Qt::white);
    return toolTips;
}
