#pragma once

#include <functional>
#include <memory>

namespace platform {

// The main run loop: GLib's default main context. In the shell it is the GTK loop; tests
// iterate it until a condition holds. Everything the host does "on the main thread" is
// posted here. Posting is safe from any thread and keeps the order of the posts.
class MainLoop {
 public:
  // The main thread is the thread that initialised the process (static initialisation),
  // unless a program adopts another one before it starts posting.
  static bool isMainThread();
  static void adoptCurrentThreadAsMain();

  static void post(std::function<void()> work);

  // Runs `work` once after `seconds` on the main thread. The returned id cancels it.
  static unsigned postAfter(double seconds, std::function<void()> work);
  static void cancel(unsigned id);

  // Iterates the main context until `condition` is true or `timeoutSeconds` pass.
  // Answers whether the condition held. Main thread only.
  static bool runUntil(const std::function<bool()>& condition, double timeoutSeconds);
  // Iterates for `seconds`, dispatching whatever is due.
  static void runFor(double seconds);
  // Dispatches everything that is ready now without blocking.
  static void drain();
};

// A one-shot or repeating timer on the main loop. Destroying the handle does not stop the
// timer (as with a scheduled platform timer); `invalidate` does.
class Timer {
 public:
  static std::shared_ptr<Timer> schedule(double seconds, bool repeats, std::function<void()> fire);
  ~Timer();
  void invalidate();
  bool isValid() const;

 struct State;

 private:
  Timer() = default;
  std::shared_ptr<State> state_;
};

}  // namespace platform
