#include "export/fleetexport.h"

#include "export/fleetdatabase.h"
#include "query/querydocument.h"
#include "query/queryreader.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QLockFile>
#include <QMutex>
#include <QRegularExpression>
#include <QTemporaryFile>
#include <QThread>
#include <QThreadPool>
#include <QWaitCondition>

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

const qint64 exportMemoryBudget = qint64(768) * 1024 * 1024;
const int exportLockStaleMs = 10 * 60 * 1000;
const int exportLockRefreshMs = 60 * 1000;

namespace {

// What reading a file costs besides its text: the thread's buffers, the
// document's structure, a refused file's record.
const qint64 fileOverhead = 1024 * 1024;
// Bytes of memory per byte of text while a file is read: the text in UTF-16
// (2), and the document and record made of it. Measured: 2.1 for a file that
// is mostly log, 7.1 for one of setting lines only (each an entry of its own).
const int costPerTextByte = 8;

QString parentFolder(const QString &path)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    return slash <= 0 ? QStringLiteral("/") : path.left(slash);
}

// Whether path is root or lies under it.
bool isUnder(const QString &path, const QString &root)
{
    if (path == root)
        return true;
    return root.endsWith(QLatin1Char('/'))
               ? path.startsWith(root)
               : path.startsWith(root) && path.at(root.size()) == QLatin1Char('/');
}

// How deep the walk goes below a named folder: past this, a hostile tree
// would cost memory with the square of its depth, and then the stack.
const int maxWalkDepth = 256;
const int maxWalkPathLength = 32768;

QString tooDeepReason()
{
    return QStringLiteral("It is nested deeper than an export walks (%1 folders, or a path of "
                          "%2 characters): it is not walked.")
        .arg(maxWalkDepth)
        .arg(maxWalkPathLength);
}

QString nameReason(bool folder)
{
    return folder ? QStringLiteral("Its name is not valid UTF-8, so the folder is not walked: "
                                   "rename it to have what it holds exported.")
                  : QStringLiteral("Its name is not valid UTF-8, so it cannot be read or stored: "
                                   "rename it to have it exported.");
}

#ifdef Q_OS_UNIX
qint64 modifiedMs(const struct stat &status)
{
    return qint64(status.st_mtim.tv_sec) * 1000 + status.st_mtim.tv_nsec / 1000000;
}

// A name as Qt names it, and whether Qt's name leads back to the same bytes.
QString decodedName(const char *name, std::size_t length, bool *valid)
{
    const QByteArray bytes = QByteArray::fromRawData(name, int(length));
    const QString decoded = QFile::decodeName(bytes);
    *valid = QFile::encodeName(decoded) == bytes;
    return decoded;
}

bool hasQuerySuffix(const char *name, std::size_t length)
{
    return length >= 4 && (qstrnicmp(name + length - 4, ".zip", 4) == 0 ||
                           qstrnicmp(name + length - 4, ".txt", 4) == 0);
}
#else
bool hasQuerySuffix(const QString &name)
{
    return name.endsWith(QLatin1String(".zip"), Qt::CaseInsensitive) ||
           name.endsWith(QLatin1String(".txt"), Qt::CaseInsensitive);
}
#endif

// The walk of findQueryFiles. On Unix it goes by the system's folder calls,
// each folder opened relative to its parent: every byte name is seen (Qt's
// listing drops or mangles names that are not valid UTF-8) and no path is too
// long to walk.
class Walker
{
public:
    Walker(QueryFileWalk *walk, const UnreadableCallback &unreadable)
        : walk(walk)
        , unreadable(unreadable)
    {
    }

    void walkNamed(const QString &given)
    {
        QueryFileWalk::Named named;
        named.path = QDir::cleanPath(QFileInfo(given).absoluteFilePath());
        const int before = walk->files.size();
#ifdef Q_OS_UNIX
        const QByteArray encoded = QFile::encodeName(named.path);
        struct stat status;
        if (::stat(encoded.constData(), &status) == 0 && S_ISDIR(status.st_mode)) {
            named.exists = named.folder = true;
            const int fd = ::open(encoded.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd < 0)
                folderFailed(named.path, errno);
            else
                walkFolder(fd, named.path, 0);
        } else if (::lstat(encoded.constData(), &status) == 0) {
            // A file, or a link to nothing: the reader says what it is.
            named.exists = true;
            FoundFile file{named.path, 0, 0};
            if (::stat(encoded.constData(), &status) == 0) {
                file.size = status.st_size;
                file.modifiedMs = modifiedMs(status);
            }
            walk->files.append(file);
        } else if (errno != ENOENT && errno != ENOTDIR) {
            // Whether it is there cannot be told: nothing under it is gone.
            const int error = errno;
            named.exists = true;
            walk->unreadableFolders.insert(named.path);
            report(named.path,
                   QStringLiteral("Couldn't examine it: %1.").arg(qt_error_string(error)));
        }
#else
        const QFileInfo info(named.path);
        if (info.isDir()) {
            named.exists = named.folder = true;
            walkFolder(named.path, 0);
        } else if (info.exists() || info.isSymLink()) {
            named.exists = true;
            walk->files.append(foundFile(info));
        }
#endif
        named.found = walk->files.size() - before;
        walk->named.append(named);
    }

private:
    void report(const QString &path, const QString &reason)
    {
        ++walk->unreadable;
        if (unreadable)
            unreadable(path, reason);
    }

