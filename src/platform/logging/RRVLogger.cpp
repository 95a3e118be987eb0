#include "platform/logging/RRVLogger.h"

#include <algorithm>
#include <condition_variable>
#include <iterator>
#include <exception>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "platform/foundation/Log.h"
#include "platform/foundation/SignalStack.h"
#include "platform/logging/RRVLogStore.h"

namespace roruv {

namespace {

constexpr std::string_view kAnyTail = ".**";

void reportFailure(const char* element, const std::string& tag, const char* what) {
  platform::log(
      platform::stringf("RRVLogger: the %s for tag \"%s\" failed: %s", element, tag.c_str(), what));
}

}  // namespace

std::optional<double> numberSetting(const RRVSettings& settings, const std::string& key) {
  auto it = settings.find(key);
  if (it == settings.end()) return std::nullopt;
  const std::any& value = it->second;
  if (auto v = std::any_cast<double>(&value)) return *v;
  if (auto v = std::any_cast<float>(&value)) return *v;
  if (auto v = std::any_cast<int>(&value)) return *v;
  if (auto v = std::any_cast<long>(&value)) return static_cast<double>(*v);
  if (auto v = std::any_cast<long long>(&value)) return static_cast<double>(*v);
  if (auto v = std::any_cast<unsigned>(&value)) return *v;
  if (auto v = std::any_cast<unsigned long>(&value)) return static_cast<double>(*v);
  if (auto v = std::any_cast<bool>(&value)) return *v ? 1.0 : 0.0;
  return std::nullopt;
}

bool RRVTagPatternMatches(const std::string& pattern, const std::string& tag) {
  if (pattern == tag) return true;
  if (pattern.size() < kAnyTail.size() ||
      pattern.compare(pattern.size() - kAnyTail.size(), kAnyTail.size(), kAnyTail) != 0)
    return false;
  // The prefix with its dot: "a.**" needs "a." at the start of the tag and something after it.
  size_t prefixWithDot = pattern.size() - 2;
  return tag.size() > prefixWithDot &&
         tag.compare(0, prefixWithDot, pattern, 0, prefixWithDot) == 0;
}

struct RRVLogger::Core {
  struct Posted {
    std::shared_ptr<const platform::Object> object;
    // One of `tags`, or `ownTag` once there are too many distinct tags to keep.
    const std::string* tag;
    std::string ownTag;
    std::uint64_t sequence = 0;
    Taken taken;
  };
  // Posted objects of one priority waiting for the thread, oldest first from `head`: when
  // more than `bound` wait, the oldest is dropped by moving the head, and the dropped places
  // are erased in bulk. Swapped with the thread's batch, so that posting seldom allocates and
  // the thread holds the lock only for the swap.
  struct Line {
    explicit Line(size_t bound) : bound(bound) {}
    size_t bound;
    std::vector<Posted> items;
    size_t head = 0;
    size_t waiting() const { return items.size() - head; }
    // Makes room for one more; what was dropped goes to `out` (released outside the lock).
    bool makeRoom(Posted& out) {
      if (waiting() < bound) return false;
      out = std::move(items[head++]);
      if (head >= bound) {
        items.erase(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(head));
        head = 0;
      }
      return true;
    }
    void takeInto(std::vector<Posted>& into) {
      items.erase(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(head));
      head = 0;
      into.swap(items);
    }
  };
  // Tags repeat: each distinct tag is copied once, not once per post. Nodes never move.
  static constexpr size_t kMostKeptTags = 256;
  std::unordered_set<std::string> tags;

  std::shared_ptr<RRVLogStore> logStore;
  std::vector<std::shared_ptr<RRVFilter>> filters;
  std::vector<std::string> filterPatterns;
  std::vector<std::shared_ptr<RRVOutput>> outputs;
  std::vector<std::string> outputPatterns;

  std::mutex mutex;
  std::condition_variable wake;
  std::condition_variable idle;
  Line ordinary{kMostWaitingLogs};
  Line urgent{kMostWaitingUrgentLogs};
  std::uint64_t posted = 0;
  size_t dropped = 0;
  bool working = false;
  bool sleeping = false;
  bool stopping = false;
  std::thread thread;

