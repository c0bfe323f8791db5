#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>

// The absolute paths that a stored settings value holds: a string list, or
// one string (a settings file gives a stored list of one back as a string).
// Any other value, and every path that is not absolute, gives none: a
// damaged settings file never gives the window a path it did not store.
QStringList storedAbsolutePaths(const QVariant &stored);

// The query files opened last, newest first: at most maxCount, each file
// once. Paths are kept absolute and cleaned but otherwise as they were opened
// (links are not resolved: the user's path to a share is the one to show),
// and compared without regard to letter case where the file system ignores it.
class RecentFiles
{
public:
    static constexpr int maxCount = 10;

    // Puts path first, dropping an earlier entry for the same file and the
    // oldest entries beyond maxCount.
    void add(const QString &path);

    // The paths whose files exist, newest first; the others leave the list.
    QStringList existing();

    void clear() { paths.clear(); }

    // Replaces the list with the paths of a stored value, as
    // storedAbsolutePaths reads it.
    void load(const QVariant &stored);

    // The list to store, as load reads it.
    QStringList stored() const { return paths; }

private:
    QStringList paths;
};