    void folderFailed(const QString &path, int error)
    {
        walk->unreadableFolders.insert(path);
        report(path, QStringLiteral("Couldn't read the folder: %1.").arg(qt_error_string(error)));
    }

#ifdef Q_OS_UNIX
    // Walks the folder open as fd (which it closes) below path, depth folders
    // below the named one.
    void walkFolder(int fd, const QString &path, int depth)
    {
        if (depth > maxWalkDepth || path.size() > maxWalkPathLength) {
            walk->unreadableFolders.insert(path);
            report(path, tooDeepReason());
            ::close(fd);
            return;
        }
        struct stat status;
        if (::fstat(fd, &status) != 0) {
            folderFailed(path, errno);
            ::close(fd);
            return;
        }
        // A bind mount can hold its own parent: the walk would never end.
        const QPair<dev_t, ino_t> identity(status.st_dev, status.st_ino);
        if (ancestors.contains(identity)) {
            walk->unreadableFolders.insert(path);
            report(path, QStringLiteral("It is one of the folders that hold it (a mount loop): it "
                                        "is not walked again."));
            ::close(fd);
            return;
        }
        DIR *dir = ::fdopendir(fd);
        if (!dir) {
            folderFailed(path, errno);
            ::close(fd);
            return;
        }
        ancestors.append(identity);
        const QString prefix = path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/');
        QVector<QByteArray> folders;
        int error = 0;
        for (;;) {
            errno = 0;
            const dirent *entry = ::readdir(dir);
            if (!entry) {
                error = errno;
                break;
            }
            const char *name = entry->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
                continue;
            const std::size_t length = std::strlen(name);
            bool isFolder = entry->d_type == DT_DIR;
            if (entry->d_type == DT_UNKNOWN) {
                struct stat link;
                if (::fstatat(::dirfd(dir), name, &link, AT_SYMLINK_NOFOLLOW) != 0)
                    continue; // gone since it was listed
                isFolder = S_ISDIR(link.st_mode);
            }
            if (isFolder) {
                folders.append(QByteArray(name, int(length)));
                continue;
            }
            if (!hasQuerySuffix(name, length) || std::strncmp(name, "._", 2) == 0)
                continue;
            bool valid = false;
            const QString file = prefix + decodedName(name, length, &valid);
            if (!valid) {
                report(file, nameReason(false));
                continue;
            }
            FoundFile found{file, 0, 0};
            struct stat target;
            if (::fstatat(::dirfd(dir), name, &target, 0) == 0) {
                if (S_ISDIR(target.st_mode))
                    continue; // a link to a folder, never followed
                found.size = target.st_size;
                found.modifiedMs = modifiedMs(target);
            }
            walk->files.append(found);
        }
        if (error != 0) {
            walk->unreadableFolders.insert(path);
            report(path, QStringLiteral("Couldn't read the folder to its end: %1.")
                             .arg(qt_error_string(error)));
        } else {
            walk->listedFolders.insert(path);
        }
        for (const QByteArray &name : qAsConst(folders)) {
            bool valid = false;
            const QString folder = prefix + decodedName(name.constData(), name.size(), &valid);
            if (!valid) {
                report(folder, nameReason(true));
                continue;
            }
            const int child = ::openat(::dirfd(dir), name.constData(),
                                       O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child < 0)
                folderFailed(folder, errno);
            else
                walkFolder(child, folder, depth + 1);
        }
        ancestors.removeLast();
        ::closedir(dir);
    }

    QVector<QPair<dev_t, ino_t>> ancestors;
#else
    static FoundFile foundFile(const QFileInfo &info)
    {
        const QDateTime modified = info.lastModified();
        return {QDir::cleanPath(info.absoluteFilePath()), info.size(),
                modified.isValid() ? modified.toMSecsSinceEpoch() : 0};
    }

    void walkFolder(const QString &path, int depth)
    {
        if (depth > maxWalkDepth || path.size() > maxWalkPathLength) {
            walk->unreadableFolders.insert(path);
            report(path, tooDeepReason());
            return;
        }
        const QDir dir(path);
        if (!dir.isReadable()) {
            walk->unreadableFolders.insert(path);
            report(path, QStringLiteral("Couldn't read the folder."));
            return;
        }
        walk->listedFolders.insert(path);
        const QFileInfoList entries = dir.entryInfoList(QDir::AllEntries | QDir::Hidden |
                                                        QDir::System | QDir::NoDotAndDotDot);
        for (const QFileInfo &entry : entries) {
            if (entry.isDir() && !entry.isSymLink())
                walkFolder(QDir::cleanPath(entry.absoluteFilePath()), depth + 1);
            else if (!entry.isDir() && hasQuerySuffix(entry.fileName()) &&
                     !entry.fileName().startsWith(QLatin1String("._")))
                walk->files.append(foundFile(entry));
        }
    }
#endif

