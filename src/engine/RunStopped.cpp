#include "engine/RunStopped.h"

#include "engine/RunObserver.h"

namespace kelvo {

void YieldToEvents(RunObserver& observer)
{
    observer.letEventsRun();
    if (observer.stopRequested())
        throw RunStopped{};
}

} // namespace kelvo
