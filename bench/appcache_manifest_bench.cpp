// A checkpoint of an application of 2,000 cached resources: the cache engine builds its cache
// manifest from the model, writes it atomically and stores its content hash, against libplist
// writing the same dictionary as XML to a temporary file with fsync and a rename. Alternating
// rounds; prints the medians, their spread and the ratio (engine / libplist; target at most
// 1.5).
//
//   appcache_manifest_bench [rounds]

#include <fcntl.h>
#include <plist/plist.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "appcache/VLFileChecksum.h"
#include "appcache/VLNativeCache.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"
#include "support/TestSupport.h"

namespace {

constexpr int kEntries = 2000;
using Clock = std::chrono::steady_clock;

plist_t toPlist(const platform::Value& value) {
  switch (value.type()) {
    case platform::Value::value_t::object: {
      plist_t dict = plist_new_dict();
      for (const auto& [key, item] : value.items())
        if (!item.is_null()) plist_dict_set_item(dict, key.c_str(), toPlist(item));
      return dict;
    }
    case platform::Value::value_t::array: {
      plist_t array = plist_new_array();
      for (const auto& item : value)
        if (!item.is_null()) plist_array_append_item(array, toPlist(item));
      return array;
    }
    case platform::Value::value_t::string:
      return plist_new_string(value.get_ref<const std::string&>().c_str());
    case platform::Value::value_t::boolean:
      return plist_new_bool(value.get<bool>());
    case platform::Value::value_t::number_float:
      return plist_new_real(value.get<double>());
    default:
      return plist_new_uint(static_cast<uint64_t>(value.get<std::int64_t>()));
  }
}

// libplist: the dictionary to XML, written next to the target, fsync'ed and renamed.
void writeWithLibplist(const platform::Value& manifest, const std::string& path) {
  plist_t root = toPlist(manifest);
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(root, &xml, &length);
  const std::string temporary = path + ".tmp";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || ::write(fd, xml, length) != static_cast<ssize_t>(length) || ::fsync(fd) != 0) {
    std::fprintf(stderr, "libplist write failed\n");
    std::exit(1);
  }
  ::close(fd);
  ::rename(temporary.c_str(), path.c_str());
  free(xml);
  plist_free(root);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 9;
  testing_support::ScopedDataRoot root;

  auto engine = VLNativeCache::make(true, 0, 0);
  engine->setCurrentApplication("example.com", "app");
  const std::string key = VLNativeCache::keyForHostname("example.com", "app");
  auto app = engine->applicationCache(key);
  auto frame = VLCacheResources::initForHostname("example.com", "app", "v1", false, {});
  platform::Value list = platform::Value::array();
  platform::Value maps = platform::Value::object();
  for (int i = 0; i < kEntries; ++i) {
    char path[40];
    std::snprintf(path, sizeof path, "/app/scripts/f%04d.js", i);
    list.push_back(std::string(path) + "?" + VLFileChecksum::contentHashOfData(path));
    if (i % 4 == 0) maps[std::string(path).replace(0, 12, "/app")] = list.back();
  }
  frame->populateCacheEntriesForResourcePool({}, nullptr, list, maps, nullptr);
  for (const auto& [url, entry] : frame->cacheEntries()) {
    entry->addCacheVersion("v1");
    entry->setStatus(VLCacheEntryStatusAvailable);
  }
  frame->setStatus(VLCacheFrameStatusComplete);
  app->addCacheFrame(frame);
  app->swapCache(frame);

  const std::string baselinePath = root.file("baseline.plist");
  const platform::Value manifest = engine->createCacheManifest();
  std::vector<double> ours, theirs;
  for (int round = 0; round < rounds + 1; ++round) {
    auto start = Clock::now();
    engine->createCheckPointForApplicationCache(app);
    double engineSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    start = Clock::now();
    writeWithLibplist(manifest, baselinePath);
    double libplistSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (round == 0) continue;  // warm-up
    ours.push_back(engineSeconds * 1000);
    theirs.push_back(libplistSeconds * 1000);
  }
  auto spread = [](const std::vector<double>& v) {
    return *std::max_element(v.begin(), v.end()) - *std::min_element(v.begin(), v.end());
  };
  {
    // Where a checkpoint's time goes, once.
    auto t0 = Clock::now();
    platform::Value built = engine->createCacheManifest();
    auto t1 = Clock::now();
    std::string xml = platform::serializePropertyListXML(built);
    auto t2 = Clock::now();
    std::string hash = VLFileChecksum::contentHashOfData(xml);
    auto t3 = Clock::now();
    platform::fs::writeFileAtomically(root.file("probe.plist"), xml);
    auto t4 = Clock::now();
    platform::UserDefaults::standard().setValues({{"probe", hash}});
    auto t5 = Clock::now();
    auto ms = [](auto a, auto b) { return std::chrono::duration<double>(b - a).count() * 1000; };
    std::printf("build %.2f ms, XML %.2f ms, hash %.2f ms, file %.2f ms, defaults %.2f ms "
                "(%zu bytes)\n",
                ms(t0, t1), ms(t1, t2), ms(t2, t3), ms(t3, t4), ms(t4, t5), xml.size());
  }
  std::printf("checkpoint of %d entries, %d rounds\n", kEntries, rounds);
  std::printf("engine:   median %.2f ms (spread %.2f ms)\n", median(ours), spread(ours));
  std::printf("libplist: median %.2f ms (spread %.2f ms)\n", median(theirs), spread(theirs));
  std::printf("ratio engine/libplist: %.2f (target <= 1.5)\n", median(ours) / median(theirs));
  return 0;
}
