#include "host/HBRURLSchemeHandler.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "host/HBRPlugin.h"
#include "host/HBRViewController.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/MimeTypes.h"
#include "platform/foundation/PackageFiles.h"
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

std::string removeAll(std::string text, const std::string& part) {
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part))
    text.erase(at, part.size());
  return text;
}

// A file opened for serving: a regular file only (a FIFO or device would block the reader or
// never end), checked on the open descriptor itself.
struct OpenedFile {
  int fd = -1;
  std::int64_t size = 0;
};

// A file of the web folder is the package's: platform::package opens it and decides on the
// descriptor whether it lies inside the package. A page-folder file is checked as a path
// first; `checkedRealPath` is where that path led then, and the descriptor must be that very
// file, so a link swapped in since then is not served.
OpenedFile openRegularFile(const std::string& path, const std::string& checkedRealPath, bool pageFile) {
  OpenedFile opened;
  // Non-blocking, so that opening a FIFO returns at once instead of waiting for a writer.
  platform::fs::ReadableFile file = pageFile ? platform::fs::ReadableFile::open(path) : platform::package::open(path);
  if (!file.isOpen()) {
    if (!pageFile && file.error() == EXDEV) platform::log(platform::package::refusal(path));
    return opened;
  }
  if (pageFile) {
    std::string real = file.realPath();
    if (real != checkedRealPath || !platform::paths::pageMayReach(real)) {
      platform::log("Refused to serve " + path + ": it changed after it was checked.");
      return opened;
    }
  }
  opened.size = static_cast<std::int64_t>(file.size());
  opened.fd = file.release();
  return opened;
}

bool parseNumber(std::string_view text, std::int64_t& out) {
  if (text.empty() || text.size() > 18) return false;
  out = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    out = out * 10 + (c - '0');
  }
  return true;
}

}  // namespace

std::optional<HBRURLSchemeHandler::ByteRange> HBRURLSchemeHandler::parseRange(const std::string& header,
                                                                               std::int64_t size,
                                                                               bool& satisfiable) {
  satisfiable = true;
  std::string text(platform::trim(header));
  if (!platform::startsWith(platform::asciiLower(text), "bytes=")) return std::nullopt;
  text = std::string(platform::trim(text.substr(6)));
  // Several ranges would need a multipart answer; the whole file serves them as well.
  if (text.find(',') != std::string::npos) return std::nullopt;
  size_t dash = text.find('-');
  if (dash == std::string::npos) return std::nullopt;
  std::string first(platform::trim(std::string_view(text).substr(0, dash)));
  std::string last(platform::trim(std::string_view(text).substr(dash + 1)));
  std::int64_t a = 0, b = 0;
  ByteRange range;
  if (first.empty()) {
    // The last b bytes.
    if (!parseNumber(last, b)) return std::nullopt;
    if (b == 0 || size == 0) {
      satisfiable = false;
      return std::nullopt;
    }
    range.offset = size > b ? size - b : 0;
    range.length = size - range.offset;
    return range;
  }
  if (!parseNumber(first, a)) return std::nullopt;
  if (!last.empty() && (!parseNumber(last, b) || b < a)) return std::nullopt;
  if (a >= size) {
    satisfiable = false;
    return std::nullopt;
  }
  std::int64_t end = last.empty() ? size - 1 : std::min(b, size - 1);
  range.offset = a;
  range.length = end - a + 1;
  return range;
}

std::string HBRURLSchemeHandler::absolutePath(const std::string& path) {
  gchar* canonical = g_canonicalize_filename(path.c_str(), nullptr);
  std::string result = platform::fs::normalizePath(canonical);
  g_free(canonical);
  return result;
}

void HBRURLSchemeHandler::addApplicationAnswerHeaders(platform::HTTPHeaders& headers) {
  auto set = [&](const char* name, const char* value) {
    headers.erase(std::remove_if(headers.begin(), headers.end(),
                                 [&](const auto& field) { return platform::equalsIgnoreCase(field.first, name); }),
                  headers.end());
    headers.emplace_back(name, value);
  };
  set("Cross-Origin-Resource-Policy", "same-origin");
  set("X-Content-Type-Options", "nosniff");
}

HBRURLSchemeHandler::HBRURLSchemeHandler(std::weak_ptr<HBRViewController> viewController)
    : viewController_(std::move(viewController)) {}

