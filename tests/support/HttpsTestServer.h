#pragma once

#include <httplib.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// A real HTTPS server on 127.0.0.1 (a free port) for tests of anything that loads URLs. Its
// certificate comes from the process's TestCertificateAuthority, which the constructor makes
// the platform trust (platform::net::setAdditionalTrustedCAFile); certificate checks stay on.
// The certificate names both 127.0.0.1 and localhost, so a test can cross hosts.
//
// A test writes handlers with `on`, at any time, and reads back what arrived. Requests
// without a handler get 404.
class HttpsTestServer {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  struct RecordedRequest {
    std::string method;
    std::string path;  // without the query
    std::map<std::string, std::string> query;
    httplib::Headers headers;  // names compared ignoring case
    std::string body;
    int remotePort = 0;

    std::string header(const std::string& name) const;
    bool hasHeader(const std::string& name) const { return headers.find(name) != headers.end(); }
  };

  // Which certificate the server shows: one naming 127.0.0.1 and localhost, or one from the
  // same authority naming only another host (a host-name mismatch).
  enum class Certificate { Loopback, OtherHost };

  explicit HttpsTestServer(Certificate certificate = Certificate::Loopback);
  ~HttpsTestServer();
  HttpsTestServer(const HttpsTestServer&) = delete;
  HttpsTestServer& operator=(const HttpsTestServer&) = delete;

  // Answers `method` ("GET", "POST", ...; HEAD is answered by the GET handler) on the exact
  // `path`. Handlers run on the server's threads.
  void on(const std::string& method, const std::string& path, Handler handler);

  int port() const { return port_; }
  // "https://127.0.0.1:<port><path>" and "https://localhost:<port><path>".
  std::string url(const std::string& path) const;
  std::string localhostURL(const std::string& path) const;

  size_t requestCount() const;
  size_t requestCount(const std::string& path) const;
  // The most requests that were being handled at one moment.
  int peakConcurrentRequests() const { return peakConcurrent_.load(); }
  std::vector<RecordedRequest> requests() const;
  std::optional<RecordedRequest> lastRequest(const std::string& path) const;

  const std::string& caFile() const;

 private:
  void dispatch(const httplib::Request& request, httplib::Response& response);

  std::unique_ptr<httplib::SSLServer> server_;
  std::thread thread_;
  int port_ = 0;

  mutable std::mutex mutex_;
  std::map<std::pair<std::string, std::string>, Handler> handlers_;
  std::vector<RecordedRequest> requests_;
  std::atomic<int> inFlight_{0};
  std::atomic<int> peakConcurrent_{0};
};

// A handler that answers 200 with `body` as `type`.
inline HttpsTestServer::Handler answer(std::string body, std::string type = "text/plain") {
  return [body = std::move(body), type = std::move(type)](const httplib::Request&,
                                                          httplib::Response& response) {
    response.set_content(body, type);
  };
}

}  // namespace testing_support
