// Media of the application's own schemes in the real shell: WebKit's media player reads them
// through the shell's media endpoint, which hands each request to the web view's scheme
// handler. A player library plays, seeks and shows captions in "app:" and "veltro"; a clip
// larger than the memory bound plays and seeks while the shell's memory stays bounded; both
// schemes play in WebKit's sandbox; the endpoint answers nothing without its secret and nothing
// once the page left the application.
#include <httplib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "e2e/E2EShell.h"
#include "support/HttpsTestServer.h"
#include "support/TestCertificateAuthority.h"

namespace e2e {
namespace {

// Makes `name` in the clip folder once (written aside and renamed, so tests running side by
// side never see half a clip), and answers its path.
std::string clip(const std::string& name, const std::string& pipeline) {
  std::string folder = VELTRO_E2E_MEDIA_CLIPS;
  std::string path = folder + "/" + name;
  if (std::filesystem::exists(path)) return path;
  std::filesystem::create_directories(folder);
  std::string partial = path + ".part-" + std::to_string(getpid());
  std::string command = "gst-launch-1.0 -q " + pipeline + " ! webmmux ! filesink location='" + partial + "' > /dev/null 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  std::filesystem::rename(partial, path);
  return path;
}

// Five seconds of small video.
std::string smallClip() {
  return clip("small.webm", "videotestsrc num-buffers=150 ! video/x-raw,width=160,height=120,framerate=30/1 ! "
                            "vp8enc deadline=1");
}

// Thirty seconds of video noise, each frame kept nearly whole: 200 MiB and more.
constexpr std::uintmax_t kBigClipBytes = 200u << 20;
std::string bigClip() {
  std::string path = clip("big.webm", "videotestsrc pattern=snow num-buffers=900 ! "
                                      "video/x-raw,width=640,height=480,framerate=30/1 ! vp8enc deadline=1 cpu-used=16 "
                                      "target-bitrate=200000000 min-quantizer=0 max-quantizer=4 keyframe-max-dist=30");
  EXPECT_GT(std::filesystem::file_size(path), kBigClipBytes);
  return path;
}

void placeFile(const std::string& from, const std::string& to) {
  std::error_code error;
  std::filesystem::create_hard_link(from, to, error);
  if (error) std::filesystem::copy_file(from, to);
}

// The status of a GET of `path` on the media endpoint's socket.
int endpointStatus(const std::string& socketPath, const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path) {
    ::close(fd);
    return -1;
  }
  std::copy(socketPath.begin(), socketPath.end(), address.sun_path);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  std::string request = "GET " + path + " HTTP/1.1\r\nHost: localhost\r\nRange: bytes=0-\r\nConnection: close\r\n\r\n";
  (void)!::write(fd, request.data(), request.size());
  char head[64] = {};
  ssize_t got = ::read(fd, head, sizeof head - 1);
  ::close(fd);
  if (got < 12) return -1;
  return std::atoi(head + 9);
}

// The processes below `ancestor`, each with its name.
std::vector<std::pair<pid_t, std::string>> descendants(pid_t ancestor) {
  std::map<pid_t, std::vector<pid_t>> children;
  std::map<pid_t, std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream status(entry.path() / "status");
    std::string name;
    pid_t parent = 0;
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("Name:", 0) == 0) name = line.substr(line.find_first_not_of(" \t", 5));
      if (line.rfind("PPid:", 0) == 0) parent = std::atoi(line.c_str() + 5);
    }
    children[parent].push_back(std::atoi(pid.c_str()));
    names[std::atoi(pid.c_str())] = name;
  }
  std::vector<std::pair<pid_t, std::string>> found;
  std::vector<pid_t> pending{ancestor};
  while (!pending.empty()) {
    pid_t pid = pending.back();
    pending.pop_back();
    for (pid_t child : children[pid]) {
      found.emplace_back(child, names[child]);
      pending.push_back(child);
    }
  }
  return found;
}

// The variable `name` in the environment a process below `ancestor` (the shell's web or
// network process, or the sandbox that runs one) was started with.
std::string childEnvironment(pid_t ancestor, const std::string& name) {
  for (const auto& [pid, processName] : descendants(ancestor)) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    for (std::string variable; std::getline(in, variable, '\0');)
      if (variable.rfind(name + "=", 0) == 0) return variable.substr(name.size() + 1);
  }
  return {};
}

std::string namespaceOf(pid_t pid, const char* kind) {
  std::error_code error;
  auto target = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/ns/" + kind, error);
  return error ? std::string() : target.string();
}

