#pragma once

// What the network benchmarks share: a local nginx serving a folder over HTTPS with a
// certificate of the test certificate authority, child processes, and the statistics of
// alternating rounds.

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace bench {

// Prints "<program>: <message>" and exits 1.
[[noreturn]] void fail(const std::string& message);

int freePort();
// Starts a program (searched on PATH) and answers its process id.
pid_t spawn(const std::vector<std::string>& arguments);
// Runs a program to its end; true when it exits with 0.
bool run(const std::vector<std::string>& arguments);

// nginx on 127.0.0.1:<port>, serving `root`, with its configuration, logs and temporary
// folders in `folder`; stopped when the object goes.
class Nginx {
 public:
  Nginx(const std::string& folder, const std::string& root, int port);
  ~Nginx();
  Nginx(const Nginx&) = delete;
  Nginx& operator=(const Nginx&) = delete;

 private:
  pid_t pid_ = -1;
};

// A benchmark's scratch folder, removed at the end: the platform's data root is its "data"
// subfolder, nginx keeps its files in it and serves "www"; the test certificate authority is
// trusted by the URL sessions made afterwards.
class Scratch {
 public:
  Scratch();
  const std::string& folder() const { return dataRoot_.path(); }
  std::string root() const { return folder() + "/www"; }

 private:
  testing_support::ScopedDataRoot dataRoot_;
};

// Writes `count` files of 1 to 32 KiB of random bytes (sizes drawn evenly, fixed seed), named
// by `nameFormat` with the file's number ("/f%04d.bin") below `root`, and answers their
// contents.
std::vector<std::string> writeRandomFiles(const std::string& root, const char* nameFormat,
                                          int count);

// The URL of random file number `i` ("/f%04d.bin", as `writeRandomFiles` names them) on the
// local nginx at `port`.
std::string servedFileURL(int port, int i);
// The first `count` of those URLs.
std::vector<std::string> servedFileURLs(int port, int count);

// Fetches `urls` with `curl --parallel --parallel-max <connections>` (the URL list in a config
// file under `folder`), trusting the test certificate authority, and answers the seconds it
// took; a failed fetch ends the program.
double timeCurlParallel(const std::string& folder, const std::vector<std::string>& urls, int connections);

struct Spread {
  double median, low, high;
};
Spread spreadOf(std::vector<double> values);

}  // namespace bench