    QueryFileWalk *const walk;
    const UnreadableCallback &unreadable;
};

// A file's record, with the size and modification time found before reading.
QueryRecord recordOf(const FoundFile &file)
{
    QueryRecord record = readQueryRecord(file.path);
    record.size = file.size;
    record.modifiedMs = file.modifiedMs;
    return record;
}

// The record of a file refused for reason.
QueryRecord refusedRecord(const FoundFile &file, const QString &reason)
{
    QueryRecord record;
    record.path = file.path;
    record.size = file.size;
    record.modifiedMs = file.modifiedMs;
    record.refusal = reason;
    record.serial = printerSerial(QueryDocument(), file.path);
    return record;
}

// The memory reading a file takes at most, from the size of its text as the
// file declares it. A file refused before it is read costs little.
qint64 readingCost(const QString &path)
{
    const qint64 size = queryTextSize(path);
    if (size < 0 || size > maxQueryFileSize)
        return fileOverhead;
    return costPerTextByte * size + fileOverhead;
}

// Reads files on a pool of threads and hands what read gives for each back in
// the order of the list. At most a few results per thread wait to be taken,
// and the files being read or waiting together take at most
// exportMemoryBudget: a file takes its reading cost, in the order of the list
// (so that a later file never holds memory an earlier one waits for), and
// gives it back once the next result is asked for. A file whose reading runs
// out of memory gives refuse's result instead; the others go on.
template<typename Result> class OrderedReader
{
public:
    using Read = std::function<Result(const FoundFile &)>;
    using Refuse = std::function<Result(const FoundFile &, const QString &reason)>;

    OrderedReader(const QVector<FoundFile> &files, int threads, Read read, Refuse refuse)
        : files(files)
        , window(2 * threads)
        , read(std::move(read))
        , refuse(std::move(refuse))
    {
        pool.setMaxThreadCount(threads);
    }
    ~OrderedReader()
    {
        {
            QMutexLocker locker(&mutex);
            stopping = true;
            turnOrRoom.wakeAll();
        }
        pool.waitForDone();
    }

    Result next()
    {
        {
            QMutexLocker locker(&mutex);
            available += heldByTaken;
            heldByTaken = 0;
            turnOrRoom.wakeAll();
        }
        while (submitted < files.size() && submitted - taken < window)
            submit(submitted++);
        QMutexLocker locker(&mutex);
        while (!done.contains(taken))
            ready.wait(&mutex);
        Done result = done.take(taken++);
        heldByTaken = result.cost;
        return std::move(result.result);
    }

private:
    struct Done
    {
        Result result;
        qint64 cost = 0;
    };

    void submit(int index)
    {
        pool.start([this, index] { work(index); });
    }

    void work(int index)
    {
        const FoundFile &file = files.at(index);
        Done result;
        if (!stopping) {
            const qint64 cost = qMin(readingCost(file.path), exportMemoryBudget);
            QMutexLocker locker(&mutex);
            while (!stopping && (turn != index || available < cost))
                turnOrRoom.wait(&mutex);
            if (!stopping) {
                available -= cost;
                result.cost = cost;
                ++turn;
                turnOrRoom.wakeAll();
            }
        }
        if (!stopping) {
            // Qt reports an allocation that fails by throwing; it must not end
            // the export, only this file's reading.
            try {
                result.result = read(file);
            } catch (const std::bad_alloc &) {
                result.result = refuse(file, notEnoughMemoryReason());
            }
        }
        QMutexLocker locker(&mutex);
        done.insert(index, std::move(result));
        ready.wakeAll();
    }

    const QVector<FoundFile> &files;
    const int window;
    const Read read;
    const Refuse refuse;
    int submitted = 0;
    int taken = 0;
    std::atomic<bool> stopping{false};
    QMutex mutex;
    QWaitCondition ready;
    QWaitCondition turnOrRoom;
    int turn = 0;                          // the next file to take its cost
    qint64 available = exportMemoryBudget; // memory not taken by a file
    qint64 heldByTaken = 0;                // the cost of the result last taken
    QHash<int, Done> done;
    QThreadPool pool;
};

// A file's JSON Lines form, made on a reading thread.
struct JsonLine
{
    QString path;
    QString refusal;
    QByteArray line;
};

JsonLine jsonLineOf(const QueryRecord &record)
{
    return JsonLine{record.path, record.refusal, queryRecordJson(record)};
}

int threadCount(const ExportOptions &options)
{
    return options.threads > 0 ? options.threads : qMax(1, QThread::idealThreadCount());
}

// Counts and reports one file.
void account(const ExportOptions &options, ExportSummary *summary, ExportProgress *progress,
             const QString &path, const QString &refusal, bool reused)
{
    if (!refusal.isNull()) {
        ++summary->refused;
        ++progress->refused;
        if (options.refused)
            options.refused(path, refusal);
    } else if (reused) {
        ++summary->unchanged;
    } else {
        ++summary->read;
    }
    ++progress->done;
    if (options.progress)
        options.progress(*progress);
}

