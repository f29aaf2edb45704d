// Every allocation of a parallel call, failed in turn: whatever allocation
// fails, the call ends as a result, exhausted memory or its own failure,
// the process lives on, and every thread it started has been joined by the
// time it returns.
//
// Each attempt runs in a forked child: an attempt that goes wrong may end
// its process (std::terminate) or leave a thread behind. The child's global
// operator new fails the n-th allocation from the start of the call (or
// every one from the n-th on), and pthread_create and pthread_join are
// counted, so the check holds however the workers are started.
//
// The sanitizers replace operator new and the thread functions themselves:
// under them these tests are skipped.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "batch/driver.hpp"
#include "captured_output.hpp"
#include "engine/panic.hpp"
#include "texts.hpp"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define MENDSEQS_HOOKS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define MENDSEQS_HOOKS 0
#endif
#endif
#ifndef MENDSEQS_HOOKS
#define MENDSEQS_HOOKS 1
#endif

// The replacement below forwards to malloc and free, as the library's own
// does; the compiler cannot see that pairing through its inlined callers.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

std::atomic<bool> armed{false};
std::atomic<bool> sticky{false};
std::atomic<long> next_allocation{0};
std::atomic<long> failing_allocation{-1};
std::atomic<bool> fired{false};
std::atomic<long> threads_started{0};
std::atomic<long> threads_joined{0};

bool should_fail() noexcept {
  if (!armed.load(std::memory_order_relaxed)) return false;
  const long n = next_allocation.fetch_add(1, std::memory_order_relaxed);
  const long target = failing_allocation.load(std::memory_order_relaxed);
  const bool fail = sticky.load(std::memory_order_relaxed) ? n >= target : n == target;
  if (fail) fired.store(true, std::memory_order_relaxed);
  return fail;
}

}  // namespace

#if MENDSEQS_HOOKS
void* operator new(std::size_t size) {
  if (should_fail()) throw std::bad_alloc();
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*body)(void*),
                              void* argument) {
  using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static const auto real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
  const int error = real(thread, attributes, body, argument);
  if (error == 0) threads_started.fetch_add(1);
  return error;
}

extern "C" int pthread_join(pthread_t thread, void** value) {
  using Join = int (*)(pthread_t, void**);
  static const auto real = reinterpret_cast<Join>(dlsym(RTLD_NEXT, "pthread_join"));
  const int error = real(thread, value);
  if (error == 0) threads_joined.fetch_add(1);
  return error;
}
#endif

namespace mendseqs {
namespace {

using test_support::CapturedOutput;
using test_support::Texts;

// How an attempt ended, as its child's exit status.
enum Ending { returned = 0, out_of_memory = 1, failed = 2, thread_left = 3, other = 4, untouched = 5 };

struct Call {
  Texts references;
  Texts queries;
  intptr_t max_flex;
  uint32_t threads;
};

[[noreturn]] void run_attempt(const Call& call, long failing, bool from_then_on) {
  CapturedOutput out;
  NoHooks hooks;
  failing_allocation = failing;
  sticky = from_then_on;
  next_allocation = 0;
  const long started_before = threads_started, joined_before = threads_joined;
  Ending ending = returned;
  armed = true;
  try {
    (void)correct_seq_mt(call.references, call.queries, call.max_flex, call.threads, hooks, out.stream());
  } catch (const std::bad_alloc&) {
    ending = out_of_memory;
  } catch (const Panic&) {
    ending = failed;
  } catch (...) {
    ending = other;
  }
  armed = false;
  if (threads_started - started_before != threads_joined - joined_before)
    ending = thread_left;
  else if (!fired)
    ending = untouched;
  std::_Exit(ending);
}

// Fails allocation 0, 1, 2, ... of the call until one past its last, and
// returns each attempt's wait status.
std::vector<int> every_allocation_failed(const Call& call, bool from_then_on) {
  std::vector<int> statuses;
  for (long n = 0; n < 100000; ++n) {
    const pid_t child = fork();
    if (child == 0) {
      // Reports of failures the call meets are expected; keep them out of
      // the test log.
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, STDERR_FILENO);
      run_attempt(call, n, from_then_on);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == untouched) break;
    statuses.push_back(status);
  }
  return statuses;
}

void expect_clean_endings(const std::vector<int>& statuses, std::initializer_list<Ending> allowed) {
  ASSERT_GT(statuses.size(), 3u) << "the call allocates nothing: the hook is not in place";
  for (size_t n = 0; n < statuses.size(); ++n) {
    const int status = statuses[n];
    ASSERT_TRUE(WIFEXITED(status)) << "allocation " << n << " failed: the process died of signal "
                                   << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    const int ending = WEXITSTATUS(status);
    ASSERT_NE(ending, thread_left) << "allocation " << n << " failed: a worker was never joined";
    EXPECT_NE(std::find(allowed.begin(), allowed.end(), ending), allowed.end())
        << "allocation " << n << " failed: the call ended as " << ending;
  }
}

class AllocationFaults : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (!MENDSEQS_HOOKS) GTEST_SKIP() << "the sanitizer owns operator new and the thread functions";
  }
};

TEST_P(AllocationFaults, EveryWorkerIsJoinedWhateverAllocationFails) {
  const Call call{Texts{"ACGT", "ACGA", "TTTT"}, Texts(test_support::Strings(16, "ACGA")), 1, 8};
  expect_clean_endings(every_allocation_failed(call, GetParam()), {returned, out_of_memory});
}

TEST_P(AllocationFaults, AWorkerFailureIsCarriedEvenWhenItsReportCannotBeCopied) {
  // Worker 0 trips the tolerance guard, worker 1 finds nothing.
  const Call call{Texts{"ACG"}, Texts{"ACG", "TTTTTTTTTT"}, 5, 2};
  expect_clean_endings(every_allocation_failed(call, GetParam()), {failed, out_of_memory});
}

INSTANTIATE_TEST_SUITE_P(Memory, AllocationFaults, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "FromThenOn" : "OneOnly";
                         });

}  // namespace
}  // namespace mendseqs
