#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

// Resident memory of this process and every process below it (WebKit's web, network and
// sandbox processes), summed, in KiB: now and at each process's own peak.
struct ProcessTreeMemory {
  long residentKiB = 0;
  long peakKiB = 0;
  int processes = 0;
};

inline ProcessTreeMemory measureProcessTreeMemory() {
  std::map<long, std::vector<long>> children;
  if (DIR* proc = opendir("/proc")) {
    while (dirent* entry = readdir(proc)) {
      char* end = nullptr;
      long pid = std::strtol(entry->d_name, &end, 10);
      if (!end || *end || pid <= 0) continue;
      char path[64];
      std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
      FILE* file = std::fopen(path, "r");
      if (!file) continue;
      char line[1024];
      size_t length = std::fread(line, 1, sizeof line - 1, file);
      std::fclose(file);
      line[length] = 0;
      // The name in parentheses may hold anything; the parent follows the last ')'.
      const char* close = std::strrchr(line, ')');
      long parent = 0;
      char state = 0;
      if (close && std::sscanf(close + 1, " %c %ld", &state, &parent) == 2) children[parent].push_back(pid);
    }
    closedir(proc);
  }
  ProcessTreeMemory memory;
  std::vector<long> pending{static_cast<long>(getpid())};
  while (!pending.empty()) {
    long pid = pending.back();
    pending.pop_back();
    for (long child : children[pid]) pending.push_back(child);
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/status", pid);
    FILE* file = std::fopen(path, "r");
    if (!file) continue;
    ++memory.processes;
    char line[256];
    while (std::fgets(line, sizeof line, file)) {
      long kib = 0;
      if (std::sscanf(line, "VmRSS: %ld", &kib) == 1) memory.residentKiB += kib;
      if (std::sscanf(line, "VmHWM: %ld", &kib) == 1) memory.peakKiB += kib;
    }
    std::fclose(file);
  }
  return memory;
}