std::string HBRURLSchemeHandler::getMimeType(const std::string& extension) {
  if (extension.empty()) return "text/html";
  if (auto web = platform::webMimeTypeForExtension(extension)) return *web;
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
    if (!platform::paths::pageMayReach(file)) {
      platform::log("Refused to serve " + file +
                    ": it lies outside the application package and the page's folders.");
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
  // Where links lead is decided when the file is opened, on its descriptor.
  if (file.find('\0') != std::string::npos || !platform::fs::isInside(file, root)) {
    platform::log("Refused to serve " + path + ": it lies outside the web folder.");
    return std::nullopt;
  }
  return platform::fs::normalizePath(file);
}

void HBRURLSchemeHandler::startURLSchemeTask(
    platform::webkit::WebView& webView, const std::shared_ptr<platform::webkit::URLSchemeTask>& task) {
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

  serveFile(task, pageRule_ && pageRule_(webView, task->request()));
}

void HBRURLSchemeHandler::serveFile(const std::shared_ptr<platform::webkit::URLSchemeTask>& task,
                                    bool applicationPage) {
  const platform::URLRequest& request = task->request();
  const platform::URL& url = request.url();
  std::string mime = getMimeType(url.pathExtension());
  std::string method = platform::asciiUpper(request.httpMethod().empty() ? "GET" : request.httpMethod());
  auto answer = [task, url, mime](int status, platform::HTTPHeaders extra) {
    platform::HTTPHeaders headers{{"Content-Type", mime}, {"Cache-Control", "no-cache"}};
    headers.insert(headers.end(), extra.begin(), extra.end());
    addApplicationAnswerHeaders(headers);
    task->didReceiveResponse(platform::URLResponse::http(url, status, headers));
  };
  if (method != "GET" && method != "HEAD") {
    answer(405, {{"Allow", "GET, HEAD"}});
    task->didFinish();
    return;
  }
  // The device's files under the reserved prefix are the application page's own.
  if (!applicationPage && platform::startsWith(url.path(), kAppFilePrefix)) {
    platform::log("Refused " + url.absoluteString() + ": only the application's own page may load it.");
    answer(403, {});
    task->didFinish();
    return;
  }
  auto path = filePathForURL(url);
  if (!path) {
    answer(404, {});
    task->didFinish();
    return;
  }
  std::string rangeHeader = request.valueForHTTPHeaderField("Range").value_or("");
  bool head = method == "HEAD";
  // Opening and checking the file touch the disk: that happens on a worker thread, and the
  // answer goes out from the main thread.
  std::string file = *path;
  bool pageFile = platform::startsWith(url.path(), kAppFilePrefix);
  std::string checkedRealPath = pageFile ? realPath(file) : std::string();
  platform::DispatchQueue::global().async([task, file, checkedRealPath, pageFile, rangeHeader, head, answer] {
    OpenedFile opened = openRegularFile(file, checkedRealPath, pageFile);
    platform::MainLoop::post([task, opened, rangeHeader, head, answer] {
      if (opened.fd < 0) {
        answer(404, {});
        task->didFinish();
        return;
      }
      ByteRange range{0, opened.size};
      int status = 200;
      platform::HTTPHeaders headers{{"Accept-Ranges", "bytes"}};
      if (!rangeHeader.empty()) {
        bool satisfiable = true;
        if (auto asked = parseRange(rangeHeader, opened.size, satisfiable)) {
          range = *asked;
          status = 206;
          headers.emplace_back("Content-Range", platform::stringf(
              "bytes %lld-%lld/%lld", static_cast<long long>(range.offset),
              static_cast<long long>(range.offset + range.length - 1), static_cast<long long>(opened.size)));
        } else if (!satisfiable) {
          ::close(opened.fd);
          answer(416, {{"Content-Range", platform::stringf("bytes */%lld", static_cast<long long>(opened.size))}});
          task->didFinish();
          return;
        }
      }
      headers.emplace_back("Content-Length", std::to_string(range.length));
      answer(status, headers);
      if (head) {
        ::close(opened.fd);
        task->didFinish();
        return;
      }
      task->didReceiveFileBody(opened.fd, range.offset, range.length);
    });
  });
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
