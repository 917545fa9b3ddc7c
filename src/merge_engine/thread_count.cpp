// Resolution of the worker-thread count from the argument, the environment and the machine.
#include "merge_engine/thread_count.h"

#include <sched.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace merge_engine {

namespace {

std::optional<std::uint64_t> read_variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return parse_thread_count(value);
}

std::optional<std::size_t> affinity_processors() {
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof(set), &set) != 0) return std::nullopt;
    int count = CPU_COUNT(&set);
    return count > 0 ? std::optional<std::size_t>(count) : std::nullopt;
}

std::optional<std::string> read_first_line(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    if (!file || !std::getline(file, line)) return std::nullopt;
    return line;
}

std::optional<std::size_t> whole_cpus(long long quota, long long period) {
    if (quota <= 0 || period <= 0) return std::nullopt;
    return static_cast<std::size_t>(std::max(1LL, quota / period));
}

// cgroup v2: "cpu.max" holds "<quota> <period>" or "max <period>". Every
// level from the process's own group up to the root may limit it.
std::optional<std::size_t> cgroup_v2_quota(const std::string& files_root,
                                           const std::string& group) {
    std::optional<std::size_t> limit;
    std::string path = group;
    while (true) {
        if (auto line = read_first_line(files_root + "/sys/fs/cgroup" + path + "/cpu.max")) {
            std::istringstream fields(*line);
            std::string quota;
            long long period = 0;
            if (fields >> quota >> period && quota != "max") {
                if (auto cpus = whole_cpus(std::atoll(quota.c_str()), period))
                    limit = limit ? std::min(*limit, *cpus) : *cpus;
            }
        }
        if (path.empty() || path == "/") break;
        path.erase(path.rfind('/'));
    }
    return limit;
}

// cgroup v1: the cpu controller's mount point, from mountinfo, joined with
// the process's group path, holds cpu.cfs_quota_us and cpu.cfs_period_us.
std::optional<std::size_t> cgroup_v1_quota(const std::string& files_root,
                                           const std::string& group) {
    std::ifstream mounts(files_root + "/proc/self/mountinfo");
    std::string line;
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, mount_point, field;
        fields >> id >> parent >> device >> root >> mount_point;
        while (fields >> field && field != "-") {
        }
        std::string type, source, options;
        fields >> type >> source >> options;
        if (type != "cgroup") continue;
        bool has_cpu = false;
        std::istringstream option_list(options);
        for (std::string option; std::getline(option_list, option, ',');)
            has_cpu = has_cpu || option == "cpu";
        if (!has_cpu) continue;
        std::string relative = group.starts_with(root) ? group.substr(root.size()) : group;
        std::string dir = files_root + mount_point + "/" + relative;
        auto quota = read_first_line(dir + "/cpu.cfs_quota_us");
        auto period = read_first_line(dir + "/cpu.cfs_period_us");
        if (!quota || !period) return std::nullopt;
        return whole_cpus(std::atoll(quota->c_str()), std::atoll(period->c_str()));
    }
    return std::nullopt;
}

// Tests give the process a control group of their own making: "_NATIVE_CGROUP_FILES_ROOT"
// names a folder laid out like "/", under which /proc/self/cgroup, /proc/self/mountinfo and
// the groups' files are read instead. It is not meant for users.
std::string cgroup_files_root() {
    const char* root = std::getenv("_NATIVE_CGROUP_FILES_ROOT");
    return root != nullptr ? root : "";
}

std::optional<std::size_t> cgroup_quota() {
    std::string files_root = cgroup_files_root();
    std::ifstream cgroups(files_root + "/proc/self/cgroup");
    std::string line;
    while (std::getline(cgroups, line)) {
        // "<id>:<controllers>:<path>"; v2 has id 0 and no controllers.
        std::size_t first = line.find(':');
        std::size_t second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        std::string controllers = line.substr(first + 1, second - first - 1);
        std::string path = line.substr(second + 1);
        if (line.starts_with("0::")) return cgroup_v2_quota(files_root, path == "/" ? "" : path);
        std::istringstream list(controllers);
        for (std::string controller; std::getline(list, controller, ',');)
            if (controller == "cpu") return cgroup_v1_quota(files_root, path);
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::uint64_t> parse_thread_count(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// The affinity mask is one system call and is read every time, since a
// program may change it between calls; the control group's quota takes
// several files to find and is read once per process.
std::size_t available_processors() {
    auto processors = affinity_processors();
    if (!processors) return 1;
    static const std::optional<std::size_t> quota = cgroup_quota();
    if (quota) return std::max<std::size_t>(1, std::min(*processors, *quota));
    return *processors;
}

std::size_t worker_bound_for(std::size_t processors) {
    return std::max<std::size_t>(1, workers_per_processor * processors);
}

std::size_t worker_thread_bound() {
    static const std::size_t bound = worker_bound_for(available_processors());
    return bound;
}

std::size_t resolve_thread_count(std::uint64_t requested) {
    std::uint64_t count = requested;
    if (count == 0) {
        auto from_env = read_variable("RAYON_NUM_THREADS");
        if (!from_env) from_env = read_variable("RAYON_RS_NUM_CPUS");
        count = from_env.value_or(0);
    }
    if (count == 0) count = available_processors();
    return static_cast<std::size_t>(std::min<std::uint64_t>(count, worker_thread_bound()));
}

}  // namespace merge_engine
