#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/foundation/CaughtException.h"

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

  // Asks the allocator, on a later turn, to give the memory it keeps freed back to the
  // system: for callers that have just let go of large blocks. Asks made before that turn
  // come to one. Safe from any thread.
  static void releaseFreedMemorySoon();
  // The same at once, on the calling thread (any): for a worker that has just freed large
  // amounts itself.
  static void releaseFreedMemory();

  // Sets the allocator up for the shell's way of using memory; once, at the start of the
  // program, before it starts other threads. Blocks of `kOwnPagesFromBytes` and more get
  // pages of their own, which go back to the system as soon as they are freed. Below that,
  // what is freed at the top of an arena is kept up to the same amount instead of going back
  // to the system at once: blocks of tens of kilobytes made and freed for each command of a
  // burst (a file's bytes, their Base64 text) would otherwise be handed back and faulted in
  // again every time. releaseFreedMemorySoon() gives it back once a burst is over. Small
  // blocks are merged as they are freed (no fast bins), so that freeing a burst's thousands of
  // small blocks costs no stall later.
  static constexpr size_t kOwnPagesFromBytes = 1024 * 1024;
  static void setUpAllocator();

  // A number that changes with each iteration of the main context, nested ones included:
  // what runs under the same number runs in the same turn of the loop. Main thread only.
  static std::uint64_t turn();

  // Runs `work` once after `seconds` on the main thread. The returned id cancels it.
  static unsigned postAfter(double seconds, std::function<void()> work);
  static void cancel(unsigned id);

  // Runs `work` on the main thread and hands its value to `completion`, also on the main
  // thread. Safe from any thread; the caller never waits. An exception from `work` is
  // swallowed and `completion` is not called.
  template <typename T>
  static void call(std::function<T()> work, std::function<void(T)> completion) {
    post([work = std::move(work), completion = std::move(completion)] { completion(work()); });
  }

  // Runs `work` on the main thread and waits at most `timeoutSeconds` for its value. On the
  // main thread itself it refuses (nothing runs, nullopt), since the wait could never end.
  // A time-out or an exception from `work` also gives nullopt; work that runs after the
  // time-out has its value dropped.
  template <typename T>
  static std::optional<T> callAndWait(std::function<T()> work, double timeoutSeconds) {
    if (isMainThread()) return std::nullopt;
    struct Shared {
      std::mutex mutex;
      std::condition_variable done;
      bool finished = false;
      std::optional<T> value;
    };
    auto shared = std::make_shared<Shared>();
    post([shared, work = std::move(work)] {
      std::optional<T> value;
      try {
        value.emplace(work());
      } catch (...) {
        reportCaughtException("Work waited for on the main loop");
      }
      std::lock_guard lock(shared->mutex);
      shared->value = std::move(value);
      shared->finished = true;
      shared->done.notify_all();
    });
    std::unique_lock lock(shared->mutex);
    auto limit = std::chrono::duration<double>(timeoutSeconds < 0 ? 0 : timeoutSeconds);
    if (!shared->done.wait_for(lock, limit, [&] { return shared->finished; })) return std::nullopt;
    return std::move(shared->value);
  }

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
