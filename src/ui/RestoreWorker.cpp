#include "ui/RestoreWorker.h"

#include "engine/RunObserver.h"
#include "engine/RunStopped.h"
#include "engine/SetRunLock.h"
#include "platform/Failure.h"

#include <QFile>

namespace kelvo {

// Forwards a restore's progress to the worker's thread; the stop is asked for there and read here.
class RestoreWorker::Observer final : public RunObserver
{
public:
    explicit Observer(RestoreWorker& worker) : m_worker(worker) {}

    // The bar moves through each file too: a single large file is most restores.
    void setItemCount(std::size_t count) { m_items = std::max<std::size_t>(1, count); }

    void statisticsChanged(const RunStatistics&) override {}
    void currentFileChanged(const QString& name) override
    {
        m_worker.post([worker = &m_worker, name] { emit worker->currentFileChanged(name); });
    }
    void fileProgressChanged(int percent) override { showProgress(m_itemsDone + percent / int(m_items)); }
    void overallProgressChanged(int percent) override
    {
        m_itemsDone = percent;
        showProgress(percent);
    }
    void copyActive(bool) override {}
    void reRunTimerEnabled(bool) override {}
    void screenSaverStep() override {}
    void letEventsRun() override {}
    bool stopRequested() const override { return m_worker.m_stop; }

private:
    void showProgress(int percent)
    {
        if (percent == m_shown)
            return;
        m_shown = percent;
        m_worker.post([worker = &m_worker, percent] { emit worker->progressChanged(percent); });
    }

    RestoreWorker& m_worker;
    std::size_t m_items = 1;
    int m_itemsDone = 0;
    int m_shown = -1;
};

RestoreWorker::RestoreWorker(const Clock& clock, QObject* parent) : QObject(parent), m_clock(clock) {}

RestoreWorker::~RestoreWorker()
{
    stopAndWait();
}

// Runs call on this object's thread, unless this object is gone by then.
template <typename Call> void RestoreWorker::post(Call call)
{
    QMetaObject::invokeMethod(this, std::move(call), Qt::QueuedConnection);
}

void RestoreWorker::start(RestoreRequest request)
{
    stopAndWait();
    m_stop = false;
    m_thread = std::thread([this, request = std::move(request)] { run(request); });
}

void RestoreWorker::stopAndWait()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

void RestoreWorker::run(const RestoreRequest& request)
{
    Observer observer(*this);
    RestoreSummary summary;
    try {
        summary = restore(observer, request);
    } catch (const RunStopped&) {
        summary.stopped = true;
    } catch (const Failure& failure) {
        ++summary.errors;
        report("Error : " + failure.path() + " : " + failure.description().toStdString());
    } catch (const std::exception& failure) {
        ++summary.errors;
        report(std::string("Error : ") + failure.what());
    }
    // The thread ends right after this, so the join is short. A restore started since (after a close
    // that waited for this one) has a thread of its own, and its own end to say.
    post([this, summary, self = std::this_thread::get_id()] {
        if (m_thread.get_id() == self)
            m_thread.join();
        else if (m_thread.joinable())
            return;
        emit finished(summary);
    });
}

// Planned under the lock: a run that ended meanwhile may have changed what the backup holds.
RestoreSummary RestoreWorker::restore(Observer& observer, const RestoreRequest& request)
{
    const SetRunLock lock(request.set.SetName, observer, [this] { post([this] { emit waitingForRun(); }); });
    const std::optional<std::vector<RestoreItem>> items =
        PlanRestore(request.set, request.place, request.version);
    if (!items || items->empty()) {
        report("Error : " + request.place.sides.backup + request.place.relative +
               " : the backup no longer holds that version");
        RestoreSummary nothing;
        nothing.errors = 1;
        return nothing;
    }
    observer.setItemCount(items->size());
    return RestoreItems(observer, m_clock, request.set, request.place.sides, *items, request.toDirectory,
                        [this](const std::string& line) { report(line); });
}

void RestoreWorker::report(const std::string& line)
{
    const QString text = QFile::decodeName(QByteArray::fromStdString(line));
    post([this, text] { emit lineReported(text); });
}

} // namespace kelvo
