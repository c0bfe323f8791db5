#pragma once

#include <QString>

// The Archivon report archive: one ".zip" query file per printer serial in a
// folder on the file server. Fixed before main() runs.
extern const QString archivePath;

// The archive file for a printer serial, exactly as typed (blanks and letter
// case kept). A serial that would leave the archive folder (one holding a
// path separator, or "." or "..") has no archive file: the result is empty.
QString archiveFileForSerial(const QString &serial);
