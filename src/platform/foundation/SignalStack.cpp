#include "platform/foundation/SignalStack.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>

namespace platform {
namespace {

// Enough for a handler that formats a record and walks the stack, with room to spare over
// the system's minimum, which grows with the machine's vector registers.
size_t stackSize() {
  long minimum = sysconf(_SC_SIGSTKSZ);
  size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  size_t size = std::max<size_t>(64 * 1024, minimum > 0 ? 4 * static_cast<size_t>(minimum) : 0);
  return (size + page - 1) / page * page;
}

// The stack this thread made, taken down when the thread ends. The lowest page is left
// inaccessible, so a handler that overflows the alternate stack faults instead of writing
// over whatever lies below it.
class ThreadSignalStack {
 public:
  ThreadSignalStack() {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t size = stackSize();
    void* memory = mmap(nullptr, size + page, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (memory == MAP_FAILED) return;
    mprotect(memory, page, PROT_NONE);
    stack_t stack{};
    stack.ss_sp = static_cast<char*>(memory) + page;
    stack.ss_size = size;
    if (sigaltstack(&stack, nullptr) != 0) {
      munmap(memory, size + page);
      return;
    }
    memory_ = memory;
    length_ = size + page;
  }

  ~ThreadSignalStack() {
    if (!memory_) return;
    stack_t current{};
    // Only switch off the alternate stack while it is still ours.
    if (sigaltstack(nullptr, &current) == 0 &&
        current.ss_sp == static_cast<char*>(memory_) + (length_ - current.ss_size)) {
      stack_t off{};
      off.ss_flags = SS_DISABLE;
      sigaltstack(&off, nullptr);
      munmap(memory_, length_);
    }
  }

  ThreadSignalStack(const ThreadSignalStack&) = delete;
  ThreadSignalStack& operator=(const ThreadSignalStack&) = delete;

 private:
  void* memory_ = nullptr;
  size_t length_ = 0;
};

}  // namespace

bool hasAlternateSignalStack() {
  stack_t current{};
  return sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE);
}

void ensureAlternateSignalStack() {
  if (hasAlternateSignalStack()) return;
  thread_local ThreadSignalStack stack;
  (void)stack;
}

}  // namespace platform
