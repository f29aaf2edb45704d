#include "support/machine.hpp"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>
#include <vector>

namespace mendseqs {

unsigned usable_processors() noexcept {
  // The mask's size is the kernel's, not known beforehand: grown until it fits.
  for (size_t count = 1024; count <= (size_t{1} << 20); count *= 4) {
    cpu_set_t* set = CPU_ALLOC(count);
    if (!set) break;
    const size_t bytes = CPU_ALLOC_SIZE(count);
    const int got = sched_getaffinity(0, bytes, set);
    const int error = errno;
    const int usable = got == 0 ? CPU_COUNT_S(bytes, set) : 0;
    CPU_FREE(set);
    if (got == 0) return static_cast<unsigned>(std::max(usable, 1));
    if (error != EINVAL) break;
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  return parts;
}

bool contains(const std::vector<std::string>& words, const std::string& word) {
  return std::find(words.begin(), words.end(), word) != words.end();
}

// Mount points in mountinfo escape space, tab, newline and backslash as
// three octal digits.
std::string unescaped(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string digits = field.substr(i + 1, 3);
      if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '7'; })) {
        out.push_back(static_cast<char>(std::stoi(digits, nullptr, 8)));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

// The first number in a file, or nullopt (missing, "max", empty).
std::optional<uint64_t> number_in(const std::string& path) {
  std::ifstream in(path);
  std::string word;
  if (!(in >> word) || word.empty() ||
      !std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  try {
    return std::stoull(word);
  } catch (const std::exception&) {
    return std::nullopt;  // past 64 bits: no limit anyone set
  }
}

// The value of `key` in a "key value" per line file (memory.stat).
std::optional<uint64_t> stat_value(const std::string& path, const std::string& key) {
  std::ifstream in(path);
  std::string name;
  uint64_t value = 0;
  while (in >> name >> value)
    if (name == key) return value;
  return std::nullopt;
}

struct MemoryCgroup {
  std::string directory;    // the process's own cgroup
  std::string mount_point;  // the hierarchy's root as mounted, where the walk up ends
  bool v2 = false;
};

// The process's memory cgroup: its path in the hierarchy that holds the
// memory controller (a v1 hierarchy naming it, else the v2 one), and where
// that hierarchy is mounted.
std::optional<MemoryCgroup> memory_cgroup(const std::string& proc) {
  std::ifstream cgroups(proc + "/self/cgroup");
  std::string line, v1_path, v2_path;
  bool v1 = false, v2 = false;
  while (std::getline(cgroups, line)) {
    // hierarchy-ID:controller-list:path
    const size_t first = line.find(':'), second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (line.compare(0, first, "0") == 0 && controllers.empty()) {
      v2 = true;
      v2_path = path;
    } else if (contains(split(controllers, ','), "memory")) {
      v1 = true;
      v1_path = path;
    }
  }
  if (!v1 && !v2) return std::nullopt;
  std::ifstream mounts(proc + "/self/mountinfo");
  while (std::getline(mounts, line)) {
    // id parent major:minor root mount-point options [optional...] - type source super-options
    const size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    std::istringstream before(line.substr(0, dash)), after(line.substr(dash + 3));
    std::string id, parent, device, root, mount_point, type, source, options;
    if (!(before >> id >> parent >> device >> root >> mount_point) || !(after >> type >> source >> options)) continue;
    const bool matches = v1 ? type == "cgroup" && contains(split(options, ','), "memory") : type == "cgroup2";
    if (!matches) continue;
    MemoryCgroup found{unescaped(mount_point), unescaped(mount_point), !v1};
    // The mount shows the hierarchy from `root` down; the process's path is
    // the hierarchy's. Outside what is shown (another cgroup namespace),
    // the mount's own top is the nearest level there is to read.
    root = unescaped(root);
    const std::string& path = v1 ? v1_path : v2_path;
    if (root == "/") {
      if (path != "/") found.directory += path;
    } else if (path.compare(0, root.size(), root) == 0 && (path.size() == root.size() || path[root.size()] == '/')) {
      found.directory += path.substr(root.size());
    }
    return found;
  }
  return std::nullopt;
}

// The least headroom over the levels of the process's memory cgroup.
std::optional<uint64_t> cgroup_headroom(const std::string& proc) {
  const std::optional<MemoryCgroup> cgroup = memory_cgroup(proc);
  if (!cgroup) return std::nullopt;
  // v1's "no limit" is a page-rounded 2^63 - 1; nothing real comes near it.
  constexpr uint64_t unlimited = uint64_t{1} << 62;
  std::optional<uint64_t> least;
  std::string directory = cgroup->directory;
  for (;;) {
    const std::optional<uint64_t> limit =
        number_in(directory + (cgroup->v2 ? "/memory.max" : "/memory.limit_in_bytes"));
    if (limit && *limit < unlimited) {
      uint64_t used = number_in(directory + (cgroup->v2 ? "/memory.current" : "/memory.usage_in_bytes")).value_or(0);
      // Clean page cache is given back before anything is killed.
      const uint64_t reclaimable =
          stat_value(directory + "/memory.stat", cgroup->v2 ? "inactive_file" : "total_inactive_file").value_or(0);
      used -= std::min(used, reclaimable);
      const uint64_t headroom = *limit - std::min(*limit, used);
      least = std::min(least.value_or(headroom), headroom);
    }
    if (directory.size() <= cgroup->mount_point.size()) break;
    const size_t slash = directory.rfind('/');
    if (slash == std::string::npos || slash < cgroup->mount_point.size()) break;
    directory.resize(slash);
  }
  return least;
}

std::optional<uint64_t> mem_available(const std::string& proc) {
  std::ifstream meminfo(proc + "/meminfo");
  for (std::string name; meminfo >> name;) {
    uint64_t kib = 0;
    if (name == "MemAvailable:" && meminfo >> kib) return kib * 1024;
    meminfo.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  }
  return std::nullopt;
}

}  // namespace

std::optional<uint64_t> available_memory(const std::string& proc) {
  const std::optional<uint64_t> system = mem_available(proc);
  const std::optional<uint64_t> cgroup = cgroup_headroom(proc);
  if (system && cgroup) return std::min(*system, *cgroup);
  return system ? system : cgroup;
}

}  // namespace mendseqs
