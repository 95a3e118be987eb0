#pragma once

#include <map>
#include <string>
#include <utility>

#include "appcache/VLFileChecksum.h"
#include "platform/foundation/Value.h"
#include "support/HttpsTestServer.h"

namespace e2e {

// Serves `files` under /shop/ and answers the resource list and mappings that name them by
// their content hash.
inline std::pair<platform::Value, platform::Value> serveVersion(
    testing_support::HttpsTestServer& server, const std::map<std::string, std::string>& files) {
  platform::Value resources = platform::Value::array(), maps = platform::Value::object();
  for (const auto& [name, content] : files) {
    const std::string path = "/shop/" + name;
    server.on("GET", path, [content, name](const httplib::Request&, httplib::Response& response) {
      response.set_content(content, name.ends_with(".html") ? "text/html" : "text/javascript");
    });
    const std::string url = path + "?" + VLFileChecksum::contentHashOfData(content);
    resources.push_back(url);
    maps[path] = url;
  }
  return {resources, maps};
}

}  // namespace e2e
