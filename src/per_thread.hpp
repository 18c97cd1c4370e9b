// per_thread.hpp: one object of a type per thread, reached through an out-of-line call.
#pragma once

namespace vx {

// The calling thread's instance of T, made on first use. Out of line on purpose: in a shared
// library every thread-local access is a call to the TLS resolver, and a reference the compiler
// knows to name a thread-local is turned back into such a call at each use inside a loop. Taken
// through this function, the reference is an ordinary pointer that loops keep in a register.
template <class T>
[[gnu::noinline]] T& per_thread() {
  thread_local T instance;
  return instance;
}

}  // namespace vx
