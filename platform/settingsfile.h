#pragma once

#include <QSettings>
#include <QString>

// The user's settings file of the program: INI text as QSettings writes it,
// read and written by functions of our own. Qt's own INI reader decodes every
// "@Variant(...)" value of a section as soon as one key of it is read (and of
// every section when the file is written), whatever key it belongs to, and a
// crafted one (a list that claims 2^31 entries) ends the program at every
// start. This reader never decodes one: it knows the forms QSettings writes
// for strings, lists of strings, points, sizes, rectangles and byte arrays;
// a value of any other form is left out, so that its key reads as missing and
// the caller's default is used, and it is gone from the file once the
// settings are written again. A file larger than maxSettingsFileSize is read
// as empty, and written anew.
QSettings::Format safeIniFormat();

// Far more than a settings file of ours holds (ten paths and a few values).
extern const qint64 maxSettingsFileSize;

// Where the user's settings of organization and application are kept, and
// in which format, for a QSettings built from the two. Outside Windows the
// file of QSettings::NativeFormat (where QSettings::setPath may have moved
// it), found without reading that file or any other, in safeIniFormat. On
// Windows the user's registry key, in Qt's native format: the registry is no
// file that can be sent to a user.
QString userSettingsFile(const QString &organization, const QString &application);
QSettings::Format userSettingsFormat();

// The settings map of an INI text as the safe format reads it; false when the
// text is larger than maxSettingsFileSize.
bool readSafeIni(QIODevice &device, QSettings::SettingsMap &map);

// An INI text of the map, as QSettings would write it.
bool writeSafeIni(QIODevice &device, const QSettings::SettingsMap &map);
