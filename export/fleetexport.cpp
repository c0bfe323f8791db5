#include "export/fleetexport.h"

#include "export/fleetdatabase.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QHash>
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

// A file's record, with the size and modification time found before reading.
QueryRecord recordOf(const FoundFile &file)
{
    QueryRecord record = readQueryRecord(file.path);
    record.size = file.size;
    record.modifiedMs = file.modifiedMs;
    return record;
}

// Reads files on a pool of threads and hands what read gives for each back in
// the order of the list. At most a few results per thread wait to be taken, so
// memory is bounded by the thread count and the largest file, not by the
// number of files.
template<typename Result> class OrderedReader
{
public:
    OrderedReader(const QVector<FoundFile> &files, int threads,
                  std::function<Result(const FoundFile &)> read)
        : files(files)
        , window(2 * threads)
        , read(std::move(read))
    {
        pool.setMaxThreadCount(threads);
    }
    ~OrderedReader()
    {
        stopping = true;
        pool.waitForDone();
    }

    Result next()
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
            Result result = stopping ? Result() : read(files.at(index));
            QMutexLocker locker(&mutex);
            done.insert(index, std::move(result));
            ready.wakeAll();
        });
    }

    const QVector<FoundFile> &files;
    const int window;
    const std::function<Result(const FoundFile &)> read;
    int submitted = 0;
    int taken = 0;
    std::atomic<bool> stopping{false};
    QMutex mutex;
    QWaitCondition ready;
    QHash<int, Result> done;
    QThreadPool pool;
};

// A file's JSON Lines form, made on a reading thread.
struct JsonLine
{
    QString path;
    QString refusal;
    QByteArray line;
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

// A JSON string: quotes, backslashes and control characters escaped, the
// rest as UTF-8.
void appendJson(QByteArray &out, const QString &text)
{
    out += '"';
    int from = 0;
    for (int i = 0; i < text.size(); ++i) {
        const ushort c = text.at(i).unicode();
        if (c >= 0x20 && c != '"' && c != '\\')
            continue;
        out += text.midRef(from, i - from).toUtf8();
        out += c == '"'    ? QByteArray("\\\"")
               : c == '\\' ? QByteArray("\\\\")
                           : QByteArray("\\u00") + QByteArray::number(c, 16).rightJustified(2, '0');
        from = i + 1;
    }
    out += text.midRef(from).toUtf8();
    out += '"';
}

void appendJsonOrNull(QByteArray &out, const QString &text)
{
    if (text.isNull())
        out += "null";
    else
        appendJson(out, text);
}

void appendJsonList(QByteArray &out, const QStringList &values)
{
    out += '[';
    for (int i = 0; i < values.size(); ++i) {
        if (i > 0)
            out += ',';
        appendJson(out, values.at(i));
    }
    out += ']';
}

void appendSettingsJson(QByteArray &out, const QVector<SettingEntry> &settings)
{
    out += '[';
    for (int i = 0; i < settings.size(); ++i) {
        const SettingEntry &setting = settings.at(i);
        out += i > 0 ? ",{\"key\":" : "{\"key\":";
        appendJson(out, setting.key);
        out += ",\"value\":";
        appendJson(out, setting.value);
        out += ",\"group\":\"" + settingGroupName(setting.group).toLatin1() + "\"}";
    }
    out += ']';
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
    // Written directly, fields in the order of the database's columns: a
    // document object would sort them by name, and costs more than the reading.
    const auto flag = [](bool on) {
        return on ? QByteArray("true") : QByteArray("false");
    };
    QByteArray json = "{\"path\":";
    appendJson(json, record.path);
    json += ",\"size\":" + QByteArray::number(record.size) +
            ",\"modified_ms\":" + QByteArray::number(record.modifiedMs) + ",\"serial\":";
    appendJson(json, record.serial);
    json += ",\"model\":";
    appendJsonOrNull(json, record.model);
    json += ",\"was_read\":" + flag(record.wasRead()) + ",\"refusal\":";
    appendJsonOrNull(json, record.refusal);
    json += ",\"has_current\":" + flag(record.hasCurrent()) +
            ",\"has_factory\":" + flag(record.hasFactory()) + ",\"difference_count\":";
    if (record.comparable()) {
        // The objects of `brindle-query diff --json`.
        json += QByteArray::number(record.differences.size()) + ",\"differences\":[";
        for (int i = 0; i < record.differences.size(); ++i) {
            const SettingDifference &difference = record.differences.at(i);
            json += i > 0 ? ",{\"key\":" : "{\"key\":";
            appendJson(json, difference.key);
            json +=
                ",\"group\":\"" + settingGroupName(difference.group).toLatin1() + "\",\"factory\":";
            appendJsonList(json, difference.left);
            json += ",\"current\":";
            appendJsonList(json, difference.right);
            json += '}';
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

ExportResult exportToJsonLines(const QVector<FoundFile> &files, QIODevice *out,
                               const ExportOptions &options)
{
    ExportResult result;
    ExportProgress progress;
    progress.total = files.size();
    OrderedReader<JsonLine> reader(files, threadCount(options), [](const FoundFile &file) {
        const QueryRecord record = recordOf(file);
        return JsonLine{record.path, record.refusal, queryRecordJson(record)};
    });
    for (int i = 0; i < files.size(); ++i) {
        const JsonLine json = reader.next();
        if (out->write(json.line) != json.line.size())
            return failure(QStringLiteral("Couldn't write to standard output."));
        account(options, &result.summary, &progress, json.path, json.refusal, false);
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
    OrderedReader<QueryRecord> reader(toRead, threadCount(options), recordOf);
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
