#pragma once

#include <mutex>

// Work that a thread which must never wait (the main loop) tries in place before it hands the
// work to a thread that may. Inside a Scope, code that would wait, on the disk or on a lock
// that another thread may hold while it works on the disk, calls giveUp() and goes on as if it
// had found nothing, without effects of its own; the thread then sees the scope's gaveUp(),
// drops whatever it got and hands the whole work on. Scopes do not nest.
namespace platform::nowait {

namespace detail {
enum class State { Outside, Trying, GaveUp };
inline thread_local State tState = State::Outside;
}  // namespace detail

// Whether this thread is inside a Scope.
inline bool active() { return detail::tState != detail::State::Outside; }
// Marks this thread's Scope as given up; outside one, nothing.
inline void giveUp() {
  if (active()) detail::tState = detail::State::GaveUp;
}
// Whether this thread's Scope has given up (false outside one).
inline bool gaveUp() { return detail::tState == detail::State::GaveUp; }

class Scope {
 public:
  Scope() { detail::tState = detail::State::Trying; }
  ~Scope() { detail::tState = detail::State::Outside; }
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;
  bool gaveUp() const { return nowait::gaveUp(); }
};

// `mutex` locked. Inside a Scope only when it is free at once: a lock held elsewhere gives up,
// and the lock returned owns nothing.
template <typename Mutex>
std::unique_lock<Mutex> lock(Mutex& mutex) {
  if (!active()) return std::unique_lock<Mutex>(mutex);
  std::unique_lock<Mutex> held(mutex, std::try_to_lock);
  if (!held.owns_lock()) giveUp();
  return held;
}

}  // namespace platform::nowait
