// brindle-bench: times reading and assembling large query files.
//
//   brindle-bench generate DIR [LOG_MB...]     writes DIR/query-<LOG_MB>mb.zip (default 50 and 200)
//   brindle-bench report [--runs N] FILE...    medians of every measurement below, each run in
//                                              its own child process
//   brindle-bench inflate FILE                 bare zlib inflate of the query entry
//   brindle-bench pipeline FILE                read, settings decode and document assembly
//   brindle-bench baseline                     the process alone, for its memory
//   brindle-bench pattern                      settings lines built to make matching backtrack
//   brindle-bench fleet DIR COUNT [SETTINGS [LOG_MB]]
//                                              COUNT query archives of distinct serials, like
//                                              the bundled sample or with SETTINGS per section
//                                              (and a log of LOG_MB megabytes)
//   brindle-bench week DIR COUNT SETTINGS WEEK  the same fleet's reports of week WEEK (from 0):
//                                              every counter moved, and 1 % of the printers
//                                              with a setting changed each week
//
// Measurements print "name value" lines: seconds for phases, "peak_kb" for
// the process's peak resident memory and "entry_bytes" for the entry's size.
#include "query/querydocument.h"
#include "query/queryreader.h"
#include "queryfixture.h"
#include "samplequery.h"
#include "settings/settingsdecoder.h"
#include "testfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTextStream>
#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipfileinfo.h>
#include <zlib.h>

#include <algorithm>

namespace {

QTextStream out(stdout);
QTextStream err(stderr);

double seconds(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e9;
}

void print(const char *name, double value)
{
    out << name << ' ' << QString::number(value, 'f', 6) << '\n';
}

int generate(const QStringList &arguments)
{
    if (arguments.isEmpty()) {
        err << "usage: brindle-bench generate DIR [LOG_MB...]\n";
        return 2;
    }
    const QDir dir(arguments.first());
    if (!QDir().mkpath(dir.path()))
        return 1;
    QStringList sizes = arguments.mid(1);
    if (sizes.isEmpty())
        sizes = QStringList{QStringLiteral("50"), QStringLiteral("200")};
    for (const QString &size : sizes) {
        SampleQueryOptions options;
        options.settingsPerSection = 3000;
        options.logBytes = size.toLongLong() * 1000 * 1000;
        const QString path = dir.filePath(QStringLiteral("query-%1mb.zip").arg(size));
        if (!writeZip(path, {{QStringLiteral("query.txt"), buildSampleQuery(options)}})) {
            err << "cannot write " << path << '\n';
            return 1;
        }
        out << path << '\n';
    }
    return 0;
}

// One printer's query archive of a fleet, named after its serial.
bool writeFleetArchive(const QString &dir, int printer, SampleQueryOptions options)
{
    options.serial = QStringLiteral("BQ%1").arg(printer + 1, 10, 10, QLatin1Char('0'));
    const QString path = QStringLiteral("%1/%2.zip").arg(dir, options.serial);
    if (QDir().mkpath(dir) &&
        writeZip(path, {{QStringLiteral("query/") + options.serial + QStringLiteral(".txt"),
                         buildSampleQuery(options)}}))
        return true;
    err << "cannot write " << path << '\n';
    return false;
}

SampleQueryOptions fleetOptions(int settings, qint64 logBytes)
{
    SampleQueryOptions options;
    options.settingsPerSection = settings;
    options.logBytes = logBytes >= 0 ? logBytes : settings >= 400 ? 96 * 1024 : 2 * 1024;
    options.changedSettings = 6;
    return options;
}

// Query archives for the export: the bundled sample's shape (or a small one)
// with the serial of each printer, all in one folder.
int fleet(const QStringList &arguments)
{
    if (arguments.size() < 2) {
        err << "usage: brindle-bench fleet DIR COUNT [SETTINGS [LOG_MB]]\n";
        return 2;
    }
    const int count = arguments.at(1).toInt();
    const SampleQueryOptions options =
        fleetOptions(arguments.value(2, QStringLiteral("400")).toInt(),
                     arguments.size() > 3 ? arguments.at(3).toLongLong() * 1000 * 1000 : -1);
    for (int i = 0; i < count; ++i) {
        if (!writeFleetArchive(arguments.first(), i, options))
            return 1;
    }
    return 0;
}

// Whether a printer is one of the 1 % whose sleep-minutes change in a week.
bool changesInWeek(int printer, int week, int count)
{
    for (int k = 0; k < qMax(1, count / 100); ++k) {
        if ((week * 7919 + k * 97) % count == printer)
            return true;
    }
    return false;
}

// A fleet's reports of one week, written over those of the week before: the
// counters of every printer moved, and sleep-minutes the week it last
// changed (0 before it ever did).
int week(const QStringList &arguments)
{
    if (arguments.size() != 4) {
        err << "usage: brindle-bench week DIR COUNT SETTINGS WEEK\n";
        return 2;
    }
    const int count = arguments.at(1).toInt();
    const int week = arguments.at(3).toInt();
    SampleQueryOptions options = fleetOptions(arguments.at(2).toInt(), -1);
    options.counterOffset = quint32(week) * 17;
    for (int i = 0; i < count; ++i) {
        options.sleepMinutes = 0;
        for (int w = week; w > 0 && options.sleepMinutes == 0; --w) {
            if (changesInWeek(i, w, count))
                options.sleepMinutes = w;
        }
        if (!writeFleetArchive(arguments.first(), i, options))
            return 1;
    }
    return 0;
}

// Reads the query entry's deflated bytes and inflates them into a scratch
// buffer, keeping nothing: the least work any reader must do.
int inflateEntry(const QString &path)
{
    QElapsedTimer timer;
    timer.start();
    QuaZip zip(path);
    if (!zip.open(QuaZip::mdUnzip))
        return 1;
    QuaZipFileInfo64 info;
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile()) {
        if (zip.getCurrentFileInfo(&info) && info.name.endsWith(QLatin1String(".txt")))
            break;
    }
    QuaZipFile entry(&zip);
    int method = 0;
    int level = 0;
    if (!entry.open(QIODevice::ReadOnly, &method, &level, true) || method != Z_DEFLATED)
        return 1;
    z_stream stream = {};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return 1;
    QByteArray in(1 << 20, '\0');
    QByteArray scratch(1 << 20, '\0');
    quint64 total = 0;
    int result = Z_OK;
    while (result != Z_STREAM_END) {
        const qint64 got = entry.read(in.data(), in.size());
        if (got <= 0)
            break;
        stream.next_in = reinterpret_cast<Bytef *>(in.data());
        stream.avail_in = uInt(got);
        do {
            stream.next_out = reinterpret_cast<Bytef *>(scratch.data());
            stream.avail_out = uInt(scratch.size());
            result = inflate(&stream, Z_NO_FLUSH);
            if (result != Z_OK && result != Z_STREAM_END) {
                inflateEnd(&stream);
                return 1;
            }
            total += uInt(scratch.size()) - stream.avail_out;
        } while (stream.avail_in > 0 && result != Z_STREAM_END);
    }
    inflateEnd(&stream);
    const double elapsed = seconds(timer);
    if (total != info.uncompressedSize)
        return 1;
    print("inflate", elapsed);
    out << "entry_bytes " << total << '\n';
    return 0;
}

