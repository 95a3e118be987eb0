#pragma once

#include <string>

namespace platform {

// The process log: one line per message on standard error. Host classes write here.
void log(const std::string& message);

// printf-style formatting into a std::string. Numbers are written as in the "C" locale
// ("1.5"), whatever locale the process has.
std::string stringf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Tests capture the process log by installing a sink; nullptr restores standard error.
using LogSink = void (*)(const std::string& line, void* context);
void setLogSink(LogSink sink, void* context);

}  // namespace platform
