#include "BenchNginx.h"

#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "platform/net/TLSTrust.h"
#include "support/TestCertificateAuthority.h"

namespace bench {

namespace stdfs = std::filesystem;

void fail(const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, message.c_str());
  std::exit(1);
}

int freePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    fail("cannot find a free port");
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

namespace {

bool accepts(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

pid_t spawn(const std::vector<std::string>& arguments) {
  pid_t pid = ::fork();
  if (pid < 0) fail("cannot fork");
  if (pid == 0) {
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    std::_Exit(127);
  }
  return pid;
}

bool run(const std::vector<std::string>& arguments) {
  int status = 0;
  ::waitpid(spawn(arguments), &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

Nginx::Nginx(const std::string& folder, const std::string& root, int port) {
  const auto& authority = testing_support::TestCertificateAuthority::shared();
  for (const char* sub : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
    stdfs::create_directories(folder + "/" + sub);
  std::ofstream conf(folder + "/nginx.conf");
  conf << "daemon off;\nmaster_process on;\nworker_processes 1;\n";
  if (::geteuid() == 0) conf << "user root root;\n";
  conf << "pid " << folder << "/nginx.pid;\nerror_log " << folder << "/error.log warn;\n"
       << "events { worker_connections 512; }\n"
       << "http {\n  access_log off;\n  sendfile on;\n  keepalive_requests 100000;\n"
       << "  default_type application/octet-stream;\n"
       // The pages' own files go with their types: a page served as a download never runs.
       << "  types { text/html html; text/javascript js; application/json json; text/css css; }\n"
       << "  client_body_temp_path " << folder << "/client_body;\n  proxy_temp_path " << folder
       << "/proxy;\n"
       << "  fastcgi_temp_path " << folder << "/fastcgi;\n  uwsgi_temp_path " << folder
       << "/uwsgi;\n"
       << "  scgi_temp_path " << folder << "/scgi;\n"
       << "  server {\n    listen 127.0.0.1:" << port << " ssl;\n"
       << "    ssl_certificate " << authority.serverCertificateFile() << ";\n"
       << "    ssl_certificate_key " << authority.serverKeyFile() << ";\n"
       << "    root " << root << ";\n  }\n}\n";
  conf.close();
  pid_ = spawn(
      {"nginx", "-p", folder + "/", "-e", folder + "/error.log", "-c", folder + "/nginx.conf"});
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!accepts(port) && std::chrono::steady_clock::now() < deadline) ::usleep(10000);
  if (!accepts(port)) fail("nginx did not start; see " + folder + "/error.log");
}

Nginx::~Nginx() {
  ::kill(pid_, SIGQUIT);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

Scratch::Scratch() {
  if (folder().empty()) fail("cannot make a temporary folder");
  // nginx's workers may run as another user; they need to read the files.
  stdfs::permissions(folder(), stdfs::perms::owner_all | stdfs::perms::group_read |
                                   stdfs::perms::group_exec | stdfs::perms::others_read |
                                   stdfs::perms::others_exec);
  stdfs::create_directories(root());
  platform::net::setAdditionalTrustedCAFile(
      testing_support::TestCertificateAuthority::shared().caCertificateFile());
}

std::vector<std::string> writeRandomFiles(const std::string& root, const char* nameFormat,
                                          int count) {
  std::mt19937 random(20240601);
  std::uniform_int_distribution<size_t> size(1024, 32 * 1024);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<std::string> contents;
  for (int i = 0; i < count; ++i) {
    std::string content(size(random), '\0');
    for (char& c : content) c = static_cast<char>(byte(random));
    char name[64];
    std::snprintf(name, sizeof name, nameFormat, i);
    std::string path = root + name;
    stdfs::create_directories(stdfs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
    contents.push_back(std::move(content));
  }
  return contents;
}

Spread spreadOf(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return {values[values.size() / 2], values.front(), values.back()};
}

std::string servedFileURL(int port, int i) {
  char path[64];
  std::snprintf(path, sizeof path, "https://127.0.0.1:%d/f%04d.bin", port, i);
  return path;
}

std::vector<std::string> servedFileURLs(int port, int count) {
  std::vector<std::string> urls;
  for (int i = 0; i < count; ++i) urls.push_back(servedFileURL(port, i));
  return urls;
}

double timeCurlParallel(const std::string& folder, const std::vector<std::string>& urls, int connections) {
  const std::string list = folder + "/urls.cfg";
  {
    std::ofstream out(list);
    for (const auto& url : urls) out << "url = \"" << url << "\"\noutput = \"/dev/null\"\n";
  }
  const auto& authority = testing_support::TestCertificateAuthority::shared();
  auto start = std::chrono::steady_clock::now();
  pid_t pid = spawn({"curl", "--silent", "--no-progress-meter", "--fail", "--parallel", "--parallel-max",
                     std::to_string(connections), "--cacert", authority.caCertificateFile(), "--config", list});
  int status = 0;
  ::waitpid(pid, &status, 0);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("curl failed");
  return seconds;
}

}  // namespace bench
