#pragma once

#include <functional>

/**
 * Ending the program at once: no window is asked, no further handler runs.
 * Settings are already on disk (they are written as they change) and the
 * workbook's temporary storage is anonymous, so nothing is left behind.
 */
namespace ProgramEnd {

void now();

/** True once now() has run; only observable when a test handler replaced the exit. */
bool ended();

/** Testing seam: the handler runs instead of ending the process. */
void setHandler(std::function<void()> handler);
void reset();

} // namespace ProgramEnd
