#pragma once

#include <atomic>
#include <cstdint>

namespace vlcache {

// A count of the changes that can alter what a resource lookup finds: the current
// application, the applications the engine knows, an application's pool and its running,
// previous, page and package frames, and a frame's entries. While the count stays the same, an
// entry looked up earlier is what a new lookup of the same URL would find, so serving may use
// it instead of looking again. Every such change counts itself after it is made.
inline std::atomic<std::uint64_t> lookupGenerationCount{0};

inline std::uint64_t lookupGeneration() { return lookupGenerationCount.load(std::memory_order_acquire); }
inline void lookupsChanged() { lookupGenerationCount.fetch_add(1, std::memory_order_acq_rel); }

}  // namespace vlcache