// As the window opens a query: read, then assemble from the text it no longer
// needs. The settings part is timed on its own first.
int pipeline(const QString &path)
{
    QElapsedTimer timer;
    timer.start();
    QString text = readQueryFile(path);
    print("read", seconds(timer));
    if (text.isEmpty())
        return 1;

    timer.restart();
    DocumentPlan plan = planQueryDocument(text);
    const QString settings = plan.settings;
    print("decode", seconds(timer));

    timer.restart();
    const QString document = buildQueryDocument(std::move(plan), std::move(text)).text;
    print("assembly", seconds(timer));
    return document.startsWith(settings) ? 0 : 1;
}

QString repeated(const QString &piece, int count)
{
    QString text;
    text.reserve(piece.size() * count);
    for (int i = 0; i < count; ++i)
        text += piece;
    return text;
}

// Settings lines built to make a backtracking matcher work hard: matched by
// SettingPattern, and for comparison by the regular expression engine.
int pattern()
{
    const QString keys = QStringLiteral("key=\"x\" ");
    QStringList many;
    for (int i = 0; i < 100000; ++i)
        many.append(repeated(keys, 25) + QString::number(i));
    const QVector<QPair<const char *, QStringList>> cases = {
        {"one 10 MB line", {repeated(keys, 10 * 1024 * 1024 / keys.size())}},
        {"100,000 lines of 25 keys", many},
    };
    const QRegularExpression expression(SettingPattern::settingPatternText);
    for (const auto &lines : cases) {
        QVector<QStringRef> refs;
        for (const QString &line : lines.second)
            refs.append(QStringRef(&line));
        QElapsedTimer timer;
        timer.start();
        const SettingPattern settingPattern;
        int ours = 0;
        for (const QStringRef &line : refs)
            ours += settingPattern.match(line, nullptr, nullptr);
        out << lines.first << ": SettingPattern " << QString::number(seconds(timer), 'f', 3)
            << " s";
        // A backtracking engine needs time quadratic in a line's length: on
        // the long line it would take hours.
        if (lines.second.size() > 1) {
            timer.restart();
            int matched = 0;
            for (const QStringRef &line : refs)
                matched += expression.match(line).hasMatch();
            out << "; QRegularExpression " << QString::number(seconds(timer), 'f', 3) << " s, "
                << matched << " matches";
        }
        out << '\n';
        if (ours != 0)
            return 1;
    }
    return 0;
}

