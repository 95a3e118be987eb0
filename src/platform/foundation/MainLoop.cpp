#include "platform/foundation/MainLoop.h"

#include <glib.h>
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#if defined(__SANITIZE_THREAD__)
#define VELTRO_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VELTRO_THREAD_SANITIZER 1
#endif
#endif
#ifdef VELTRO_THREAD_SANITIZER
#include <sanitizer/tsan_interface.h>
#endif

namespace platform {
namespace {

// GLib hands a source from the posting thread to the main thread under its own locks, which
// are bare futexes the thread sanitizer cannot see. These two say what those locks already
// guarantee: everything the poster did before attaching happens before the work runs.
void handOff([[maybe_unused]] void* work) {
#ifdef VELTRO_THREAD_SANITIZER
  __tsan_release(work);
#endif
}
void takeOver([[maybe_unused]] void* work) {
#ifdef VELTRO_THREAD_SANITIZER
  __tsan_acquire(work);
#endif
}

std::thread::id& mainThreadId() {
  static std::thread::id id = std::this_thread::get_id();
  return id;
}
// Recorded during static initialisation, which runs on the process's first thread.
[[maybe_unused]] const std::thread::id kInitialThread = mainThreadId();
// The default context (and its wake-up descriptor) is made here too, before any thread
// exists, rather than by whichever thread happens to post or iterate first.
[[maybe_unused]] GMainContext* const kMainContext = g_main_context_default();

struct Work {
  std::function<void()> fn;
};

gboolean runOnce(gpointer data) {
  auto* work = static_cast<Work*>(data);
  takeOver(work);
  // An exception must never unwind through GLib.
  try {
    work->fn();
  } catch (...) {
    reportCaughtException("The main loop");
  }
  return G_SOURCE_REMOVE;
}

void destroyWork(gpointer data) {
  takeOver(data);
  delete static_cast<Work*>(data);
}

// Attaches `source` to the main context with `work` as its callback.
unsigned attachWork(GSource* source, std::function<void()> work) {
  auto* held = new Work{std::move(work)};
  g_source_set_callback(source, runOnce, held, destroyWork);
  // After everything this thread makes for the source (the callback's record included), which
  // the main thread frees once the work has run.
  handOff(held);
  unsigned id = g_source_attach(source, g_main_context_default());
  g_source_unref(source);
  return id;
}

}  // namespace

bool MainLoop::isMainThread() { return std::this_thread::get_id() == mainThreadId(); }

void MainLoop::adoptCurrentThreadAsMain() { mainThreadId() = std::this_thread::get_id(); }

void MainLoop::post(std::function<void()> work) {
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  attachWork(source, std::move(work));
}

void MainLoop::releaseFreedMemorySoon() {
  // Walking the arenas and faulting the pages in again afterwards cost more than the walk
  // saves when it runs once per large block of a burst.
  static std::atomic<bool> asked{false};
  if (asked.exchange(true)) return;
  post([] {
    asked = false;
    malloc_trim(0);
  });
}

void MainLoop::releaseFreedMemory() {
  malloc_trim(0);
  // The trim gives back the free pages inside every arena, but leaves the free top of a
  // thread's own arena (any but the main thread's) in place: a worker that freed a burst in
  // order has it all merged into that top. A block of 64 KiB or more freed next to the top
  // makes the allocator shrink it, so one is made and freed here, in the caller's arena.
  constexpr size_t kShrinksTheTop = 64 * 1024;
  static_assert(kShrinksTheTop < kOwnPagesFromBytes, "the block must come from the arena");
  void* block = std::malloc(kShrinksTheTop);
  // Touched through a volatile pointer: a block made and freed unused may be left out.
  if (block) *static_cast<volatile char*>(block) = 0;
  std::free(block);
}

void MainLoop::setUpAllocator() {
  // Setting either value also stops the allocator from raising both by itself as it sees
  // large blocks freed, so both are set.
  mallopt(M_MMAP_THRESHOLD, int(kOwnPagesFromBytes));
  mallopt(M_TRIM_THRESHOLD, int(kOwnPagesFromBytes));
  // No "fast bins": a small block freed is merged with its free neighbours at once instead of
  // being parked, unmerged, until the next large request walks and merges every parked block
  // of its arena. A burst of commands frees tens of thousands of small blocks, and that walk
  // then stalls whichever thread asks next; the per-thread cache still serves the hottest
  // sizes, and memory freed in one piece can go back to the system.
  mallopt(M_MXFAST, 0);
}

namespace {
std::uint64_t gTurn = 0;

// Never ready, never dispatched: its prepare step, which the context runs at the start of
// every iteration, counts the turns.
gboolean countTurn(GSource*, gint* timeout) {
  ++gTurn;
  *timeout = -1;
  return FALSE;
}
gboolean neverReady(GSource*) { return FALSE; }
gboolean neverDispatched(GSource*, GSourceFunc, gpointer) { return G_SOURCE_CONTINUE; }
GSourceFuncs kTurnCounter = {countTurn, neverReady, neverDispatched, nullptr, nullptr, nullptr};
}  // namespace

std::uint64_t MainLoop::turn() {
  static const bool attached = [] {
    GSource* source = g_source_new(&kTurnCounter, sizeof(GSource));
    // Prepared before any other source, whatever is ready.
    g_source_set_priority(source, G_MININT);
    g_source_attach(source, g_main_context_default());
    g_source_unref(source);
    return true;
  }();
  (void)attached;
  return gTurn;
}

unsigned MainLoop::postAfter(double seconds, std::function<void()> work) {
  if (seconds < 0) seconds = 0;
  return attachWork(g_timeout_source_new(static_cast<guint>(seconds * 1000.0 + 0.5)),
                    std::move(work));
}

void MainLoop::cancel(unsigned id) {
  if (id == 0) return;
  GSource* source = g_main_context_find_source_by_id(g_main_context_default(), id);
  if (source) g_source_destroy(source);
}

bool MainLoop::runUntil(const std::function<bool()>& condition, double timeoutSeconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  GMainContext* context = g_main_context_default();
  // A wake-up every 10 ms keeps the deadline honest while nothing else is due.
  guint tick = g_timeout_add(10, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  bool held = false;
  while (true) {
    if (condition()) {
      held = true;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    g_main_context_iteration(context, TRUE);
  }
  g_source_remove(tick);
  return held;
}

void MainLoop::runFor(double seconds) {
  runUntil([] { return false; }, seconds);
}

void MainLoop::drain() {
  GMainContext* context = g_main_context_default();
  while (g_main_context_iteration(context, FALSE)) {
  }
}

struct Timer::State {
  std::mutex mutex;
  unsigned sourceId = 0;  // 0 once the timer has fired for the last time or was invalidated
  bool repeats = false;
  std::function<void()> fire;
};

namespace {
gboolean fireTimer(gpointer data) {
  takeOver(data);
  auto state = *static_cast<std::shared_ptr<Timer::State>*>(data);
  std::function<void()> fire;
  bool repeats;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (!state->sourceId) return G_SOURCE_REMOVE;
    fire = state->fire;
    repeats = state->repeats;
    if (!repeats) {
      state->sourceId = 0;
      state->fire = {};
    }
  }
  try {
    if (fire) fire();
  } catch (...) {
    reportCaughtException("A timer");
  }
  return repeats ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}
void destroyTimerState(gpointer data) {
  takeOver(data);
  delete static_cast<std::shared_ptr<Timer::State>*>(data);
}
}  // namespace

std::shared_ptr<Timer> Timer::schedule(double seconds, bool repeats, std::function<void()> fire) {
  std::shared_ptr<Timer> timer(new Timer());
  timer->state_ = std::make_shared<State>();
  timer->state_->repeats = repeats;
  timer->state_->fire = std::move(fire);
  if (seconds < 0) seconds = 0;
  GSource* source = g_timeout_source_new(static_cast<guint>(seconds * 1000.0 + 0.5));
  auto* held = new std::shared_ptr<State>(timer->state_);
  handOff(held);
  g_source_set_callback(source, fireTimer, held, destroyTimerState);
  std::lock_guard<std::mutex> lock(timer->state_->mutex);
  timer->state_->sourceId = g_source_attach(source, g_main_context_default());
  g_source_unref(source);
  return timer;
}

Timer::~Timer() = default;

void Timer::invalidate() {
  unsigned id;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    id = state_->sourceId;
    state_->sourceId = 0;
    state_->fire = {};
  }
  MainLoop::cancel(id);
}

bool Timer::isValid() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->sourceId != 0;
}

}  // namespace platform
