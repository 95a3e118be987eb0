#pragma once

#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

// Memory of one process, in KiB. Resident memory is anonymous (heaps, stacks, the script
// engine's heaps), file-backed (the program and its libraries, as far as they were touched)
// and shared memory (WebKit's buffers between its processes); the proportional share (PSS)
// counts each page shared by several processes once in all.
struct ProcessMemory {
  std::string name;
  long residentKiB = 0;
  long anonymousKiB = 0;
  long fileKiB = 0;
  long sharedMemoryKiB = 0;
  long proportionalKiB = 0;
  long peakKiB = 0;
};

// Resident memory of this process and every process below it (WebKit's web, network and
// sandbox processes), summed, in KiB: now and at each process's own peak, with each process
// on its own.
struct ProcessTreeMemory {
  long residentKiB = 0;
  long peakKiB = 0;
  long anonymousKiB = 0;
  long proportionalKiB = 0;
  int processes = 0;
  std::vector<ProcessMemory> each;

  // {"residentKiB", "peakKiB", "anonymousKiB", "proportionalKiB", "processes", "each": [...]}.
  std::string json() const {
    std::string text = "{\"residentKiB\":" + std::to_string(residentKiB) + ",\"peakKiB\":" + std::to_string(peakKiB) +
                       ",\"anonymousKiB\":" + std::to_string(anonymousKiB) +
                       ",\"proportionalKiB\":" + std::to_string(proportionalKiB) +
                       ",\"processes\":" + std::to_string(processes) + ",\"each\":[";
    for (size_t i = 0; i < each.size(); ++i) {
      const ProcessMemory& process = each[i];
      std::string name;
      for (char c : process.name)
        if (c != '"' && c != '\\' && static_cast<unsigned char>(c) >= 0x20) name += c;
      text += std::string(i ? "," : "") + "{\"name\":\"" + name + "\",\"residentKiB\":" +
              std::to_string(process.residentKiB) + ",\"anonymousKiB\":" + std::to_string(process.anonymousKiB) +
              ",\"fileKiB\":" + std::to_string(process.fileKiB) +
              ",\"sharedMemoryKiB\":" + std::to_string(process.sharedMemoryKiB) +
              ",\"proportionalKiB\":" + std::to_string(process.proportionalKiB) +
              ",\"peakKiB\":" + std::to_string(process.peakKiB) + "}";
    }
    return text + "]}";
  }
};

// With VELTRO_MEMORY_DETAIL set to a folder, every measurement leaves there a copy of each
// process's /proc/<pid>/smaps (resident memory by mapping) and, for this process, the
// allocator's malloc_info (its arenas and the free memory they keep), as
// <this pid>-<pid>-<measurement>-<name>.smaps and .malloc.
inline void keepMemoryDetail(long pid, const std::string& name) {
  const char* folder = std::getenv("VELTRO_MEMORY_DETAIL");
  if (!folder || !*folder) return;
  static int measurement = 0;
  bool self = pid == static_cast<long>(getpid());
  if (self) ++measurement;  // this process comes first in each measurement
  char path[512];
  std::snprintf(path, sizeof path, "/proc/%ld/smaps", pid);
  FILE* in = std::fopen(path, "r");
  if (!in) return;
  std::snprintf(path, sizeof path, "%s/%d-%ld-%d-%s.smaps", folder, getpid(), pid, measurement, name.c_str());
  if (FILE* out = std::fopen(path, "w")) {
    char buffer[65536];
    size_t length;
    while ((length = std::fread(buffer, 1, sizeof buffer, in)) > 0) std::fwrite(buffer, 1, length, out);
    std::fclose(out);
  }
  std::fclose(in);
  if (!self) return;
  std::snprintf(path, sizeof path, "%s/%d-%ld-%d-%s.malloc", folder, getpid(), pid, measurement, name.c_str());
  if (FILE* out = std::fopen(path, "w")) {
    malloc_info(0, out);
    std::fclose(out);
  }
}

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
    ProcessMemory process;
    char line[256];
    while (std::fgets(line, sizeof line, file)) {
      char name[64];
      if (std::sscanf(line, "Name: %63s", name) == 1) process.name = name;
      std::sscanf(line, "VmRSS: %ld", &process.residentKiB);
      std::sscanf(line, "VmHWM: %ld", &process.peakKiB);
      std::sscanf(line, "RssAnon: %ld", &process.anonymousKiB);
      std::sscanf(line, "RssFile: %ld", &process.fileKiB);
      std::sscanf(line, "RssShmem: %ld", &process.sharedMemoryKiB);
    }
    std::fclose(file);
    std::snprintf(path, sizeof path, "/proc/%ld/smaps_rollup", pid);
    if (FILE* rollup = std::fopen(path, "r")) {
      while (std::fgets(line, sizeof line, rollup))
        if (std::sscanf(line, "Pss: %ld", &process.proportionalKiB) == 1) break;
      std::fclose(rollup);
    }
    keepMemoryDetail(pid, process.name);
    memory.residentKiB += process.residentKiB;
    memory.peakKiB += process.peakKiB;
    memory.anonymousKiB += process.anonymousKiB;
    memory.proportionalKiB += process.proportionalKiB;
    memory.each.push_back(std::move(process));
  }
  return memory;
}
