#include "export/fleetexport.h"

#include "export/fleetdatabase.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QMutex>
#include <QSet>
#include <QTemporaryFile>
#include <QThread>
#include <QThreadPool>
#include <QWaitCondition>

#include <algorithm>
#include <atomic>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

FoundFile foundFile(const QFileInfo &info)
{
    const QDateTime modified = info.lastModified();
    return {QDir::cleanPath(info.absoluteFilePath()), info.size(),
            modified.isValid() ? modified.toMSecsSinceEpoch() : 0};
}

bool isQueryFileName(const QString &name)
{
    return name.endsWith(QLatin1String(".zip")) || name.endsWith(QLatin1String(".txt"));
}

// Reads files on a pool of threads and hands the records back in the order of
// the list. At most a few records per thread wait to be taken, so memory is
// bounded by the thread count and the largest file, not by the number of files.
class OrderedReader
{
public:
    OrderedReader(const QVector<FoundFile> &files, int threads)
        : files(files)
        , window(2 * threads)
    {
        pool.setMaxThreadCount(threads);
    }
    ~OrderedReader()
    {
        stopping = true;
        pool.waitForDone();
    }

    QueryRecord next()
    {
        while (submitted < files.size() && submitted - taken < window)
            submit(submitted++);
        QMutexLocker locker(&mutex);
        while (!done.contains(taken))
            ready.wait(&mutex);
        return done.take(taken++);
    }

private:
    void submit(int index)
    {
        pool.start([this, index] {
            QueryRecord record;
            if (!stopping) {
                const FoundFile &file = files.at(index);
                record = readQueryRecord(file.path);
                record.size = file.size;
                record.modifiedMs = file.modifiedMs;
            }
            QMutexLocker locker(&mutex);
            done.insert(index, std::move(record));
            ready.wakeAll();
        });
    }

    const QVector<FoundFile> &files;
    const int window;
    int submitted = 0;
    int taken = 0;
    std::atomic<bool> stopping{false};
    QMutex mutex;
    QWaitCondition ready;
    QHash<int, QueryRecord> done;
    QThreadPool pool;
};

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

QJsonArray settingsJson(const QVector<QuerySetting> &settings)
{
    QJsonArray list;
    for (const QuerySetting &setting : settings) {
        list.append(QJsonObject{{QStringLiteral("key"), setting.key},
                                {QStringLiteral("value"), setting.value},
                                {QStringLiteral("group"), settingGroupName(setting.group)}});
    }
    return list;
}

QJsonValue nullable(const QString &text)
{
    return text.isNull() ? QJsonValue() : QJsonValue(text);
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

// Temporary databases of exports that were killed: nobody else writes them
// while the lock is held.
void removeAbandonedTemporaries(const QString &databasePath)
{
    const QFileInfo database(databasePath);
    const QString prefix = database.fileName() + QLatin1String(".export-");
    const QDir folder = database.dir();
    for (const QString &name : folder.entryList(QDir::Files | QDir::Hidden)) {
        if (name.startsWith(prefix))
            QFile::remove(folder.filePath(name));
    }
}

bool copyInto(const QString &from, QFile *to)
{
    QFile source(from);
    if (!source.open(QIODevice::ReadOnly))
        return false;
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (;;) {
        const qint64 got = source.read(block.data(), block.size());
        if (got < 0)
            return false;
        if (got == 0)
            return to->flush();
        if (to->write(block.constData(), got) != got)
            return false;
    }
}

// What an export does with each file: read it (under ids, an old id for a
// changed file, a new one otherwise) or keep its stored rows; and the rows of
// which files it drops first.
struct ExportPlan
{
    QVector<FoundFile> toRead;
    QVector<qint64> ids;
    QVector<const StoredFile *> kept; // per file, null unless kept
    QVector<qint64> toRemove;
    int removed = 0; // files of the previous export that are gone
};

ExportPlan planExport(const QVector<FoundFile> &files, const PreviousExport &previous, bool fresh)
{
    ExportPlan plan;
    plan.kept.fill(nullptr, files.size());
    QSet<QString> found;
    qint64 nextId = fresh ? 0 : previous.largestId;
    for (int i = 0; i < files.size(); ++i) {
        const FoundFile &file = files.at(i);
        found.insert(file.path);
        const auto stored = previous.files.constFind(file.path);
        if (fresh || stored == previous.files.cend()) {
            plan.toRead.append(file);
            plan.ids.append(++nextId);
        } else if (stored->size != file.size || stored->modifiedMs != file.modifiedMs) {
            plan.toRead.append(file);
            plan.ids.append(stored->id);
            plan.toRemove.append(stored->id);
        } else {
            plan.kept[i] = &*stored;
        }
    }
    for (auto it = previous.files.cbegin(); it != previous.files.cend(); ++it) {
        if (!found.contains(it.key())) {
            ++plan.removed;
            if (!fresh)
                plan.toRemove.append(it->id);
        }
    }
    return plan;
}

ExportResult failure(const QString &error)
{
    ExportResult result;
    result.failed = true;
    result.error = error;
    return result;
}

} // namespace

bool findQueryFiles(const QStringList &paths, QVector<FoundFile> *files, QString *error)
{
    files->clear();
    for (const QString &path : paths) {
        const QFileInfo info(path);
        if (info.isDir()) {
            QDirIterator it(info.absoluteFilePath(),
                            QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                            QDirIterator::Subdirectories);
            while (it.hasNext()) {
                it.next();
                if (isQueryFileName(it.fileName()))
                    files->append(foundFile(it.fileInfo()));
            }
        } else if (info.exists() || info.isSymLink()) {
            files->append(foundFile(info));
        } else {
            *error = path + QStringLiteral(": No such file or folder.");
            return false;
        }
    }
    const auto byPath = [](const FoundFile &a, const FoundFile &b) {
        return a.path < b.path;
    };
    std::sort(files->begin(), files->end(), byPath);
    files->erase(
        std::unique(files->begin(), files->end(),
                    [](const FoundFile &a, const FoundFile &b) { return a.path == b.path; }),
        files->end());
    return true;
}