class MediaE2E : public E2E {
 protected:
  // The media package under `scheme` ("app" or "veltro"); for "veltro" the test's HTTPS server
  // serves its files, ranges included, as the application's server would.
  std::string package(const std::string& scheme, bool big = false, const std::string& extraConfig = "") {
    std::string package = temp_.file("media-" + scheme);
    std::filesystem::create_directories(package);
    std::filesystem::copy(VELTRO_E2E_MEDIA_WWW, package + "/www", std::filesystem::copy_options::recursive);
    std::filesystem::copy(std::string(VELTRO_EXAMPLE_PACKAGE) + "/www/harbor.js", package + "/www/harbor.js");
    std::filesystem::copy(std::string(VELTRO_EXAMPLE_PACKAGE) + "/Info.plist", package + "/Info.plist");
    placeFile(smallClip(), package + "/www/clip.webm");
    if (big) placeFile(bigClip(), package + "/www/big.webm");
    std::string content = "index.html";
    std::string veltro;
    if (scheme == "veltro") {
      server_ = std::make_unique<testing_support::HttpsTestServer>();
      std::string host = "127.0.0.1:" + std::to_string(server_->port());
      for (const auto& entry : std::filesystem::directory_iterator(package + "/www")) {
        std::string name = entry.path().filename().string();
        auto content = std::make_shared<std::string>(readText(entry.path().string()));
        std::string type = name.ends_with(".html") ? "text/html"
                           : name.ends_with(".js") ? "text/javascript"
                           : name.ends_with(".vtt") ? "text/vtt"
                                                    : "video/webm";
        server_->on("GET", "/shop/" + name, [content, type](const httplib::Request&, httplib::Response& response) {
          response.set_content(*content, type);
        });
      }
      content = "veltro://" + host + "/shop/index.html";
      veltro = "<preference name=\"HarborWebViewEngine\" value=\"VLWKWebViewEngine\"/>"
               "<preference name=\"DefaultHostname\" value=\"" + host + "\"/>"
               "<preference name=\"DefaultApplicationURL\" value=\"shop\"/>";
    }
    writeText(package + "/config.xml",
              "<?xml version='1.0' encoding='utf-8'?><widget id=\"com.veltro.e2e.media\" version=\"1.0.0\">"
              "<content src=\"" + content + "\"/><preference name=\"scheme\" value=\"app\"/>" + veltro +
              "<preference name=\"SplashScreenDelay\" value=\"0\"/>"
              "<preference name=\"AllowInlineMediaPlayback\" value=\"true\"/>" + extraConfig +
              "<feature name=\"Report\"><param name=\"ios-package\" value=\"E2EReport\"/></feature></widget>");
    return package;
  }

  std::vector<std::string> environment(const std::string& mode) const {
    return {"VELTRO_E2E_MEDIA_MODE=" + mode,
            "VELTRO_EXTRA_CA_FILE=" + testing_support::TestCertificateAuthority::shared().caCertificateFile()};
  }

  void expectLibraryPlayed(const Value& found) {
    for (const char* element : {"markup", "property", "sources", "frame"}) {
      EXPECT_PICKED(found[element], R"({"steps": ["metadata", "playing", "seeked"], "duration": 5, "source": "clip.webm"})")
          << element << "\n" << found.dump(2);
    }
    EXPECT_EQ(found["cue"], "Hello from the captions") << found.dump(2);
    EXPECT_EQ(found["canPlay"], "probably") << found.dump(2);
  }

  void expectBigPlayed(const Value& found, const ProgramRun& run) {
    EXPECT_PICKED(found["big"], R"({"steps": ["metadata", "seeked", "played", "seeked", "played"], "duration": 30})")
        << run.output;
  }

  std::unique_ptr<testing_support::HttpsTestServer> server_;
};

// A player library that makes its elements from script (createElement, `src` as a property,
// <source> children, canPlayType first), adopts an element of the markup and plays in a frame
// of the application's origin: each element plays and seeks, and a caption becomes active.
TEST_F(MediaE2E, APlayerLibraryPlaysSeeksAndShowsCaptionsUnderTheApplicationScheme) {
  ProgramRun run;
  Value found = runPackage(VELTRO_SHELL_SCHEME, package("app"), run, environment("library"), {}, 120);
  ASSERT_TRUE(found.is_object()) << run.output;
  expectLibraryPlayed(found);
}

TEST_F(MediaE2E, APlayerLibraryPlaysSeeksAndShowsCaptionsUnderVeltro) {
  ProgramRun run;
  Value found = runPackage(VELTRO_SHELL_SCHEME, package("veltro"), run, environment("library"), {}, 120);
  ASSERT_TRUE(found.is_object()) << run.output;
  expectLibraryPlayed(found);
}