double median(QVector<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const int middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Runs one measurement in a fresh process and collects its "name value" lines.
bool measure(const QStringList &arguments, QMap<QString, QVector<double>> &results)
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), arguments);
    if (!child.waitForFinished(-1) || child.exitStatus() != QProcess::NormalExit ||
        child.exitCode() != 0) {
        err << "measurement failed: " << arguments.join(QLatin1Char(' ')) << '\n';
        return false;
    }
    for (const QByteArray &line : child.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() == 2)
            results[QString::fromLatin1(fields[0])].append(fields[1].toDouble());
    }
    return true;
}

bool timeUnzip(const QString &path, QVector<double> &times)
{
    const QString unzip = QStandardPaths::findExecutable(QStringLiteral("unzip"));
    if (unzip.isEmpty())
        return false;
    QProcess child;
    child.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    child.start(unzip, {QStringLiteral("-p"), path});
    if (!child.waitForFinished(-1) || child.exitCode() != 0)
        return false;
    times.append(seconds(timer));
    return true;
}

int report(QStringList arguments)
{
    int runs = 5;
    if (arguments.size() >= 2 && arguments.first() == QLatin1String("--runs")) {
        runs = qMax(1, arguments.at(1).toInt());
        arguments = arguments.mid(2);
    }
    if (arguments.isEmpty()) {
        err << "usage: brindle-bench report [--runs N] FILE...\n";
        return 2;
    }
    QMap<QString, QVector<double>> base;
    if (!measure({QStringLiteral("baseline")}, base))
        return 1;
    const double baselineKb = median(base.value(QStringLiteral("peak_kb")));
    out << "process baseline peak " << QString::number(baselineKb / 1024, 'f', 1) << " MiB\n";

    for (const QString &file : arguments) {
        QMap<QString, QVector<double>> inflated;
        QMap<QString, QVector<double>> piped;
        QVector<double> unzipTimes;
        // Interleaved, so that load from other processes hits every kind alike.
        for (int run = 0; run < runs; ++run) {
            if (!measure({QStringLiteral("inflate"), file}, inflated) ||
                !measure({QStringLiteral("pipeline"), file}, piped))
                return 1;
            timeUnzip(file, unzipTimes);
        }
        const double entryBytes = median(inflated.value(QStringLiteral("entry_bytes")));
        const double inflate = median(inflated.value(QStringLiteral("inflate")));
        QVector<double> totals;
        const QVector<double> reads = piped.value(QStringLiteral("read"));
        const QVector<double> assemblies = piped.value(QStringLiteral("assembly"));
        for (int i = 0; i < reads.size() && i < assemblies.size(); ++i)
            totals.append(reads[i] + assemblies[i]);
        const auto line = [&](const char *name, double value) {
            out << QStringLiteral("  %1 %2 s  %3 x inflate\n")
                       .arg(QString::fromLatin1(name), -42)
                       .arg(value, 8, 'f', 3)
                       .arg(value / inflate, 5, 'f', 2);
        };
        out << file << ": entry " << QString::number(entryBytes / 1e6, 'f', 1) << " MB, medians of "
            << runs << " runs\n";
        line("bare inflate (zlib)", inflate);
        if (!unzipTimes.isEmpty())
            line("unzip -p > /dev/null", median(unzipTimes));
        line("read (readQueryFile)", median(reads));
        line("settings cut + decode (part of assembly)",
             median(piped.value(QStringLiteral("decode"))));
        line("assembly (assembleQueryDocument)", median(assemblies));
        line("read + assembly", median(totals));
        const double peakKb = median(piped.value(QStringLiteral("peak_kb")));
        out << QStringLiteral("  peak memory %1 MiB = %2 x entry; %3 x entry above the baseline\n")
                   .arg(peakKb / 1024, 0, 'f', 1)
                   .arg(peakKb * 1024 / entryBytes, 0, 'f', 2)
                   .arg((peakKb - baselineKb) * 1024 / entryBytes, 0, 'f', 2);
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    const QString command = arguments.isEmpty() ? QString() : arguments.takeFirst();
    int status = 2;
    if (command == QLatin1String("generate"))
        return generate(arguments);
    if (command == QLatin1String("report"))
        return report(arguments);
    if (command == QLatin1String("fleet"))
        return fleet(arguments);
    if (command == QLatin1String("week"))
        return week(arguments);
    if (command == QLatin1String("inflate") && arguments.size() == 1)
        status = inflateEntry(arguments.first());
    else if (command == QLatin1String("pipeline") && arguments.size() == 1)
        status = pipeline(arguments.first());
    else if (command == QLatin1String("pattern"))
        return pattern();
    else if (command == QLatin1String("baseline"))
        status = 0;
    else
        err << "usage: brindle-bench generate|report|inflate|pipeline|baseline ...\n";
    if (status == 0)
        out << "peak_kb " << processStatusKiB("VmHWM") << '\n';
    return status;
}
