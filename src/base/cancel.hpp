// Internal: a thread's cancellation held off over a clean-up. Do not include
// from public headers.
//
// Cancelling a thread unwinds its stack with glibc's forced unwind
// (abi::__forced_unwind, from <cxxabi.h>), which must go on to the thread's
// end: a catch (...) that swallows it makes glibc abort the process, and one
// that leaves a noexcept function (every destructor) calls std::terminate.
// So:
//
//   - where a function may throw, its catch-all lets it through first:
//       } catch (const abi::__forced_unwind&) {
//         throw;
//       } catch (...) {
//
//   - where it may not (a destructor, a clean-up that must not be cut short)
//     and the clean-up can reach a cancellation point (a write to a stream,
//     a join, a wait), the clean-up runs under a DeferCancellation: it runs
//     to its end, and a cancellation that came meanwhile acts at the
//     thread's next cancellation point after it.
#pragma once

#include <pthread.h>

namespace System::ProgressBar::detail {

// While it lives, the calling thread's cancellation waits; it then restores
// the cancel state it found (so nested guards, and a thread that had
// cancellation disabled already, keep theirs).
class DeferCancellation {
 public:
  DeferCancellation() noexcept { ::pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous_); }
  DeferCancellation(const DeferCancellation&) = delete;
  DeferCancellation& operator=(const DeferCancellation&) = delete;
  ~DeferCancellation() {
    int ignored;
    ::pthread_setcancelstate(previous_, &ignored);
  }

 private:
  int previous_ = PTHREAD_CANCEL_ENABLE;
};

}  // namespace System::ProgressBar::detail