// A packaged clip of more than 200 MiB plays and seeks twice; the shell's resident memory rises
// by far less than the clip: it is read as the player goes, never held.
TEST_F(MediaE2E, ALargePackagedClipPlaysAndSeeksWhileTheShellsMemoryStaysBounded) {
  ProgramRun run;
  std::vector<std::string> env = environment("big");
  env.push_back("VELTRO_E2E_MEDIA_SECONDS=6");
  Value found = runPackage(VELTRO_SHELL_SCHEME, package("app", true), run, env, {}, 180);
  ASSERT_TRUE(found.is_object()) << run.output;
  expectBigPlayed(found, run);
  double risenMiB = (found["memory"]["peak"].get<double>() - found["memory"]["before"].get<double>()) / 1024;
  EXPECT_LT(risenMiB, 128) << found.dump(2);
}

// The same clip from the application's server under "veltro" starts and seeks twice: the
// player gets the data at each position it seeks to. Moving on from there is not asked: from
// the server, the source asks the endpoint again about once a frame (each request starting a
// frame past the last), and playing creeps far slower than the clip's own pace; from the cache
// it keeps pace (bench/media_webview_bench.sh).
TEST_F(MediaE2E, ALargeClipPlaysAndSeeksUnderVeltro) {
  ProgramRun run;
  std::vector<std::string> env = environment("big");
  env.push_back("VELTRO_E2E_MEDIA_SECONDS=6");
  Value found = runPackage(VELTRO_SHELL_SCHEME, package("veltro", true), run, env, {}, 180);
  ASSERT_TRUE(found.is_object()) << run.output;
  ASSERT_TRUE(found["big"].is_object()) << found.dump(2) << run.output;
  std::vector<std::string> steps;
  for (const auto& step : found["big"]["steps"])
    if (step != "played") steps.push_back(step.get<std::string>());
  EXPECT_EQ(steps, (std::vector<std::string>{"metadata", "seeked", "seeked"})) << found.dump(2);
  EXPECT_EQ(found["big"]["duration"], 30) << found.dump(2);
}

// The web process runs in WebKit's sandbox (bubblewrap), in a network of its own where the
// shell's loopback cannot be reached, and media of both schemes play there: the source reaches
// the shell through the socket's folder, which the sandbox is given.
TEST_F(MediaE2E, MediaOfBothSchemesPlaysInWebKitsSandbox) {
  for (const char* scheme : {"app", "veltro"}) {
    SCOPED_TRACE(scheme);
    std::string report = temp_.file(std::string("stay-") + scheme + ".json");
    std::string log = temp_.file(std::string("stay-") + scheme + ".log");
    std::vector<std::string> env = environment("stay");
    env.push_back("VELTRO_E2E_REPORT=" + report);
    pid_t pid = startShell(VELTRO_SHELL_SCHEME, {"--data-root", temp_.file(std::string("data-") + scheme), package(scheme)},
                           env, log);
    bool reported = testing_support::waitUntil([&] { return !readText(report).empty(); }, 90);
    // While the page is still there: the web process and what runs it.
    pid_t webProcess = 0;
    bool belowSandbox = false;
    for (const auto& [child, name] : descendants(pid)) {
      if (name == "bwrap") belowSandbox = true;
      if (name.rfind("WebKitWebProces", 0) == 0) webProcess = child;
    }
    std::string shellNetwork = namespaceOf(pid, "net");
    std::string webNetwork = webProcess ? namespaceOf(webProcess, "net") : "";
    stopProgram(pid);

    ASSERT_TRUE(reported) << readText(log);
    Value found = Value::parse(readText(report), nullptr, false);
    EXPECT_PICKED(found["played"], R"({"steps": ["metadata", "playing", "seeked"], "duration": 5})")
        << found.dump(2) << readText(log);
    ASSERT_NE(webProcess, 0) << "no web process below the shell";
    EXPECT_TRUE(belowSandbox) << "the web process does not run in bubblewrap";
    EXPECT_FALSE(webNetwork.empty());
    EXPECT_NE(webNetwork, shellNetwork) << "the web process shares the shell's network";
  }
}

// A unix socket at `path`, listening or (closed at once) left for nobody; answers its descriptor.
int socketAt(const std::string& path, bool listening) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::copy(path.begin(), path.end(), address.sun_path);
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
  if (listening) {
    ::listen(fd, 4);
    return fd;
  }
  ::close(fd);
  return -1;
}

