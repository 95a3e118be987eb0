#pragma once

#include <functional>
#include <string>
#include <vector>

namespace platform::ui {

// One running shell per data root: two processes writing the same website data and user
// defaults lose each other's writes. The first process on a data root owns it (a lock file
// in the folder) and, when a D-Bus session bus is there, a GApplication named after the
// folder; a later process hands its URLs over to it and ends.
class GtkSingleInstance {
 public:
  enum class Role {
    Primary,     // this process runs the application
    HandedOver,  // the running one took the URLs (or was brought forward); this one ends
    Refused,     // another process holds the data root and could not be reached
  };

  // Claims `dataRoot`. As the primary, URLs that later processes hand over reach `onOpen`
  // and a bare start reaches `onActivate`, both on the main thread while the main loop runs.
  // `message` says what happened when the role is not Primary.
  static Role claim(const std::string& dataRoot, const std::vector<std::string>& urls,
                    std::function<void(const std::string& url)> onOpen, std::function<void()> onActivate,
                    std::string& message);

  // The GApplication identifier used for a data root (a valid D-Bus name).
  static std::string applicationIdFor(const std::string& dataRoot);
};

}  // namespace platform::ui