  void run();
  void handle(const std::vector<Posted>& batch);
};

std::shared_ptr<RRVLogger> RRVLogger::initWithConfiguration(RRVLoggerConfiguration configuration) {
  std::shared_ptr<RRVLogger> logger(new RRVLogger());
  auto core = std::make_shared<Core>();
  logger->core_ = core;
  core->logStore = configuration.logStore ? configuration.logStore : RRVLogStore::defaultStore();

  std::weak_ptr<RRVLogger> self = logger;
  // Makes, links and configures each element a setting names; an unknown class is left out.
  auto build = [&self](auto& registry, const std::string& className, const std::string& pattern,
                       const RRVSettings& settings, const char* kind, auto& elements,
                       std::vector<std::string>& patterns, auto&& prepare) {
    auto factory = registry.factory(className);
    auto element = factory ? factory() : nullptr;
    if (!element) {
      platform::log(platform::stringf(
          "RRVLogger: there is no %s class \"%s\"; it is left out for tag \"%s\".", kind,
          className.c_str(), pattern.c_str()));
      return;
    }
    element->setLogger(self);
    prepare(*element);
    element->configure(settings);
    elements.push_back(element);
    patterns.push_back(pattern);
  };
  for (const auto& setting : configuration.filterSettings)
    build(RRVFilterClassRegistry::shared(), setting.filterClass, setting.tagPattern,
          setting.settings, "filter", core->filters, core->filterPatterns, [](RRVFilter&) {});
  for (const auto& setting : configuration.outputSettings)
    build(RRVOutputClassRegistry::shared(), setting.outputClass, setting.tagPattern,
          setting.settings, "output", core->outputs, core->outputPatterns, [&](RRVOutput& output) {
            output.setStorageKey(setting.outputClass + " " + setting.tagPattern);
          });
  for (const auto& output : core->outputs) output->start();

  core->thread = std::thread([core] {
    platform::ensureAlternateSignalStack();
    core->run();
  });
  return logger;
}

RRVLogger::~RRVLogger() {
  if (!core_) return;
  {
    std::lock_guard lock(core_->mutex);
    core_->stopping = true;
  }
  core_->wake.notify_all();
  if (!core_->thread.joinable()) return;
  // An element may drop the last reference on the pipeline's own thread, which cannot wait
  // for itself; the thread keeps the core alive until it has handled the rest.
  if (core_->thread.get_id() == std::this_thread::get_id())
    core_->thread.detach();
  else
    core_->thread.join();
}

const std::vector<std::shared_ptr<RRVFilter>>& RRVLogger::filters() const { return core_->filters; }
const std::vector<std::shared_ptr<RRVOutput>>& RRVLogger::outputs() const { return core_->outputs; }
const std::shared_ptr<RRVLogStore>& RRVLogger::logStore() const { return core_->logStore; }

void RRVLogger::postLog(std::shared_ptr<const platform::Object> object, const std::string& tag,
                        Priority priority, Taken taken) {
  if (!object) {
    if (taken) taken(false);
    return;
  }
  bool wake;
  Core::Posted dropped;
  bool dropping;
  {
    std::lock_guard lock(core_->mutex);
    Core::Line& line = priority == Priority::Urgent ? core_->urgent : core_->ordinary;
    // An output that falls behind must not let a page that logs without pause take all the
    // memory: the oldest waiting log of the same priority goes (released outside the lock).
    dropping = line.makeRoom(dropped);
    if (dropping) ++core_->dropped;
    auto kept = core_->tags.find(tag);
    if (kept == core_->tags.end() && core_->tags.size() < Core::kMostKeptTags)
      kept = core_->tags.insert(tag).first;
    const std::uint64_t sequence = core_->posted++;
    if (kept != core_->tags.end())
      line.items.push_back({std::move(object), &*kept, {}, sequence, std::move(taken)});
    else
      line.items.push_back({std::move(object), nullptr, tag, sequence, std::move(taken)});
    // The thread is only woken when it sleeps; while it works it finds the log on its own.
    wake = core_->sleeping;
    core_->sleeping = false;
  }
  if (wake) core_->wake.notify_one();
  if (dropping && dropped.taken) dropped.taken(false);
}

bool RRVLogger::waitUntilIdle(double seconds) {
  std::unique_lock lock(core_->mutex);
  return core_->idle.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
    return core_->ordinary.waiting() == 0 && core_->urgent.waiting() == 0 && !core_->working;
  });
}