// The endpoint's socket goes in the user's runtime folder. A shell that was killed leaves its
// socket's folder behind; the next shell removes it, and keeps the folder of an endpoint that
// still listens.
TEST_F(MediaE2E, TheNextShellRemovesTheSocketFolderAKilledShellLeft) {
  std::string runtime = temp_.file("runtime");
  std::filesystem::create_directories(runtime);
  std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
  std::string left = runtime + "/veltro-media-left01", live = runtime + "/veltro-media-live01";
  ::mkdir(left.c_str(), 0700);
  ::mkdir(live.c_str(), 0700);
  socketAt(left + "/endpoint", false);
  int listening = socketAt(live + "/endpoint", true);
  // Both made two minutes ago.
  timespec old[2] = {{::time(nullptr) - 120, 0}, {::time(nullptr) - 120, 0}};
  ::utimensat(AT_FDCWD, left.c_str(), old, 0);
  ::utimensat(AT_FDCWD, live.c_str(), old, 0);

  std::string report = temp_.file("stay.json"), log = temp_.file("stay.log");
  std::vector<std::string> env = environment("stay");
  env.push_back("VELTRO_E2E_REPORT=" + report);
  env.push_back("XDG_RUNTIME_DIR=" + runtime);
  pid_t pid = startShell(VELTRO_SHELL_SCHEME, {"--data-root", temp_.file("data"), package("app")}, env, log);
  bool reported = testing_support::waitUntil([&] { return !readText(report).empty(); }, 60);
  std::string socket = childEnvironment(pid, "VELTRO_MEDIA_SOCKET");
  stopProgram(pid);
  ::close(listening);

  ASSERT_TRUE(reported) << readText(log);
  EXPECT_EQ(socket.rfind(runtime + "/veltro-media-", 0), 0u) << socket;
  EXPECT_FALSE(std::filesystem::exists(left));
  EXPECT_TRUE(std::filesystem::exists(live + "/endpoint"));
}

// Once the top frame shows another origin, no media of the application's scheme is answered,
// neither to that page's own <video> nor to a request that has the secret; without the secret
// nothing is answered at any time.
TEST_F(MediaE2E, MediaIsRefusedWithoutTheSecretAndOnceThePageLeftTheApplication) {
  httplib::Server foreign;
  foreign.Get("/foreign.html", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("<!DOCTYPE html><video muted autoplay src=\"app://localhost/clip.webm\"></video>",
                         "text/html");
  });
  int foreignPort = foreign.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { foreign.listen_after_bind(); });
  std::string package = this->package("app", false,
                                      "<allow-navigation href=\"http://127.0.0.1:*/*\"/>"
                                      "<feature name=\"IntentAndNavigationFilter\"><param name=\"ios-package\" "
                                      "value=\"HBRIntentAndNavigationFilter\"/><param name=\"onload\" value=\"true\"/>"
                                      "</feature>");
  std::string report = temp_.file("report.json");
  std::string log = temp_.file("leave.log");
  std::vector<std::string> env = environment("leave");
  env.push_back("VELTRO_E2E_FOREIGN_URL=http://127.0.0.1:" + std::to_string(foreignPort) + "/foreign.html");
  env.push_back("VELTRO_E2E_REPORT=" + report);
  pid_t pid = startShell(VELTRO_SHELL_SCHEME, {"--data-root", temp_.file("data"), package}, env, log);

  bool reported = testing_support::waitUntil([&] { return !readText(report).empty(); }, 60);
  Value found = Value::parse(readText(report), nullptr, false);
  std::string socket = childEnvironment(pid, "VELTRO_MEDIA_SOCKET");
  std::string secret = childEnvironment(pid, "VELTRO_MEDIA_SECRET");
  std::string wrong = secret;
  if (!wrong.empty()) wrong[0] = wrong[0] == 'a' ? 'b' : 'a';
  int withoutSecret = endpointStatus(socket, "/app/localhost/clip.webm");
  int wrongSecret = endpointStatus(socket, "/" + wrong + "/app/localhost/clip.webm");
  int root = endpointStatus(socket, "/");
  // No other user reaches the socket: its folder is the user's alone.
  struct stat folder {};
  bool folderFound = ::stat(std::filesystem::path(socket).parent_path().c_str(), &folder) == 0;

  bool refused = outputContains(log, "Refused the media request for app://localhost/clip.webm: no page of "
                                     "app://localhost is the committed top document.", 30);
  int afterLeaving = endpointStatus(socket, "/" + secret + "/app/localhost/clip.webm");
  stopProgram(pid);
  foreign.stop();
  serving.join();

  ASSERT_TRUE(reported) << readText(log);
  EXPECT_PICKED(found["played"], R"({"steps": ["metadata", "playing", "seeked"], "duration": 5})") << found.dump(2);
  ASSERT_EQ(secret.size(), 64u) << socket;
  ASSERT_TRUE(folderFound) << socket;
  EXPECT_EQ(folder.st_mode & 0777, 0700u) << socket;
  EXPECT_EQ(folder.st_uid, ::geteuid());
  EXPECT_EQ(withoutSecret, 404);
  EXPECT_EQ(wrongSecret, 404);
  EXPECT_EQ(root, 404);
  EXPECT_NE(readText(log).find("Refused a media request without the media endpoint's secret"), std::string::npos)
      << readText(log);
  EXPECT_TRUE(refused) << readText(log);
  EXPECT_EQ(afterLeaving, 403);
}

}  // namespace
}  // namespace e2e
