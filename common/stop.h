// Cooperative stopping of long calls (Ctrl-C in the host, KeyboardInterrupt
// in Python) without host code in the core: the host side passes a poll
// function; the drivers ask between blocks of work and, once a stop is
// requested, skip the remaining blocks, release their scratch and throw
// Stopped before writing any output.
#ifndef DENSECORR_COMMON_STOP_H_
#define DENSECORR_COMMON_STOP_H_

#include <atomic>
#include <chrono>
#include <exception>

#include "common/threads.h"

namespace densecorr {

// Thrown by a driver that was asked to stop; its outputs are untouched.
struct Stopped : std::exception {
  const char* what() const noexcept override { return "call stopped on request"; }
};

class StopToken {
 public:
  // Returns true when the caller wants the call stopped. Called only on the
  // thread that created the token (the host's own thread), at most every
  // few milliseconds.
  using Poll = bool (*)(void* context);

  StopToken() = default;
  StopToken(Poll poll, void* context) : poll_(poll), context_(context) {}
  StopToken(const StopToken&) = delete;
  StopToken& operator=(const StopToken&) = delete;

  // From any thread, between blocks of work. Only the calling thread (the
  // OpenMP master, `is_caller`) reaches the host; the others see the flag.
  bool StopRequested(bool is_caller) {
    if (stop_.load(std::memory_order_relaxed)) return true;
    if (!is_caller || poll_ == nullptr) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_poll_ < std::chrono::milliseconds(5)) return false;
    last_poll_ = now;
    if (poll_(context_)) stop_.store(true, std::memory_order_relaxed);
    return stop_.load(std::memory_order_relaxed);
  }

  // Asks for a stop from any thread (tests, signal-driven hosts).
  void RequestStop() { stop_.store(true, std::memory_order_relaxed); }
  bool stopped() const { return stop_.load(std::memory_order_relaxed); }

 private:
  Poll poll_ = nullptr;
  void* context_ = nullptr;
  std::chrono::steady_clock::time_point last_poll_{};
  std::atomic<bool> stop_{false};
};

// Throws Stopped when `token` (may be null) has seen a stop request: the
// check a driver makes after a parallel region, where no exception may leave.
inline void ThrowIfStopped(const StopToken* token) {
  if (token != nullptr && token->stopped()) throw Stopped();
}

// The poll of a token for work running beside the calling thread: it sees
// the caller's token's flag (context) but never reaches the host.
inline bool RelayStop(void* caller) { return static_cast<StopToken*>(caller)->stopped(); }

// Between blocks of work, also inside parallel regions (token may be null):
// only the calling thread (thread 0 of the region) reaches the host's poll.
inline bool StopNow(StopToken* token) {
  return token != nullptr && token->StopRequested(ThreadNumber() == 0);
}

}  // namespace densecorr

#endif  // DENSECORR_COMMON_STOP_H_
