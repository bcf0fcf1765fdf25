#pragma once

namespace kelvo {

// Unwinds a run whose observer asked it to stop; the run catches it and takes its end steps.
struct RunStopped final
{
};

// Lets pending events run, then ends the run when the observer asks for it.
class RunObserver;
void YieldToEvents(RunObserver& observer);

} // namespace kelvo