ExportResult failure(const QString &error)
{
    ExportResult result;
    result.failed = true;
    result.error = error;
    return result;
}

// The file a database path names, symbolic links followed (also one to a
// file not yet made, so that the export writes where the link points and
// keeps the link), in its folder's canonical path, so that exports naming it
// through different links share one lock.
QString resolvedDatabasePath(const QString &path)
{
    QString resolved = QFileInfo(path).absoluteFilePath();
    for (int links = 0; links < 40 && QFileInfo(resolved).isSymLink(); ++links)
        resolved = QFileInfo(resolved).symLinkTarget();
    const QFileInfo info(QDir::cleanPath(resolved));
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    return folder.isEmpty() ? info.absoluteFilePath() : QDir(folder).filePath(info.fileName());
}

// The database's file as found before the export: whether there is one, and
// the mode and owner a new one takes.
struct DatabaseFile
{
    bool exists = false;
#ifdef Q_OS_UNIX
    mode_t mode = 0644;
    uid_t owner = uid_t(-1);
    gid_t group = gid_t(-1);
    dev_t device = 0;
    ino_t inode = 0;
#endif
};

// False, with a message, for a path the export must not write: a FIFO, a
// device or a folder (opening one could block or harm it), and a missing
// database whose journal or log is still there (SQLite would take it for
// the new file's own).
bool examineDatabase(const QString &path, DatabaseFile *file, QString *error)
{
#ifdef Q_OS_UNIX
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) == 0) {
        if (!S_ISREG(status.st_mode)) {
            *error = QStringLiteral("It is not a regular file: an export writes only a regular "
                                    "file, or a new one.");
            return false;
        }
        file->exists = true;
        file->mode = status.st_mode & 0777;
        file->owner = status.st_uid;
        file->group = status.st_gid;
        file->device = status.st_dev;
        file->inode = status.st_ino;
        return true;
    }
    if (errno != ENOENT) {
        *error = QStringLiteral("Couldn't examine it: %1.").arg(qt_error_string());
        return false;
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    file->mode = 0666 & ~mask;
#else
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        *error = QStringLiteral("It is not a regular file: an export writes only a regular file, "
                                "or a new one.");
        return false;
    }
    file->exists = info.exists();
    if (file->exists)
        return true;
#endif
    for (const char *suffix : {"-journal", "-wal"}) {
        const QFileInfo orphan(path + QLatin1String(suffix));
        if (orphan.exists() && orphan.size() > 0) {
            *error = QStringLiteral("%1 lies beside it, but the database it belongs to is gone: "
                                    "remove it, then export again.")
                         .arg(orphan.fileName());
            return false;
        }
    }
    return true;
}

// Whether the database's path still names the file examineDatabase found
// (or still none): a file another program put there meanwhile is not ours
// to replace.
bool isSameDatabaseFile(const QString &path, const DatabaseFile &file)
{
#ifdef Q_OS_UNIX
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return !file.exists && errno == ENOENT;
    return file.exists && status.st_dev == file.device && status.st_ino == file.inode;
#else
    return QFileInfo::exists(path) == file.exists;
#endif
}

bool syncFile(const QString &path)
{
#ifdef Q_OS_WIN
    QFile file(path);
    return file.open(QIODevice::ReadWrite) && _commit(file.handle()) == 0;
#else
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && ::fsync(file.handle()) == 0;
#endif
}

// Renames from over to in one step: a reader sees the old file or the new
// one, never a mixture or none.
bool replaceFile(const QString &from, const QString &to)
{
#ifdef Q_OS_WIN
    return MoveFileExW(reinterpret_cast<const wchar_t *>(from.utf16()),
                       reinterpret_cast<const wchar_t *>(to.utf16()),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
#else
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0)
        return false;
    // The rename itself is on disk only once its folder is.
    const int folder =
        ::open(QFile::encodeName(QFileInfo(to).absolutePath()).constData(), O_RDONLY);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return true;
#endif
}

// Gives the new database the old one's mode and, where allowed, owner and
// group, or a new one the mode the umask allows.
void setDatabaseMode(const QString &path, const DatabaseFile &file)
{
#ifdef Q_OS_UNIX
    const QByteArray name = QFile::encodeName(path);
    if (file.exists && (file.owner != ::geteuid() || file.group != ::getegid()) &&
        ::chown(name.constData(), file.owner, file.group) != 0 &&
        ::chown(name.constData(), uid_t(-1), file.group) != 0) {
        // Only root gives a file away: it stays the exporting user's.
    }
    ::chmod(name.constData(), file.mode);
#else
    Q_UNUSED(file)
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                    QFile::ReadOther);
#endif
}

// The temporary database of an export, beside the database it will replace:
// a name no user chooses, held (flock) by its export while it runs.
const QLatin1String temporaryInfix(".brindle-export-");
const QLatin1String temporarySuffix(".tmp");

bool holdTemporary(QFile &file)
{
#ifdef Q_OS_UNIX
    return ::flock(file.handle(), LOCK_EX | LOCK_NB) == 0;
#else
    Q_UNUSED(file)
    return true;
#endif
}

