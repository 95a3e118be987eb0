#pragma once

#include <optional>
#include <string>

namespace platform::ui {

// The device the shell runs on. Version checks use the fixed `systemVersion` (a current
// system, so the paths for old systems never run); descriptions of the device use the real
// model and operating system.
struct Device {
  static const char* systemVersion() { return "13.0"; }

  // The machine's model: the firmware's product name (DMI), else the processor architecture.
  static std::string model();
  // The operating system's name and version from os-release ("Debian GNU/Linux", "12"),
  // else the kernel's name and release.
  static std::string systemName();
  static std::string operatingSystemVersion();

  // An identifier that is the same for every application of one vendor on this machine: a
  // UUID made from the machine id and the vendor part of the bundle identifier (its first
  // two components). None when the machine has no machine id.
  static std::optional<std::string> identifierForVendor();

  // The per-installation identifier, stored under "HBRUUID" in the standard user defaults:
  // read, or made (the identifier for vendor, else a random UUID) and stored at once. Made
  // under one lock, so two first callers never store two identifiers.
  static std::string installationIdentifier();

  // Tests point the machine-information files elsewhere; empty restores the system's.
  static void setSystemFilesRootForTesting(const std::string& root);
};

}  // namespace platform::ui
