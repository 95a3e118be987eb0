#include "platform/ui/gtk/GtkSingleInstance.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/StableHash.h"

namespace platform::ui {
namespace {

constexpr const char* kLockFileName = ".veltro-shell.lock";

struct Callbacks {
  std::function<void(const std::string&)> onOpen;
  std::function<void()> onActivate;
};

std::string canonical(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved)) return resolved;
  return fs::normalizePath(path);
}

void onOpenSignal(GApplication*, GFile** files, gint count, gchar*, gpointer data) {
  auto* callbacks = static_cast<Callbacks*>(data);
  for (gint i = 0; i < count; ++i) {
    char* uri = g_file_get_uri(files[i]);
    std::string text = uri ? uri : "";
    g_free(uri);
    try {
      if (!text.empty() && callbacks->onOpen) callbacks->onOpen(text);
    } catch (...) {
      log("Opening a URL handed over by another instance failed.");
    }
  }
}

void onActivateSignal(GApplication*, gpointer data) {
  auto* callbacks = static_cast<Callbacks*>(data);
  try {
    if (callbacks->onActivate) callbacks->onActivate();
  } catch (...) {
    log("Bringing the window forward failed.");
  }
}

// Holds the data root's lock for the life of the process. False when another process has it.
bool lockDataRoot(const std::string& dataRoot, std::string& message) {
  std::string path = fs::appendPath(dataRoot, kLockFileName);
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    message = "cannot open the lock file " + path + ": " + std::strerror(errno);
    return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int error = errno;
    ::close(fd);
    message = error == EWOULDBLOCK
                  ? "another veltro-shell is already running on the data root " + dataRoot +
                        " and cannot be reached over D-Bus to take over; close it first"
                  : "cannot lock " + path + ": " + std::strerror(error);
    return false;
  }
  // The descriptor stays open, and the lock held, until the process ends.
  return true;
}

// Whether a session bus can be reached without starting one: GIO would otherwise launch a
// bus daemon of its own for the display, which outlives the shell.
bool hasSessionBus() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address && *address) return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  return runtime && *runtime && fs::exists(fs::appendPath(runtime, "bus"));
}

}  // namespace

std::string GtkSingleInstance::applicationIdFor(const std::string& dataRoot) {
  char hash[32];
  std::snprintf(hash, sizeof hash, "%016llx",
                static_cast<unsigned long long>(stableHash(canonical(dataRoot))));
  // D-Bus name elements may not start with a digit, hence the letter.
  return std::string("org.veltro.Shell.r") + hash;
}

GtkSingleInstance::Role GtkSingleInstance::claim(const std::string& dataRoot, const std::vector<std::string>& urls,
                                                 std::function<void(const std::string& url)> onOpen,
                                                 std::function<void()> onActivate, std::string& message) {
  if (auto error = fs::createDirectory(dataRoot, true)) {
    message = "cannot create the data root " + dataRoot + ": " + error->localizedDescription();
    return Role::Refused;
  }
  std::string id = applicationIdFor(dataRoot);
  GApplication* application = g_application_new(id.c_str(), G_APPLICATION_HANDLES_OPEN);
  GError* error = nullptr;
  // Without a session bus there is no one to hand anything to; the lock below still keeps a
  // second process off the data root.
  bool registered = false;
  if (hasSessionBus()) {
    registered = g_application_register(application, nullptr, &error);
    if (!registered)
      log(std::string("Cannot register the application on D-Bus: ") + (error ? error->message : "unknown error"));
    g_clear_error(&error);
  }
  if (registered && g_application_get_is_remote(application)) {
    if (urls.empty()) {
      g_application_activate(application);
      message = "veltro-shell is already running on the data root " + dataRoot + "; its window was brought forward";
    } else {
      std::vector<GFile*> files;
      for (const auto& url : urls) files.push_back(g_file_new_for_uri(url.c_str()));
      g_application_open(application, files.data(), static_cast<gint>(files.size()), "");
      for (GFile* file : files) g_object_unref(file);
      message = "veltro-shell is already running on the data root " + dataRoot + "; it was handed " +
                (urls.size() == 1 ? "the URL " + urls.front() : std::to_string(urls.size()) + " URLs");
    }
    // The calls are queued on the bus connection; they must leave before the process does.
    if (GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)) {
      g_dbus_connection_flush_sync(bus, nullptr, nullptr);
      g_object_unref(bus);
    }
    g_object_unref(application);
    return Role::HandedOver;
  }
  if (!lockDataRoot(dataRoot, message)) {
    g_object_unref(application);
    return Role::Refused;
  }
  // The primary keeps its application, and the callbacks, for the life of the process.
  static GApplication* primary = nullptr;
  static Callbacks* callbacks = nullptr;
  if (primary) g_object_unref(primary);
  delete callbacks;
  primary = application;
  callbacks = new Callbacks{std::move(onOpen), std::move(onActivate)};
  g_signal_connect(application, "open", G_CALLBACK(onOpenSignal), callbacks);
  g_signal_connect(application, "activate", G_CALLBACK(onActivateSignal), callbacks);
  return Role::Primary;
}

}  // namespace platform::ui