// Removes the temporary databases that killed exports to this database left
// behind, and nothing else: a file of that name whose content is an export
// database (or nothing: killed before it wrote any) and that no running
// export holds.
void removeAbandonedTemporaries(const QString &database)
{
    const QFileInfo info(database);
    const QRegularExpression ours(QLatin1Char('^') +
                                  QRegularExpression::escape(info.fileName() + temporaryInfix) +
                                  QStringLiteral("[A-Za-z0-9]{6}") +
                                  QRegularExpression::escape(temporarySuffix) + QLatin1Char('$'));
    const QDir folder = info.dir();
    for (const QString &name : folder.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        if (!ours.match(name).hasMatch())
            continue;
        const QString path = folder.filePath(name);
        const QFileInfo candidate(path);
        QFile file(path);
        // Ours are regular files; opening a FIFO would block.
        if (candidate.isSymLink() || !candidate.isFile() || !file.open(QIODevice::ReadOnly) ||
            !holdTemporary(file))
            continue;
        if (file.size() != 0 && !hasExportDatabaseHeader(file.read(100)))
            continue;
        QFile::remove(path);
    }
}

// The lock file of an export database, taken before anything else and held
// to the end, its modification time refreshed while it is held.
class ExportLock
{
public:
    explicit ExportLock(const QString &path)
        : lock(path)
        , path(path)
    {
        lock.setStaleLockTime(exportLockStaleMs);
    }
    ~ExportLock()
    {
        if (!refresher)
            return;
        {
            QMutexLocker locker(&mutex);
            stopping = true;
            stop.wakeAll();
        }
        refresher->wait();
    }

    // False, with a message, when another export holds it or it cannot be
    // made.
    bool tryLock(QString *error)
    {
        // A lock of ours is a regular file; reading anything else to see whose
        // lock it is could block (a FIFO) or mislead.
        const QFileInfo existing(path);
        if ((existing.exists() || existing.isSymLink()) &&
            (existing.isSymLink() || !existing.isFile())) {
            *error = QStringLiteral("%1 beside it is not a lock file of an export: remove it, "
                                    "then export again.")
                         .arg(existing.fileName());
            return false;
        }
        if (!lock.tryLock(0)) {
            *error = lock.error() == QLockFile::LockFailedError
                         ? QStringLiteral("Another export to this database is running.")
                     : lock.error() == QLockFile::PermissionError
                         ? QStringLiteral("Couldn't create the lock file beside it: the folder "
                                          "is not writable.")
                         : QStringLiteral("Couldn't create the lock file beside it.");
            return false;
        }
        refresher.reset(QThread::create([this] { refresh(); }));
        refresher->start();
        return true;
    }

private:
    void refresh()
    {
        QMutexLocker locker(&mutex);
        while (!stopping) {
            if (!stop.wait(&mutex, exportLockRefreshMs) && !stopping) {
#ifdef Q_OS_UNIX
                ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), nullptr, 0);
#endif
            }
        }
    }

    QLockFile lock;
    const QString path;
    QMutex mutex;
    QWaitCondition stop;
    bool stopping = false;
    std::unique_ptr<QThread> refresher;
};

// What an export does with each file it counts: keep its stored rows, read it
// (under its old id, or a new one), or read it to see whether its refusal
// still stands. Then, which rows it drops first.
struct ExportPlan
{
    enum Action { Keep, Read, Retry };
    QVector<FoundFile> files; // those found, and those read again for a new version
    QVector<Action> actions;
    QVector<qint64> ids;
    QVector<const StoredFile *> stored; // null for a new file or version
    QVector<qint64> toRemove;
    int removed = 0;
};

// Whether the file at path, under the named path root and not found by the
// walk, is verifiably gone: nothing between it and root failed to be read,
// and the folder that held it was read to its end or it is found missing.
bool isGone(const QString &path, const QString &root, const QueryFileWalk &walk)
{
    for (QString folder = path;; folder = parentFolder(folder)) {
        if (walk.unreadableFolders.contains(folder))
            return false;
        if (folder.size() <= root.size())
            break;
    }
    if (walk.listedFolders.contains(parentFolder(path)))
        return true;
#ifdef Q_OS_UNIX
    struct stat status;
    return ::lstat(QFile::encodeName(path).constData(), &status) != 0 &&
           (errno == ENOENT || errno == ENOTDIR);
#else
    return !QFileInfo(path).exists() && !QFileInfo(path).isSymLink();
#endif
}

// The named path that decides about a stored file: the first existing one
// that holds it, else the first missing one; -1 for none.
int namedPathOf(const QString &path, const QVector<QueryFileWalk::Named> &named)
{
    int missing = -1;
    for (int i = 0; i < named.size(); ++i) {
        if (!isUnder(path, named.at(i).path))
            continue;
        if (named.at(i).exists)
            return i;
        if (missing < 0)
            missing = i;
    }
    return missing;
}

FoundFile examinedFile(const QString &path)
{
    const QFileInfo info(path);
    const QDateTime modified = info.lastModified();
    return {path, info.size(), modified.isValid() ? modified.toMSecsSinceEpoch() : 0};
}

