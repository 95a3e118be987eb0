#pragma once

#include <httplib.h>

#include <string>
#include <thread>

namespace e2e {

// A site on plain http on loopback whose one link answers 204, without a document: following
// it starts a navigation that never commits. Packages that follow it allow
// "http://127.0.0.1:*/*".
class NoContentSite {
 public:
  NoContentSite() {
    server_.Get("/nocontent", [](const httplib::Request&, httplib::Response& response) { response.status = 204; });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~NoContentSite() {
    server_.stop();
    thread_.join();
  }
  NoContentSite(const NoContentSite&) = delete;
  NoContentSite& operator=(const NoContentSite&) = delete;

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/nocontent"; }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
};

}  // namespace e2e
