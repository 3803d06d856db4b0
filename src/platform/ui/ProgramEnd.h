#pragma once

#include <functional>

/**
 * Ending the program at once: no window is asked, no further handler runs.
 * Settings are already on disk (they are written as they change) and the
 * workbook's temporary storage is anonymous, so nothing is left behind.
 */
namespace ProgramEnd {

/** The program's exit statuses. */
enum Status : int {
    /** The user ended the program, or it did what it could and said why it stopped. */
    Finished = 0,
    /** The program cannot do its work on this computer at all (its private folder is unusable). */
    CannotWork = 1,
};

void now(Status status = Finished);

/** True once now() has run; only observable when a test handler replaced the exit. */
bool ended();
/** The status now() was given last. */
Status status();

/**
 * Runs `watcher` when now() is called while a test handler keeps the process
 * (a real end leaves nothing to run); answers an id for unwatch.
 */
int watch(std::function<void()> watcher);
void unwatch(int id);

/** Testing seam: the handler runs instead of ending the process. */
void setHandler(std::function<void()> handler);
void reset();

} // namespace ProgramEnd