QByteArray queryRecordJson(const QueryRecord &record)
{
    // Fields in the order of the database's columns, which QJsonObject would
    // sort by name.
    QByteArray json = "{";
    const auto field = [&json](const char *name, const QJsonValue &value) {
        const QByteArray wrapped = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
        if (json.size() > 1)
            json += ',';
        json += '"' + QByteArray(name) + "\":" + wrapped.mid(1, wrapped.size() - 2);
    };
    field("path", record.path);
    field("size", record.size);
    field("modified_ms", record.modifiedMs);
    field("serial", record.serial);
    field("model", nullable(record.model));
    field("was_read", record.wasRead());
    field("refusal", nullable(record.refusal));
    field("has_current", record.hasCurrent);
    field("has_factory", record.hasFactory);
    if (record.comparable()) {
        field("difference_count", record.differences.size());
        // The same objects as `brindle-query diff --json` lists.
        const QByteArray differences = settingDifferencesJson(
            record.differences, QStringLiteral("factory"), QStringLiteral("current"));
        field("differences",
              QJsonDocument::fromJson(differences).object().value(QStringLiteral("differences")));
    } else {
        field("difference_count", QJsonValue());
        field("differences", QJsonValue());
    }
    field("current", settingsJson(record.current));
    field("factory", settingsJson(record.factory));
    return json + "}\n";
}

ExportResult exportToJsonLines(const QVector<FoundFile> &files, QIODevice *out,
                               const ExportOptions &options)
{
    ExportResult result;
    ExportProgress progress;
    progress.total = files.size();
    OrderedReader reader(files, threadCount(options));
    for (int i = 0; i < files.size(); ++i) {
        const QueryRecord record = reader.next();
        const QByteArray line = queryRecordJson(record);
        if (out->write(line) != line.size())
            return failure(QStringLiteral("Couldn't write to standard output."));
        account(options, &result.summary, &progress, record.path, record.refusal, false);
    }
    return result;
}

ExportResult exportToSqlite(const QVector<FoundFile> &files, const QString &databasePath,
                            const ExportOptions &options)
{
    // A link is replaced where it points, so that it keeps pointing at the
    // export.
    const QFileInfo given(databasePath);
    const QString database =
        given.isSymLink() && given.exists() ? given.canonicalFilePath() : given.absoluteFilePath();
    const QString name = databasePath + QStringLiteral(": ");
    QLockFile lock(database + QStringLiteral(".lock"));
    // Only an export that no longer runs leaves a stale lock; however long one
    // takes, its lock holds.
    lock.setStaleLockTime(0);
    if (!lock.tryLock(0)) {
        return failure(name + (lock.error() == QLockFile::LockFailedError
                                   ? QStringLiteral("Another export to this database is running.")
                                   : QStringLiteral("Couldn't create the lock file beside it.")));
    }
    removeAbandonedTemporaries(database);

    PreviousExport previous;
    const QFileInfo existing(database);
    QString error;
    if (existing.exists() && !readPreviousExport(database, &previous, &error))
        return failure(name + error);
    const bool fresh = !existing.exists() || previous.programVersion != options.programVersion;

    ExportResult result;
    const ExportPlan plan = planExport(files, previous, fresh);
    result.summary.removed = plan.removed;
    const QVector<FoundFile> &toRead = plan.toRead;
    const QVector<qint64> &toRemove = plan.toRemove;

    // The new database is built beside the old one, so that the final rename
    // stays on one file system.
    QTemporaryFile temporary(database + QStringLiteral(".export-XXXXXX"));
    const bool written = fresh || !toRead.isEmpty() || !toRemove.isEmpty();
    if (written) {
        if (!temporary.open() || (!fresh && !copyInto(database, &temporary)))
            return failure(name + QStringLiteral("Couldn't write a new database beside it: ") +
                           temporary.errorString());
        temporary.close();
    }
    FleetDatabase db;
    if (written && !db.open(temporary.fileName(), fresh))
        return failure(name + db.errorText());
    if (!toRemove.isEmpty() && !db.remove(toRemove))
        return failure(name + db.errorText());

    ExportProgress progress;
    progress.total = files.size();
    OrderedReader reader(toRead, threadCount(options));
    int readIndex = 0;
    for (int i = 0; i < files.size(); ++i) {
        if (const StoredFile *kept = plan.kept.at(i)) {
            account(options, &result.summary, &progress, files.at(i).path, kept->refusal, true);
            continue;
        }
        const QueryRecord record = reader.next();
        if (!db.insert(plan.ids.at(readIndex++), record))
            return failure(name + db.errorText());
        account(options, &result.summary, &progress, record.path, record.refusal, false);
    }
    if (!written)
        return result;

    if (!db.commit(options.programVersion))
        return failure(name + db.errorText());
    const QFile::Permissions permissions =
        existing.exists()
            ? existing.permissions()
            : QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    QFile::setPermissions(temporary.fileName(), permissions);
    if (!syncFile(temporary.fileName()) || !replaceFile(temporary.fileName(), database))
        return failure(name + QStringLiteral("Couldn't put the new database in place."));
    temporary.setAutoRemove(false);
    return result;
}
