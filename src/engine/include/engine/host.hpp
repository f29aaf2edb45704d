// What the engine asks of the thread that called it.
//
// The calling thread belongs to a host (the Python interpreter, for the
// module) that may hold a lock of its own for the whole call and may have
// work of its own to do while the call runs: signal handlers, say. The
// engine never knows which; it tells the host when it is safe to do that
// work, and when it is about to wait on output that cannot proceed, where
// holding the host's lock could keep the very thread that would drain the
// output from running.
#pragma once

namespace mendseqs {

class CallerHooks {
 public:
  // Called on the calling thread, at least every few tens of milliseconds
  // of a long call, never while the engine holds a lock of its own. Throws
  // Interrupted to end the call (the host keeps whatever ended it).
  virtual void check_in() = 0;
  // Around a wait on output that cannot proceed: let go of the host's own
  // lock, and take it back. In between, the engine may take it back for a
  // check_in and let go of it again.
  virtual void release_lock() noexcept = 0;
  virtual void reacquire_lock() noexcept = 0;

 protected:
  ~CallerHooks() = default;
};

// Thrown by CallerHooks::check_in: the host wants the call to end. The
// engine stops its workers and lets it pass.
struct Interrupted {};

// A host with no lock and nothing to do: native callers and tests.
class NoHooks final : public CallerHooks {
 public:
  void check_in() override {}
  void release_lock() noexcept override {}
  void reacquire_lock() noexcept override {}
};

}  // namespace mendseqs
