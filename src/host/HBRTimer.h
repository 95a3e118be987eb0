#pragma once

#include <map>
#include <memory>
#include <string>

// Named intervals whose length is logged when they stop. Used on the main thread only.
struct HBRTimerItem {
  std::string name;  // in the caller's letter case
  double started = 0;
  double ended = 0;
  void log() const;
};

class HBRTimer {
 public:
  static HBRTimer& sharedInstance();
  static void start(const std::string& name) { sharedInstance().add(name); }
  static void stop(const std::string& name) { sharedInstance().remove(name); }
  static void clearAll() { sharedInstance().removeAll(); }

  void add(const std::string& name);
  void remove(const std::string& name);
  void removeAll() { items_.clear(); }
  const std::map<std::string, HBRTimerItem>& items() const { return items_; }

 private:
  std::map<std::string, HBRTimerItem> items_;  // keyed by the lower-cased name
};
