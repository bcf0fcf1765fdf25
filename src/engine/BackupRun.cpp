#include "engine/BackupRun.h"

#include "engine/Run.h"
#include "platform/RunPriority.h"

#include <algorithm>

namespace kelvo {

namespace {

// Marks the run busy for its life, so a request from inside its yields waits instead of nesting.
class BusyScope final
{
public:
    explicit BusyScope(RunState& state) : m_state(state) { m_state.RunBusy = true; }
    ~BusyScope() { m_state.RunBusy = false; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    RunState& m_state;
};

// Only while the user may be working; flLowPriority off asks for full speed always.
bool AtLowPriority(const RunContext& context)
{
    return context.configuration.settings.flLowPriority && !context.screenSaverMode && !context.userAway;
}

void Queue(RunState& state, qint16 setIndex)
{
    if (std::find(state.QueuedRuns.begin(), state.QueuedRuns.end(), setIndex) == state.QueuedRuns.end())
        state.QueuedRuns.push_back(setIndex);
}

} // namespace

void RunBackup(RunContext& context, qint16 setIndex)
{
    RunState& state = context.state;
    if (state.RunBusy) {
        Queue(state, setIndex);
        return;
    }
    BusyScope busy(state);
    const RunPriority priority(AtLowPriority(context));
    Run(context).execute(setIndex);
    while (!state.QueuedRuns.empty() && !context.observer.stopRequested()) {
        const qint16 next = state.QueuedRuns.front();
        state.QueuedRuns.erase(state.QueuedRuns.begin());
        Run(context).execute(next);
    }
    state.QueuedRuns.clear();
}

} // namespace kelvo
