#include "support/checkpoint.hpp"

namespace mendseqs {

void Checkpoint::look_up() {
  budget_ = look_up_interval;
  if (cancelled_) {
    if (cancelled_->load(std::memory_order_relaxed)) throw Cancelled{};
    return;
  }
  const Clock::time_point now = Clock::now();
  if (now - last_check_in_ < check_in_interval) return;
  last_check_in_ = now;
  caller_->check_in();
}

void Checkpoint::while_waiting(bool may_check_in) {
  if (cancelled_) {
    if (cancelled_->load(std::memory_order_relaxed)) throw Cancelled{};
    return;
  }
  if (!may_check_in) return;
  const Clock::time_point now = Clock::now();
  if (now - last_check_in_ < check_in_interval) return;
  last_check_in_ = now;
  caller_->reacquire_lock();
  try {
    caller_->check_in();
  } catch (...) {
    caller_->release_lock();
    throw;
  }
  caller_->release_lock();
}

Checkpoint::OutputWait::OutputWait(Checkpoint& who, std::atomic<int>& waiting_workers) noexcept
    : who_(who), waiting_workers_(waiting_workers) {
  if (who_.caller_) {
    who_.caller_->release_lock();
  } else {
    waiting_workers_.fetch_add(1, std::memory_order_relaxed);
  }
}

Checkpoint::OutputWait::~OutputWait() {
  if (who_.caller_) {
    who_.caller_->reacquire_lock();
  } else {
    waiting_workers_.fetch_sub(1, std::memory_order_relaxed);
  }
}

}  // namespace mendseqs
