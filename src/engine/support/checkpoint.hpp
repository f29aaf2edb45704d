// Where a thread working for a call looks up from its work.
//
// Long work is charged to a checkpoint as it goes, in characters compared.
// Every few thousand characters the checkpoint looks up: a worker checks
// whether the call was cancelled (another chunk failed, or the caller was
// interrupted) and stops if so; the calling thread gives its host a chance
// to run (signal handlers) every few tens of milliseconds. Charging is a
// subtraction, so the kernels can afford it in their loops.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>

#include "engine/host.hpp"

namespace mendseqs {

// Thrown in a worker whose call was cancelled. Not a failure of its own.
struct Cancelled {};

class Checkpoint {
 public:
  // The calling thread of a call.
  explicit Checkpoint(CallerHooks& caller) noexcept : caller_(&caller), last_check_in_(Clock::now()) {}
  // A worker of a parallel call.
  explicit Checkpoint(const std::atomic<bool>& cancelled) noexcept : cancelled_(&cancelled) {}
  Checkpoint(const Checkpoint&) = delete;
  Checkpoint& operator=(const Checkpoint&) = delete;

  void charge(size_t characters) {
    if (characters < budget_) {
      budget_ -= characters;
    } else {
      look_up();
    }
  }

  // Looks up now: throws Cancelled in a cancelled worker, runs the host's
  // check-in on the calling thread when it is due.
  void look_up();

  // While output cannot proceed: the calling thread lets go of its host's
  // lock for the wait; a worker is counted in `waiting_workers`, so the
  // calling thread knows to let go of it too. The wait itself calls
  // while_waiting() every few milliseconds.
  class OutputWait {
   public:
    OutputWait(Checkpoint& who, std::atomic<int>& waiting_workers) noexcept;
    ~OutputWait();
    OutputWait(const OutputWait&) = delete;
    OutputWait& operator=(const OutputWait&) = delete;

   private:
    Checkpoint& who_;
    std::atomic<int>& waiting_workers_;
  };
  // A worker stops waiting when its call is cancelled (throws Cancelled).
  // The calling thread, when it holds no lock of the engine's
  // (`may_check_in`), takes its host's lock back for a moment every few
  // tens of milliseconds and checks in: Ctrl+C must work even when the
  // output never drains. Whatever check_in throws leaves the host's lock
  // let go again, as the enclosing OutputWait expects.
  void while_waiting(bool may_check_in);

  bool is_caller() const noexcept { return caller_ != nullptr; }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t look_up_interval = 4096;  // characters

  CallerHooks* caller_ = nullptr;
  const std::atomic<bool>* cancelled_ = nullptr;
  size_t budget_ = look_up_interval;
  Clock::time_point last_check_in_{};
};

// How often the calling thread lets its host check in.
inline constexpr std::chrono::milliseconds check_in_interval{20};

}  // namespace mendseqs
