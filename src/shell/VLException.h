#pragma once

#include <exception>
#include <string>
#include <utility>
#include <vector>

// A platform exception as the shell passes it around: a name, a reason and the call stack
// where it was raised, one symbol per frame. The logger reads its call stack.
class VLException : public std::exception {
 public:
  VLException(std::string name, std::string reason, std::vector<std::string> callStackSymbols = {})
      : name_(std::move(name)),
        reason_(std::move(reason)),
        callStackSymbols_(std::move(callStackSymbols)) {}

  const char* what() const noexcept override { return reason_.c_str(); }
  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }
  const std::vector<std::string>& callStackSymbols() const { return callStackSymbols_; }

 private:
  std::string name_;
  std::string reason_;
  std::vector<std::string> callStackSymbols_;
};
