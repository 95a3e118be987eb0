#pragma once

#include <functional>
#include <memory>

// The time the cache paces itself by: when a failed download is tried again and when a running
// download makes its next checkpoint. Tests put a clock of their own in its place, so timing is
// checked without waiting.
class VLCacheClock {
 public:
  virtual ~VLCacheClock() = default;
  // Seconds on a clock that never goes back.
  virtual double now() = 0;
  // Runs `task` once, `seconds` from now, on a thread of the clock's choosing (never the
  // caller's stack).
  virtual void after(double seconds, std::function<void()> task) = 0;

  // The clock in force: the system's, or the one set for a test.
  static std::shared_ptr<VLCacheClock> shared();
  // Puts `clock` in force; none brings the system's back.
  static void setShared(std::shared_ptr<VLCacheClock> clock);
};
