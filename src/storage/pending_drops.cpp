// pending_drops.cpp: the queue of deferred reference drops.
#include "storage/pending_drops.hpp"

#include <atomic>
#include <mutex>

namespace vx {
namespace {

std::mutex queue_mutex;
std::vector<void*>& queue() {
  static std::vector<void*> items;
  return items;
}
std::atomic<bool> queue_nonempty{false};

}  // namespace

void defer_drop(void* owner) {
  std::lock_guard lock(queue_mutex);
  queue().push_back(owner);
  queue_nonempty.store(true, std::memory_order_release);
}

bool drops_pending() noexcept { return queue_nonempty.load(std::memory_order_acquire); }

std::vector<void*> take_pending_drops() {
  std::lock_guard lock(queue_mutex);
  std::vector<void*> taken;
  taken.swap(queue());
  queue_nonempty.store(false, std::memory_order_release);
  return taken;
}

}  // namespace vx