// Plans an export of what walk found into a database that held previous
// (fresh: one that is built anew). False, with a message, when a named path
// is missing, or a named folder holds no query file any more, while the
// database holds files from it, unless prune.
bool planExport(const QueryFileWalk &walk, const PreviousExport &previous, bool fresh, bool prune,
                ExportPlan *plan, QString *error)
{
    QSet<QString> found;
    for (const FoundFile &file : walk.files)
        found.insert(file.path);
    QVector<int> held(walk.named.size(), 0);
    QVector<int> gone(walk.named.size(), 0);
    QVector<FoundFile> again;
    for (auto it = previous.files.cbegin(); it != previous.files.cend(); ++it) {
        if (found.contains(it.key()))
            continue;
        const int named = namedPathOf(it.key(), walk.named);
        const bool missing = named >= 0 && !walk.named.at(named).exists;
        if (named >= 0)
            ++held[named];
        if (named >= 0 && (missing ? prune : isGone(it.key(), walk.named.at(named).path, walk))) {
            ++gone[named];
            ++plan->removed;
            if (!fresh)
                plan->toRemove.append(it->id);
        } else if (fresh) {
            // Kept, so read again by this version.
            again.append(examinedFile(it.key()));
        }
    }
    for (int i = 0; i < walk.named.size(); ++i) {
        const QueryFileWalk::Named &named = walk.named.at(i);
        const QString rows = QStringLiteral(" the database holds %1 files from it. Nothing was "
                                            "changed; --prune removes their rows.")
                                 .arg(held.at(i));
        if (!named.exists) {
            *error = named.path + QStringLiteral(": No such file or folder");
            *error += held.at(i) == 0 ? QStringLiteral(".")
                      : prune         ? QString()
                                      : QLatin1String(", and") + rows;
            if (held.at(i) == 0 || !prune)
                return false;
        } else if (named.folder && named.found == 0 && gone.at(i) > 0 && !prune) {
            *error = named.path +
                     QStringLiteral(": No query file is found in the folder (is it a share that "
                                    "is not mounted?), but") +
                     rows;
            return false;
        }
    }

    plan->files = walk.files + again;
    std::sort(plan->files.begin(), plan->files.end(),
              [](const FoundFile &a, const FoundFile &b) { return a.path < b.path; });
    qint64 nextId = fresh ? 0 : previous.largestId;
    for (const FoundFile &file : qAsConst(plan->files)) {
        const auto stored = fresh ? previous.files.cend() : previous.files.constFind(file.path);
        if (stored == previous.files.cend()) {
            plan->actions.append(ExportPlan::Read);
            plan->ids.append(++nextId);
            plan->stored.append(nullptr);
            continue;
        }
        plan->ids.append(stored->id);
        plan->stored.append(&*stored);
        if (stored->size != file.size || stored->modifiedMs != file.modifiedMs) {
            plan->actions.append(ExportPlan::Read);
            plan->toRemove.append(stored->id);
        } else {
            plan->actions.append(stored->refusal.isNull() ? ExportPlan::Keep : ExportPlan::Retry);
        }
    }
    return true;
}

// Reads again the files refused before and unchanged since: a refusal for a
// passing reason (permissions, a file still being copied) must not stand.
// One refused again for the same reason keeps its rows; any other is read.
void retryRefusals(ExportPlan *plan, int threads)
{
    QVector<FoundFile> retried;
    for (int i = 0; i < plan->files.size(); ++i) {
        if (plan->actions.at(i) == ExportPlan::Retry)
            retried.append(plan->files.at(i));
    }
    OrderedReader<QString> reader(
        retried, threads, [](const FoundFile &file) { return recordOf(file).refusal; },
        [](const FoundFile &, const QString &reason) { return reason; });
    for (int i = 0; i < plan->files.size(); ++i) {
        if (plan->actions.at(i) != ExportPlan::Retry)
            continue;
        if (reader.next() == plan->stored.at(i)->refusal) {
            plan->actions[i] = ExportPlan::Keep;
        } else {
            plan->actions[i] = ExportPlan::Read;
            plan->toRemove.append(plan->ids.at(i));
        }
    }
}

// The ignore rules of an export: those the database holds, with the ones
// named added and taken away. False, with a message, for an empty rule, one
// of wildcards alone with a "*" (every key volatile: no change would ever be
// kept) and one taken away that is not held.
bool ignoreRulesFor(const QStringList &held, const ExportOptions &options, IgnoreRules *rules,
                    QString *error)
{
    QStringList globs = held + options.ignore;
    for (const QString &glob : options.ignore) {
        if (glob.isEmpty()) {
            *error = QStringLiteral("An ignore rule cannot be empty.");
            return false;
        }
        if (glob.contains(QLatin1Char('*')) && std::all_of(glob.cbegin(), glob.cend(), [](QChar c) {
                return c == QLatin1Char('*') || c == QLatin1Char('?');
            })) {
            *error = QStringLiteral("The ignore rule %1 is of wildcards alone: it matches every "
                                    "key, and no printer's change would be kept.")
                         .arg(glob);
            return false;
        }
    }
    for (const QString &glob : options.unignore) {
        if (!globs.contains(glob)) {
            *error = QStringLiteral("It holds no ignore rule %1 to take away (it holds: %2).")
                         .arg(glob, held.isEmpty()
                                        ? QStringLiteral("none")
                                        : IgnoreRules(held).globs().join(QLatin1String(", ")));
            return false;
        }
        globs.removeAll(glob);
    }
    *rules = IgnoreRules(globs);
    return true;
}

