#include "ui/matchcount.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <QMutexLocker>

namespace {

// Characters scanned between two looks at the cancel flag and the clock:
// well under a millisecond, so that giving up a count never holds up typing.
constexpr int scanStep = 1 << 18;

} // namespace

MatchCount::MatchCount(QObject *parent)
    : QObject(parent)
{
}

MatchCount::~MatchCount()
{
    stop();
}

void MatchCount::stop()
{
    cancelled = true;
    if (worker.joinable())
        worker.join();
    cancelled = false;
    QMutexLocker lock(&handOverMutex);
    handedOver.clear();
    handedOverRun = 0;
}

void MatchCount::cancel()
{
    stop();
    ++started;
    latest = MatchIndex();
}

void MatchCount::start(const DocumentText &text, const QString &term)
{
    stop();
    const quint64 run = ++started;
    MatchIndex index(text, term);
    if (index.isComplete()) {
        latest = index;
        latestRun = run;
        emit updated();
        return;
    }
    worker = std::thread([this, run, index, interval = interval]() mutable {
        QElapsedTimer clock;
        clock.start();
        qint64 shown = 0;
        while (!index.scan(scanStep)) {
            if (cancelled)
                return;
            if (clock.elapsed() - shown >= interval) {
                shown = clock.elapsed();
                handOver(run, index);
            }
        }
        handOver(run, index);
    });
}

void MatchCount::handOver(quint64 run, const MatchIndex &index)
{
    {
        QMutexLocker lock(&handOverMutex);
        handedOver.append(index);
        handedOverRun = run;
    }
    QMetaObject::invokeMethod(this, &MatchCount::receive, Qt::QueuedConnection);
}

void MatchCount::receive()
{
    MatchIndex index;
    quint64 run = 0;
    {
        QMutexLocker lock(&handOverMutex);
        if (handedOver.isEmpty())
            return;
        index = handedOver.takeFirst();
        run = handedOverRun;
    }
    if (run != started)
        return;
    latest = index;
    latestRun = run;
    emit updated();
}
