#pragma once

// Text taken from query files, and file names, shown in widgets that would
// otherwise read it as rich text or let it run off the screen.

#include <QMessageBox>
#include <QString>

class QWidget;

// A key, serial or file name in a tip or a title: escaped as values are (so
// that no name can break a line or reverse the text), and cut after 200
// characters.
QString shownName(const QString &text);

// A file name as a menu entry: shown as shownName shows it, elided in the
// middle to at most 50 average characters or a third of the screen, whichever
// is narrower, with & doubled so that it shows as itself.
QString menuEntryName(const QString &name, const QWidget *menu);

// A tool tip for owner that shows text as written (no markup read, no image
// loaded), wrapped so that it stays within two thirds of the width of the
// owner's screen: at blanks where it can, anywhere in a run without blanks.
QString plainToolTip(const QString &text, QWidget *owner);

// A modal message box whose text is plain, whatever it holds.
int showPlainMessageBox(QWidget *parent, QMessageBox::Icon icon, const QString &title,
                        const QString &text, QMessageBox::StandardButtons buttons,
                        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
