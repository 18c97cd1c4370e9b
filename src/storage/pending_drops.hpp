// pending_drops.hpp: process-wide queue of Python references whose drop had to wait for the GIL.
#pragma once
#include <vector>

namespace vx {

// Queues an owner (an opaque Python object) to be released once a thread holds the GIL.
void defer_drop(void* owner);

// Cheap check for the entry wrapper: true when something is queued.
bool drops_pending() noexcept;

// Takes everything queued so far; the caller releases the owners with the GIL held.
std::vector<void*> take_pending_drops();

}  // namespace vx
