#include "support/ConnectProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace testing_support {
namespace {

constexpr int kPollMilliseconds = 100;

bool sendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

bool sendAll(int fd, const std::string& text) { return sendAll(fd, text.data(), text.size()); }

int connectToLoopback(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

ConnectProxy::ConnectProxy() {
  listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (listener_ < 0) throw std::runtime_error("ConnectProxy: no socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 16) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(listener_);
    throw std::runtime_error("ConnectProxy: cannot listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

ConnectProxy::~ConnectProxy() {
  stopping_ = true;
  acceptThread_.join();
  ::close(listener_);
  std::vector<std::thread> connections;
  {
    std::lock_guard lock(mutex_);
    connections.swap(connections_);
  }
  for (auto& connection : connections) connection.join();
}

std::vector<std::string> ConnectProxy::tunnels() const {
  std::lock_guard lock(mutex_);
  return tunnels_;
}

void ConnectProxy::acceptLoop() {
  while (!stopping_) {
    pollfd waiting{listener_, POLLIN, 0};
    if (::poll(&waiting, 1, kPollMilliseconds) <= 0) continue;
    int client = ::accept(listener_, nullptr, nullptr);
    if (client < 0) continue;
    std::lock_guard lock(mutex_);
    connections_.emplace_back([this, client] { serve(client); });
  }
}

void ConnectProxy::serve(int client) {
  // The request head, up to its blank line; a tunnel starts only after it.
  std::string head;
  char buffer[16384];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 16384 && !stopping_) {
    pollfd waiting{client, POLLIN, 0};
    if (::poll(&waiting, 1, kPollMilliseconds) <= 0) continue;
    ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    head.append(buffer, static_cast<size_t>(got));
  }
  // "CONNECT 127.0.0.1:<port> HTTP/1.1": only loopback targets are tunnelled.
  std::string target;
  int port = 0;
  if (head.rfind("CONNECT ", 0) == 0) {
    target = head.substr(8, head.find(' ', 8) - 8);
    size_t colon = target.rfind(':');
    std::string host = colon == std::string::npos ? "" : target.substr(0, colon);
    if (host == "127.0.0.1" || host == "localhost")
      port = std::atoi(target.c_str() + colon + 1);
  }
  int upstream = port > 0 ? connectToLoopback(port) : -1;
  if (upstream < 0) {
    sendAll(client, "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    ::close(client);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    tunnels_.push_back(target);
  }
  size_t end = head.find("\r\n\r\n") + 4;
  bool open = sendAll(client, std::string("HTTP/1.1 200 Connection established\r\n") +
                                  kReplyFields + "\r\n") &&
              (end == head.size() || sendAll(upstream, head.substr(end)));
  while (open && !stopping_) {
    pollfd ends[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}};
    if (::poll(ends, 2, kPollMilliseconds) <= 0) continue;
    for (int i = 0; i < 2 && open; ++i) {
      if (!(ends[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t got = ::recv(ends[i].fd, buffer, sizeof buffer, 0);
      open = got > 0 && sendAll(ends[1 - i].fd, buffer, static_cast<size_t>(got));
    }
  }
  ::close(upstream);
  ::close(client);
}

ScopedProxyEnvironment::ScopedProxyEnvironment(const std::string& proxyURL) {
  for (const char* name : {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy",
                           "NO_PROXY"}) {
    const char* value = std::getenv(name);
    saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
    ::unsetenv(name);
  }
  ::setenv("https_proxy", proxyURL.c_str(), 1);
}

ScopedProxyEnvironment::~ScopedProxyEnvironment() {
  for (const auto& [name, value] : saved_) {
    if (value)
      ::setenv(name.c_str(), value->c_str(), 1);
    else
      ::unsetenv(name.c_str());
  }
}

}  // namespace testing_support
