#pragma once

#include "query/matchindex.h"

#include <QMutex>
#include <QObject>
#include <QVector>

#include <atomic>
#include <thread>

// Counts a term's matches in a document text on a thread of its own, so
// that typing never waits on a count. Past the progress interval the index
// found so far is handed over, then again at each interval and once it is
// complete; each time updated() is emitted. Starting another count gives up
// the one running: nothing of it arrives any more, and nothing of its text
// is kept.
class MatchCount : public QObject
{
    Q_OBJECT

public:
    explicit MatchCount(QObject *parent = nullptr);
    ~MatchCount() override;

    // Counts term in text; an empty term is complete at once, with no match.
    void start(const DocumentText &text, const QString &term);
    // Gives up the count running, as a new start would, and drops the index.
    void cancel();
    // The latest index handed over: of the count last started once anything
    // of it has arrived, of the one before until then.
    const MatchIndex &index() const { return latest; }
    // Whether the latest index is of the count last started.
    bool isCurrent() const { return latestRun == started; }
    // Which count the latest index comes from: the same number for each
    // index handed over by one count.
    quint64 run() const { return latestRun; }
    // How long a count runs before it shows what it has found; 100 ms.
    void setProgressInterval(int milliseconds) { interval = milliseconds; }

signals:
    void updated();

private:
    void stop();
    void handOver(quint64 run, const MatchIndex &index);
    void receive();

    std::thread worker;
    std::atomic<bool> cancelled{false};
    int interval = 100;
    quint64 started = 0;
    quint64 latestRun = 0;
    MatchIndex latest;
    // What the worker has handed over and the GUI has not taken yet, in
    // order; a queued event holds no index, so no text outlives its count.
    QMutex handOverMutex;
    QVector<MatchIndex> handedOver;
    quint64 handedOverRun = 0;
};
