#include "host/HBRURLSchemeHandler.h"

#include <gio/gio.h>
#include <glib.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "host/HBRPlugin.h"
#include "host/HBRViewController.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/MimeTypes.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Strings.h"
#include "platform/net/URLResponse.h"

namespace {

constexpr const char* kOctetStream = "application/octet-stream";

// The path with symbolic links resolved; the lexical form when it does not exist.
std::string realPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved)) return resolved;
  return platform::fs::normalizePath(path);
}

// Whether `path` may be served from below one of `roots`: lexically (no ".." climbs out)
// and after symbolic links are followed (no link leads out).
bool isServable(const std::string& path, const std::vector<std::string>& roots) {
  if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) return false;
  std::string normal = platform::fs::normalizePath(path);
  std::string real = realPath(normal);
  for (const std::string& root : roots) {
    if (root.empty()) continue;
    if (platform::fs::isInside(normal, root) && platform::fs::isInside(real, realPath(root)))
      return true;
  }
  return false;
}

std::string removeAll(std::string text, const std::string& part) {
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part))
    text.erase(at, part.size());
  return text;
}

// File contents, memory-mapped for media so large files are not copied twice.
struct FileData {
  std::string bytes;
  GMappedFile* mapped = nullptr;
  bool present = false;
  ~FileData() {
    if (mapped) g_mapped_file_unref(mapped);
  }
  std::string_view view() const {
    if (mapped) return {g_mapped_file_get_contents(mapped), g_mapped_file_get_length(mapped)};
    return bytes;
  }
};

void readFile(const std::string& path, bool media, FileData& out) {
  if (media) {
    GError* error = nullptr;
    out.mapped = g_mapped_file_new(path.c_str(), FALSE, &error);
    if (out.mapped && g_mapped_file_get_length(out.mapped) > 0) {
      out.present = true;
      return;
    }
    g_clear_error(&error);
    if (out.mapped) g_mapped_file_unref(out.mapped);
    out.mapped = nullptr;
  }
  if (platform::fs::isDirectory(path)) return;
  if (auto bytes = platform::fs::readFile(path)) {
    out.bytes = std::move(*bytes);
    out.present = true;
  }
}

}  // namespace

std::string HBRURLSchemeHandler::absolutePath(const std::string& path) {
  gchar* canonical = g_canonicalize_filename(path.c_str(), nullptr);
  std::string result = platform::fs::normalizePath(canonical);
  g_free(canonical);
  return result;
}

HBRURLSchemeHandler::HBRURLSchemeHandler(std::weak_ptr<HBRViewController> viewController)
    : viewController_(std::move(viewController)) {}

std::string HBRURLSchemeHandler::getMimeType(const std::string& extension) {
  if (extension.empty()) return "text/html";
  return platform::mimeTypeForExtension(extension).value_or(kOctetStream);
}

bool HBRURLSchemeHandler::isMediaExtension(const std::string& extension) {
  static const char* const kMedia[] = {"m4v", "mov",  "mp4", "aac", "ac3", "aiff",
                                       "au",  "flac", "m4a", "mp3", "wav"};
  std::string lowered = platform::asciiLower(extension);
  return std::any_of(std::begin(kMedia), std::end(kMedia),
                     [&](const char* m) { return lowered == m; });
}

std::optional<std::string> HBRURLSchemeHandler::filePathForURL(const platform::URL& url) const {
  auto vc = viewController();
  if (!vc) return std::nullopt;
  auto appScheme = vc->appScheme();
  // Only the application scheme names packaged files; any other scheme names nothing.
  if (!appScheme || !platform::equalsIgnoreCase(url.scheme(), *appScheme)) return std::nullopt;
  auto www = platform::Bundle::main().pathForResource(vc->wwwFolderName(), "");
  std::string path = url.path();
  // A path whose escapes do not decode names no file (rather than the start page).
  if (path.empty() && !url.encodedPath().empty() && url.encodedPath() != "/") return std::nullopt;

  if (platform::startsWith(path, kAppFilePrefix)) {
    std::string file = removeAll(path, kAppFilePrefix);
    std::vector<std::string> roots = {
        HBRURLSchemeHandler::absolutePath(platform::paths::dataRoot()),
        HBRURLSchemeHandler::absolutePath(platform::Bundle::main().bundlePath())};
    if (!isServable(file, roots)) {
      platform::log("Refused to serve " + file +
                    ": it lies outside the application package and data folder.");
      return std::nullopt;
    }
    return platform::fs::normalizePath(file);
  }

  if (!www) return std::nullopt;
  std::string root = absolutePath(*www);
  std::string file;
  if (path.empty() || url.pathExtension().empty()) {
    // Client-side routes have no extension: they all load the application's start page.
    std::string startPage = vc->startPage();
    startPage = startPage.substr(0, startPage.find_first_of("?#"));
    file = platform::fs::appendPath(root, startPage);
  } else {
    file = platform::fs::appendPath(root, path);
  }
  if (!isServable(file, {root})) {
    platform::log("Refused to serve " + path + ": it lies outside the web folder.");
    return std::nullopt;
  }
  return platform::fs::normalizePath(file);
}

void HBRURLSchemeHandler::startURLSchemeTask(
    platform::webkit::WebView&, const std::shared_ptr<platform::webkit::URLSchemeTask>& task) {
  if (!task) return;
  auto vc = viewController();
  const platform::URL& url = task->request().url();

  // Forget tasks that are gone, then let the plugins take this one.
  taken_.erase(std::remove_if(taken_.begin(), taken_.end(),
                              [](const TakenTask& t) { return t.task.expired(); }),
               taken_.end());
  if (vc) {
    for (const auto& plugin : vc->pluginSnapshot()) {
      std::optional<bool> took;
      try {
        took = plugin->overrideSchemeTask(task);
      } catch (...) {
        platform::log("ERROR: Plugin '" + plugin->className() + "' failed while asked to take " +
                      url.absoluteString());
      }
      if (took && *took) {
        taken_.push_back({task, plugin});
        return;
      }
    }
  }

  std::string extension = url.pathExtension();
  bool media = isMediaExtension(extension);
  FileData data;
  if (auto path = filePathForURL(url)) readFile(*path, media, data);

  const platform::URL& responseURL = url;
  std::string mime = getMimeType(extension);
  if (media && data.present) {
    std::string_view bytes = data.view();
    task->didReceiveResponse(platform::URLResponse(
        responseURL, mime, static_cast<std::int64_t>(bytes.size()), std::nullopt));
    task->didReceiveData(bytes);
  } else {
    task->didReceiveResponse(
        platform::URLResponse::http(responseURL, data.present ? 200 : 404,
                                    {{"Content-Type", mime}, {"Cache-Control", "no-cache"}}));
    if (data.present && !data.view().empty()) task->didReceiveData(data.view());
  }
  task->didFinish();
}

void HBRURLSchemeHandler::stopURLSchemeTask(
    platform::webkit::WebView&, const std::shared_ptr<platform::webkit::URLSchemeTask>& task) {
  auto it = std::find_if(taken_.begin(), taken_.end(), [&](const TakenTask& t) {
    return !t.task.expired() && t.task.lock() == task;
  });
  if (it == taken_.end()) return;
  auto plugin = it->plugin.lock();
  taken_.erase(it);
  if (plugin) plugin->stopSchemeTask(task);
}
