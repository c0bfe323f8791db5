#include "query/recentfiles.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace {

#if defined(Q_OS_WIN) || defined(Q_OS_MACOS)
constexpr Qt::CaseSensitivity pathCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity pathCase = Qt::CaseSensitive;
#endif

} // namespace

void RecentFiles::add(const QString &path)
{
    const QString absolute = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    paths.erase(std::remove_if(paths.begin(), paths.end(),
                               [&absolute](const QString &known) {
                                   return known.compare(absolute, pathCase) == 0;
                               }),
                paths.end());
    paths.prepend(absolute);
    while (paths.size() > maxCount)
        paths.removeLast();
}

QStringList RecentFiles::existing()
{
    paths.erase(std::remove_if(paths.begin(), paths.end(),
                               [](const QString &path) { return !QFileInfo::exists(path); }),
                paths.end());
    return paths;
}

QStringList storedAbsolutePaths(const QVariant &stored)
{
    if (stored.userType() != QMetaType::QStringList && stored.userType() != QMetaType::QString)
        return {};
    QStringList paths = stored.toStringList();
    paths.erase(std::remove_if(paths.begin(), paths.end(),
                               [](const QString &path) { return !QDir::isAbsolutePath(path); }),
                paths.end());
    return paths;
}

void RecentFiles::load(const QVariant &stored)
{
    paths.clear();
    const QStringList list = storedAbsolutePaths(stored);
    // Added oldest first, so that the newest ends up in front.
    for (auto it = list.crbegin(); it != list.crend(); ++it)
        add(*it);
}
