#pragma once

namespace platform {

// Gives the calling thread an alternate signal stack, unless it has one already, for as long
// as the thread runs. A fatal-signal handler installed with SA_ONSTACK then still runs when
// the thread has overflowed its own stack; without one the kernel cannot deliver the signal
// and the process dies silently. Every thread the platform starts calls this first; the
// thread that installs the crash handler gets one too. Cheap to call again.
void ensureAlternateSignalStack();

// Whether the calling thread has an alternate signal stack in place.
bool hasAlternateSignalStack();

}  // namespace platform
