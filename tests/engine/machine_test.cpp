// What of the machine a job may use: processors from its affinity mask,
// memory within its cgroup's limit, read from fake /proc and cgroup trees.
#include "support/machine.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/build_pass.hpp"

namespace mendseqs {
namespace {

namespace fs = std::filesystem;

TEST(Machine, ProcessorsFollowTheAffinityMask) {
  cpu_set_t saved;
  ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
  EXPECT_EQ(usable_processors(), static_cast<unsigned>(CPU_COUNT(&saved)));
  int first = 0;
  while (!CPU_ISSET(first, &saved)) ++first;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  const unsigned usable = usable_processors();
  const size_t builders = BuildPass(size_t{1} << 20, 8, [](size_t) {}).workers();
  ASSERT_EQ(sched_setaffinity(0, sizeof saved, &saved), 0);
  EXPECT_EQ(usable, 1u);
  EXPECT_EQ(builders, 1u);  // eight asked for, one processor to run them
}

// A fake /proc (self/cgroup, self/mountinfo, meminfo) and the cgroup tree
// its mountinfo names, under a fresh directory.
class FakeMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "machine_test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    top_ = pattern;
    fs::create_directories(top_ / "proc" / "self");
  }
  void TearDown() override { fs::remove_all(top_); }

  void write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
  }
  std::string proc() const { return (top_ / "proc").string(); }
  // A mountinfo line mounting a cgroup hierarchy's `root` at `at`.
  std::string mount(const fs::path& at, const std::string& root, const std::string& type,
                    const std::string& options) const {
    return "40 31 0:38 " + root + " " + at.string() + " rw,nosuid - " + type + " " + type + " " + options + "\n";
  }
  void meminfo(uint64_t available_kib) {
    write(top_ / "proc" / "meminfo",
          "MemTotal:       32000000 kB\nMemFree:  100 kB\nMemAvailable:   " + std::to_string(available_kib) + " kB\n");
  }

  fs::path top_;
};

constexpr uint64_t mib = uint64_t{1} << 20;

TEST_F(FakeMachine, V2TheLeastHeadroomOfEveryLevelCountsReclaimablePagesAsFree) {
  meminfo(16 * 1024 * 1024);                            // 16 GiB available on the machine
  const fs::path cgroups = top_ / "sys fs" / "cgroup";  // a space, escaped in mountinfo
  write(top_ / "proc" / "self" / "cgroup", "0::/slurm/job_7/step_0\n");
  write(
      top_ / "proc" / "self" / "mountinfo",
      "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n" + mount(top_ / "sys\\040fs" / "cgroup", "/", "cgroup2", "rw,nsdelegate"));
  // The job: 4 GiB, 1 GiB of it used, 512 MiB of that clean page cache.
  write(cgroups / "slurm" / "job_7" / "memory.max", std::to_string(4096 * mib) + "\n");
  write(cgroups / "slurm" / "job_7" / "memory.current", std::to_string(1024 * mib) + "\n");
  write(cgroups / "slurm" / "job_7" / "memory.stat", "anon 1\ninactive_file " + std::to_string(512 * mib) + "\n");
  write(cgroups / "slurm" / "job_7" / "step_0" / "memory.max", "max\n");
  write(cgroups / "slurm" / "job_7" / "step_0" / "memory.current", std::to_string(900 * mib) + "\n");
  write(cgroups / "slurm" / "memory.max", std::to_string(64 * 1024 * mib) + "\n");
  EXPECT_EQ(available_memory(proc()), 4096 * mib - 512 * mib);

  // A step limit tighter than the job's wins; one used past it leaves none.
  write(cgroups / "slurm" / "job_7" / "step_0" / "memory.max", std::to_string(1000 * mib) + "\n");
  EXPECT_EQ(available_memory(proc()), 100 * mib);
  write(cgroups / "slurm" / "job_7" / "step_0" / "memory.current", std::to_string(1200 * mib) + "\n");
  EXPECT_EQ(available_memory(proc()), 0u);

  // The machine's own figure when it is the smaller.
  write(cgroups / "slurm" / "job_7" / "step_0" / "memory.max", "max\n");
  meminfo(1024 * 1024);
  EXPECT_EQ(available_memory(proc()), 1024 * mib);
}

TEST_F(FakeMachine, V1TheMemoryHierarchyAndAMountOfPartOfIt) {
  meminfo(16 * 1024 * 1024);
  const fs::path memory = top_ / "cgroup" / "memory";
  // Hybrid: v2 lists no memory controller; v1's memory hierarchy is mounted
  // from /docker/abc down (a container sees only its own part).
  write(top_ / "proc" / "self" / "cgroup", "5:cpu,cpuacct:/docker/abc\n4:memory:/docker/abc/task\n0::/\n");
  write(top_ / "proc" / "self" / "mountinfo",
        mount(top_ / "cgroup" / "unified", "/", "cgroup2", "rw") +
            mount(top_ / "cgroup" / "cpu", "/docker/abc", "cgroup", "rw,cpu,cpuacct") +
            mount(memory, "/docker/abc", "cgroup", "rw,memory"));
  write(memory / "memory.limit_in_bytes", std::to_string(2048 * mib) + "\n");
  write(memory / "memory.usage_in_bytes", std::to_string(300 * mib) + "\n");
  write(memory / "memory.stat", "cache 5\ninactive_file 9\ntotal_inactive_file " + std::to_string(100 * mib) + "\n");
  write(memory / "task" / "memory.limit_in_bytes", "9223372036854771712\n");  // v1's "no limit"
  write(memory / "task" / "memory.usage_in_bytes", std::to_string(200 * mib) + "\n");
  EXPECT_EQ(available_memory(proc()), 2048 * mib - 200 * mib);
}

TEST_F(FakeMachine, WithoutACgroupLimitTheMachineDecides) {
  meminfo(3 * 1024 * 1024);
  write(top_ / "proc" / "self" / "cgroup", "0::/user.slice\n");
  write(top_ / "proc" / "self" / "mountinfo", mount(top_ / "cg", "/", "cgroup2", "rw"));
  write(top_ / "cg" / "user.slice" / "memory.max", "max\n");  // the root has no memory.max at all
  EXPECT_EQ(available_memory(proc()), 3072 * mib);
  fs::remove(top_ / "proc" / "meminfo");
  EXPECT_EQ(available_memory(proc()), std::nullopt);
  EXPECT_EQ(available_memory((top_ / "nowhere").string()), std::nullopt);
}

}  // namespace
}  // namespace mendseqs