// A file read for the database, and the fingerprints of its printer's state.
struct ReadRecord
{
    QueryRecord record;
    StateDigest digest;
};

ExportResult exportToSqliteUnguarded(const QString &databasePath, const ExportOptions &options)
{
    const QString name = databasePath + QStringLiteral(": ");
    const QString database = resolvedDatabasePath(databasePath);
    DatabaseFile file;
    QString error;
    if (!examineDatabase(database, &file, &error))
        return failure(name + error);
    ExportLock lock(database + QStringLiteral(".lock"));
    if (!lock.tryLock(&error))
        return failure(name + error);
    removeAbandonedTemporaries(database);

    PreviousExport previous;
    PreviousDatabase source;
    if (file.exists && !source.open(database, &previous, &error))
        return failure(name + error);
    IgnoreRules rules;
    if (!ignoreRulesFor(previous.ignoreRules, options, &rules, &error))
        return failure(name + error + QStringLiteral(" Nothing was changed."));
    // Another version stores the files' rows anew, and keeps the history.
    const bool rebuild = file.exists && previous.programVersion != options.programVersion;
    const bool fresh = !file.exists || rebuild;
    const bool upgrade = file.exists && previous.schemaVersion < exportSchemaVersion;
    const bool rulesChanged = rules != IgnoreRules(previous.ignoreRules);

    const QueryFileWalk walk = findQueryFiles(options.paths, options.unreadable);
    ExportPlan plan;
    if (!planExport(walk, previous, fresh, options.prune, &plan, &error))
        return failure(error);
    const int threads = threadCount(options);
    retryRefusals(&plan, threads);
    // A file kept unchanged shows the state its printer was last seen in only
    // under the rules it was judged by.
    for (int i = 0; rulesChanged && i < plan.files.size(); ++i) {
        if (plan.actions.at(i) == ExportPlan::Keep) {
            plan.actions[i] = ExportPlan::Read;
            plan.toRemove.append(plan.ids.at(i));
        }
    }

    ExportResult result;
    result.summary.files = plan.files.size();
    result.summary.removed = plan.removed;
    result.summary.unreadable = walk.unreadable;
    QVector<FoundFile> toRead;
    for (int i = 0; i < plan.files.size(); ++i) {
        if (plan.actions.at(i) == ExportPlan::Read)
            toRead.append(plan.files.at(i));
    }
    const bool written =
        fresh || upgrade || rulesChanged || !toRead.isEmpty() || !plan.toRemove.isEmpty();

    // The new database is built beside the old one, so that the final rename
    // stays on one file system.
    QTemporaryFile temporary(database + temporaryInfix + QStringLiteral("XXXXXX") +
                             temporarySuffix);
    FleetDatabase db;
    if (written) {
        if (!temporary.open() || !holdTemporary(temporary))
            return failure(name + QStringLiteral("Couldn't write a new database beside it: ") +
                           temporary.errorString());
        if (!db.open(temporary.fileName(), file.exists ? &source : nullptr, rebuild, rules))
            return failure(name + db.errorText());
        if (!plan.toRemove.isEmpty() && !db.remove(plan.toRemove))
            return failure(name + db.errorText());
    }
    source.close();

    ExportProgress progress;
    progress.total = plan.files.size();
    OrderedReader<ReadRecord> reader(
        toRead, threads,
        [&rules](const FoundFile &found) {
            ReadRecord read{recordOf(found), {}};
            if (read.record.comparable())
                read.digest = stateDigest(read.record.current, read.record.factory, rules);
            return read;
        },
        [](const FoundFile &found, const QString &reason) {
            return ReadRecord{refusedRecord(found, reason), {}};
        });
    for (int i = 0; i < plan.files.size(); ++i) {
        const FoundFile &found = plan.files.at(i);
        if (plan.actions.at(i) == ExportPlan::Keep) {
            if (written)
                db.offerUnchanged(found.path, found.modifiedMs);
            account(options, &result.summary, &progress, found.path, plan.stored.at(i)->refusal,
                    true);
            continue;
        }
        const ReadRecord read = reader.next();
        if (!db.insert(plan.ids.at(i), read.record) || !db.offerState(read.record, read.digest))
            return failure(name + db.errorText());
        account(options, &result.summary, &progress, read.record.path, read.record.refusal, false);
    }
    if (!written)
        return result;

    HistorySummary history;
    if (!db.commit(options.programVersion, &history))
        return failure(name + db.errorText());
    setDatabaseMode(temporary.fileName(), file);
    if (!syncFile(temporary.fileName()))
        return failure(name + QStringLiteral("Couldn't write the new database to disk."));
    // Checked before the hold too, so that a file put in its place is not
    // even opened for writing.
    const QString replaced = QStringLiteral("Another program put a file at its path while the "
                                            "export ran; it is left as it is.");
    DatabaseHold hold;
    if (!isSameDatabaseFile(database, file))
        return failure(name + replaced);
    if (file.exists && !hold.hold(database, &error))
        return failure(name + error);
    if (!isSameDatabaseFile(database, file))
        return failure(name + replaced);
    if (!replaceFile(temporary.fileName(), database))
        return failure(name + QStringLiteral("Couldn't put the new database in place."));
    temporary.setAutoRemove(false);
    result.summary.newStates = history.newStates;
    result.summary.upgradedPrinters = history.upgradedPrinters;
    for (const SharedSerial &shared : qAsConst(history.sharedSerials)) {
        if (options.sharedSerial)
            options.sharedSerial(shared);
    }
    return result;
}

