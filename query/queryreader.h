#pragma once

#include <QString>

// The largest query file, or archive entry, that is read: 512 MiB. Anything
// larger is refused before it is read, so a huge file or an archive that
// inflates to gigabytes cannot exhaust memory.
extern const qint64 maxQueryFileSize;

// Query files are read and decoded in pieces of this many bytes, so the raw
// bytes of a large file are never held in memory whole.
extern const int queryReadChunkSize;

// The most entries an archive may record: its entries are walked to find
// the query text, and a query archive holds one or a few.
extern const int maxArchiveEntries;

// The query text of a query file: a path ending in ".zip" is read as an
// archive (the first entry, in central-directory order, whose name ends in
// ".txt", passing over macOS metadata: entries under a "__MACOSX/" folder and
// entries whose name starts with "._"), one ending in ".txt" as a plain file;
// the suffix tests are case-sensitive. The bytes are decoded as UTF-8, line
// ends untouched, except in a text whose lone CRs (those no line feed
// follows) outnumber its line feeds: it was written with CR line ends, and
// those CRs become line feeds (a CR LF pair stays one line end). A zero byte
// becomes U+FFFD, like an invalid byte.
//
// Every failure gives an empty string and, when reason is given, one sentence
// in plain words saying why: another suffix, a file that is missing, unreadable
// or not a regular file (directories, pipes and devices are never opened for
// reading), an archive that cannot be opened or has no text entry, an entry
// that is encrypted or damaged (its data does not match its stored sizes or
// checksum), a file or entry larger than maxQueryFileSize, an archive that
// records more than maxArchiveEntries entries, or one that is empty. Nothing
// is left open afterwards.
QString readQueryFile(const QString &path, QString *reason = nullptr);

// The number of bytes readQueryFile would decode from path, as the file
// declares it, without reading it: a plain file's size, or the uncompressed
// size recorded for the archive entry it would read (maxQueryFileSize + 1 for
// any size past maxQueryFileSize, which is refused unread). -1 when it would be
// refused before any reading (a suffix, a file that is missing or not regular,
// an archive without such an entry). An entry that holds more than it
// declares is refused by readQueryFile as damaged.
qint64 queryTextSize(const QString &path);

// The reason given for a file whose reading ran out of memory.
QString notEnoughMemoryReason();
