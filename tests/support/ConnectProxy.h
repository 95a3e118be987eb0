#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// A small HTTP proxy on 127.0.0.1 (a free port) that tunnels CONNECT requests to a port on
// 127.0.0.1 and nothing else: a request for any other host, or any other method, gets 403.
// Its CONNECT reply carries header fields of its own (a "Set-Cookie" among them), so a test
// can tell whether the proxy's reply was taken for the origin's response.
//
// While a ScopedProxyEnvironment lives, libcurl sends https:// requests of the process through
// the proxy.
class ConnectProxy {
 public:
  ConnectProxy();
  ~ConnectProxy();
  ConnectProxy(const ConnectProxy&) = delete;
  ConnectProxy& operator=(const ConnectProxy&) = delete;

  int port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // The "host:port" targets of the tunnels opened so far.
  std::vector<std::string> tunnels() const;

  // The fields of every CONNECT reply.
  static constexpr const char* kReplyFields =
      "Set-Cookie: proxy=tunnel; Path=/\r\nX-Proxy: connect-reply\r\n";

 private:
  void acceptLoop();
  void serve(int client);

  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptThread_;
  mutable std::mutex mutex_;
  std::vector<std::thread> connections_;
  std::vector<std::string> tunnels_;
};

// Points the proxy environment of the process ("https_proxy", no "no_proxy") at `proxyURL`
// and puts back what was there before. Make sessions only while it lives.
class ScopedProxyEnvironment {
 public:
  explicit ScopedProxyEnvironment(const std::string& proxyURL);
  ~ScopedProxyEnvironment();
  ScopedProxyEnvironment(const ScopedProxyEnvironment&) = delete;
  ScopedProxyEnvironment& operator=(const ScopedProxyEnvironment&) = delete;

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace testing_support
