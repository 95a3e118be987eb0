#include "support/HttpsTestServer.h"

#include <stdexcept>

#include "platform/net/TLSTrust.h"
#include "support/TestCertificateAuthority.h"
#include "support/TestSupport.h"

namespace testing_support {

std::string HttpsTestServer::RecordedRequest::header(const std::string& name) const {
  auto found = headers.find(name);
  return found == headers.end() ? std::string() : found->second;
}

HttpsTestServer::HttpsTestServer(Certificate certificate) {
  const auto& authority = TestCertificateAuthority::shared();
  platform::net::setAdditionalTrustedCAFile(authority.caCertificateFile());
  const std::string& certificateFile = certificate == Certificate::Loopback
                                           ? authority.serverCertificateFile()
                                           : authority.otherHostCertificateFile();
  server_ = std::make_unique<httplib::SSLServer>(certificateFile.c_str(),
                                                 authority.serverKeyFile().c_str());
  if (!server_->is_valid()) throw std::runtime_error("HttpsTestServer: the TLS set-up failed");
  // Idle keep-alive connections hold a server thread; a short wait lets the server stop soon
  // after the last client went away.
  server_->set_keep_alive_timeout(1);
  auto handler = [this](const httplib::Request& request, httplib::Response& response) {
    dispatch(request, response);
  };
  server_->Get(".*", handler);
  server_->Post(".*", handler);
  server_->Put(".*", handler);
  server_->Patch(".*", handler);
  server_->Delete(".*", handler);
  server_->Options(".*", handler);
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("HttpsTestServer: cannot bind to 127.0.0.1");
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  waitUntil([this] { return server_->is_running(); }, 5);
}

HttpsTestServer::~HttpsTestServer() {
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

void HttpsTestServer::on(const std::string& method, const std::string& path, Handler handler) {
  std::lock_guard lock(mutex_);
  handlers_[{method, path}] = std::move(handler);
}

std::string HttpsTestServer::url(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(port_) + path;
}

std::string HttpsTestServer::localhostURL(const std::string& path) const {
  return "https://localhost:" + std::to_string(port_) + path;
}

size_t HttpsTestServer::requestCount() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}

size_t HttpsTestServer::requestCount(const std::string& path) const {
  std::lock_guard lock(mutex_);
  size_t count = 0;
  for (const auto& request : requests_)
    if (request.path == path) ++count;
  return count;
}

std::vector<HttpsTestServer::RecordedRequest> HttpsTestServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::optional<HttpsTestServer::RecordedRequest> HttpsTestServer::lastRequest(
    const std::string& path) const {
  std::lock_guard lock(mutex_);
  for (auto it = requests_.rbegin(); it != requests_.rend(); ++it)
    if (it->path == path) return *it;
  return std::nullopt;
}

const std::string& HttpsTestServer::caFile() const {
  return TestCertificateAuthority::shared().caCertificateFile();
}

void HttpsTestServer::dispatch(const httplib::Request& request, httplib::Response& response) {
  int now = ++inFlight_;
  int peak = peakConcurrent_.load();
  while (now > peak && !peakConcurrent_.compare_exchange_weak(peak, now)) {
  }
  struct Leave {
    std::atomic<int>& count;
    ~Leave() { --count; }
  } leave{inFlight_};

  RecordedRequest recorded;
  recorded.method = request.method;
  recorded.path = request.path;
  for (const auto& [name, value] : request.params) recorded.query[name] = value;
  recorded.headers = request.headers;
  recorded.body = request.body;
  recorded.remotePort = request.remote_port;
  Handler handler;
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(recorded);
    std::string method = request.method == "HEAD" ? "GET" : request.method;
    auto found = handlers_.find({method, request.path});
    if (found != handlers_.end()) handler = found->second;
  }
  if (handler) {
    handler(request, response);
  } else {
    response.status = 404;
    response.set_content("no handler for " + request.method + " " + request.path, "text/plain");
  }
}

}  // namespace testing_support