ExportResult exportToJsonLinesUnguarded(QIODevice *out, const ExportOptions &options)
{
    const QueryFileWalk walk = findQueryFiles(options.paths, options.unreadable);
    for (const QueryFileWalk::Named &named : walk.named) {
        if (!named.exists)
            return failure(named.path + QStringLiteral(": No such file or folder."));
    }
    ExportResult result;
    result.summary.files = walk.files.size();
    result.summary.unreadable = walk.unreadable;
    ExportProgress progress;
    progress.total = walk.files.size();
    OrderedReader<JsonLine> reader(
        walk.files, threadCount(options),
        [](const FoundFile &file) { return jsonLineOf(recordOf(file)); },
        [](const FoundFile &file, const QString &reason) {
            return jsonLineOf(refusedRecord(file, reason));
        });
    for (int i = 0; i < walk.files.size(); ++i) {
        const JsonLine json = reader.next();
        if (out->write(json.line) != json.line.size())
            return failure(QStringLiteral("Couldn't write to standard output."));
        account(options, &result.summary, &progress, json.path, json.refusal, false);
    }
    return result;
}

} // namespace

QueryFileWalk findQueryFiles(const QStringList &paths, const UnreadableCallback &unreadable)
{
    QueryFileWalk walk;
    Walker walker(&walk, unreadable);
    for (const QString &path : paths)
        walker.walkNamed(path);
    const auto byPath = [](const FoundFile &a, const FoundFile &b) {
        return a.path < b.path;
    };
    std::sort(walk.files.begin(), walk.files.end(), byPath);
    walk.files.erase(
        std::unique(walk.files.begin(), walk.files.end(),
                    [](const FoundFile &a, const FoundFile &b) { return a.path == b.path; }),
        walk.files.end());
    return walk;
}

QByteArray queryRecordJson(const QueryRecord &record)
{
    // Written directly, fields in the order of the database's columns: a
    // document object would sort them by name, and costs more than the reading.
    const auto flag = [](bool on) {
        return on ? QByteArray("true") : QByteArray("false");
    };
    const auto stringOrNull = [](QByteArray &out, const QString &text) {
        if (text.isNull())
            out += "null";
        else
            appendJsonString(out, text);
    };
    QByteArray json = "{\"path\":";
    appendJsonString(json, record.path);
    json += ",\"size\":" + QByteArray::number(record.size) +
            ",\"modified_ms\":" + QByteArray::number(record.modifiedMs) + ",\"serial\":";
    appendJsonString(json, record.serial);
    json += ",\"model\":";
    stringOrNull(json, record.model);
    json += ",\"was_read\":" + flag(record.wasRead()) + ",\"refusal\":";
    stringOrNull(json, record.refusal);
    json += ",\"has_current\":" + flag(record.hasCurrent()) +
            ",\"has_factory\":" + flag(record.hasFactory()) + ",\"difference_count\":";
    if (record.comparable()) {
        json += QByteArray::number(record.differences.size()) + ",\"differences\":[";
        for (int i = 0; i < record.differences.size(); ++i) {
            if (i > 0)
                json += ',';
            appendDifferenceJson(json, record.differences.at(i), QLatin1String("factory"),
                                 QLatin1String("current"));
        }
        json += ']';
    } else {
        json += "null,\"differences\":null";
    }
    json += ",\"current\":";
    appendSettingsJson(json, record.current);
    json += ",\"factory\":";
    appendSettingsJson(json, record.factory);
    return json + "}\n";
}

ExportResult exportToSqlite(const QString &databasePath, const ExportOptions &options)
{
    // Everything the export holds (its lock, its temporary file) is released
    // on the way out.
    try {
        return exportToSqliteUnguarded(databasePath, options);
    } catch (const std::bad_alloc &) {
        return failure(databasePath +
                       QStringLiteral(": There is not enough memory for the export."));
    }
}

ExportResult exportToJsonLines(QIODevice *out, const ExportOptions &options)
{
    try {
        return exportToJsonLinesUnguarded(out, options);
    } catch (const std::bad_alloc &) {
        return failure(QStringLiteral("There is not enough memory for the export."));
    }
}