void RRVLogger::Core::run() {
  std::vector<Posted> batch, ordinaryBatch, urgentBatch;
  std::unique_lock lock(mutex);
  auto empty = [&] { return ordinary.waiting() == 0 && urgent.waiting() == 0; };
  for (;;) {
    if (empty()) {
      working = false;
      idle.notify_all();
      if (stopping) return;
      sleeping = true;
      wake.wait(lock, [&] { return !empty() || stopping; });
      sleeping = false;
      continue;
    }
    working = true;
    ordinary.takeInto(ordinaryBatch);
    urgent.takeInto(urgentBatch);
    const size_t lost = std::exchange(dropped, 0);
    lock.unlock();
    // Both lines in posting order.
    if (urgentBatch.empty()) {
      batch.swap(ordinaryBatch);
    } else if (ordinaryBatch.empty()) {
      batch.swap(urgentBatch);
    } else {
      batch.reserve(ordinaryBatch.size() + urgentBatch.size());
      std::merge(std::make_move_iterator(ordinaryBatch.begin()),
                 std::make_move_iterator(ordinaryBatch.end()),
                 std::make_move_iterator(urgentBatch.begin()),
                 std::make_move_iterator(urgentBatch.end()), std::back_inserter(batch),
                 [](const Posted& a, const Posted& b) { return a.sequence < b.sequence; });
    }
    ordinaryBatch.clear();
    urgentBatch.clear();
    // One line for all the logs dropped since the last batch, on the process log: through
    // the pipeline it would wait behind the very outputs that fell behind.
    if (lost > 0)
      platform::log(platform::stringf(
          "RRVLogger: %zu logs were dropped: the outputs fell behind and more than %zu waited; "
          "the oldest went first.",
          lost, kMostWaitingLogs));
    handle(batch);
    for (auto& done : batch)
      if (done.taken) done.taken(true);
    batch.clear();  // the objects go here, outside the lock
    lock.lock();
  }
}

void RRVLogger::Core::handle(const std::vector<Posted>& batch) {
  // Which elements take a tag, worked out once per tag and batch: tags repeat.
  std::unordered_map<std::string, std::vector<size_t>> filtersForTag;
  std::unordered_map<std::string, std::vector<size_t>> outputsForTag;
  std::vector<RRVLogs> perOutput(outputs.size());
  auto routesFor = [](auto& cache, const std::vector<std::string>& patterns,
                      const std::string& tag) -> const std::vector<size_t>& {
    auto found = cache.find(tag);
    if (found != cache.end()) return found->second;
    std::vector<size_t> indexes;
    for (size_t i = 0; i < patterns.size(); ++i)
      if (RRVTagPatternMatches(patterns[i], tag)) indexes.push_back(i);
    return cache.emplace(tag, std::move(indexes)).first->second;
  };

  for (const auto& posted : batch) {
    const std::string& tag = posted.tag ? *posted.tag : posted.ownTag;
    RRVLogs logs;
    // The first matching filter that takes the object gives its logs.
    for (size_t index : routesFor(filtersForTag, filterPatterns, tag)) {
      bool captured = false;
      try {
        logs = filters[index]->logsWithObject(posted.object, tag, captured);
      } catch (const std::exception& e) {
        reportFailure("filter", tag, e.what());
        captured = true;
      } catch (...) {
        reportFailure("filter", tag, "unknown exception");
        captured = true;
      }
      if (captured || !logs.empty()) break;
    }
    for (auto& log : logs) {
      if (!log) continue;
      for (size_t index : routesFor(outputsForTag, outputPatterns, log->tag()))
        perOutput[index].push_back(log);
    }
  }

  for (size_t i = 0; i < outputs.size(); ++i) {
    if (perOutput[i].empty()) continue;
    try {
      outputs[i]->emitLogs(perOutput[i]);
    } catch (const std::exception& e) {
      reportFailure("output", perOutput[i].front()->tag(), e.what());
    } catch (...) {
      reportFailure("output", perOutput[i].front()->tag(), "unknown exception");
    }
  }
}

}  // namespace roruv
