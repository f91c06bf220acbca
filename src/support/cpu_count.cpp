#include "support/cpu_count.hpp"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace veldra {
namespace fs = std::filesystem;

namespace {

std::optional<std::string> read_text(const fs::path& file) {
    std::ifstream in(file);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string_view> split(std::string_view text, char sep) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = text.find(sep, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\n' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\n' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::optional<long long> parse_int(std::string_view s) {
    s = trim(s);
    long long v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return v;
}

bool has_item(std::string_view list, std::string_view item) {
    for (auto part : split(list, ',')) {
        if (part == item) return true;
    }
    return false;
}

// Where a cgroup hierarchy is mounted: the hierarchy path shown at the mount
// point (`root`) and the mount point itself.
struct Mount {
    std::string root;
    std::string point;
};

// Reads proc/self/mountinfo: "id parent dev root point opts [tags] - fstype source superopts".
std::optional<Mount> find_mount(const fs::path& root, std::string_view fstype, bool needs_cpu) {
    auto text = read_text(root / "proc/self/mountinfo");
    if (!text) return std::nullopt;
    for (auto line : split(*text, '\n')) {
        auto fields = split(line, ' ');
        auto dash = std::find(fields.begin(), fields.end(), std::string_view("-"));
        if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4) continue;
        if (dash[1] != fstype) continue;
        if (needs_cpu && !has_item(dash[3], "cpu")) continue;
        return Mount{std::string(fields[3]), std::string(fields[4])};
    }
    return std::nullopt;
}

// The directory of the process's cgroup, and the mount point above which the
// walk stops.
struct CgroupDirs {
    fs::path leaf;
    fs::path top;
};

CgroupDirs locate(const fs::path& root, std::string_view cgroup_path, const std::optional<Mount>& mount,
                  std::string_view default_point) {
    std::string point = mount ? mount->point : std::string(default_point);
    std::string_view relative = cgroup_path;
    if (mount && mount->root != "/" && relative.starts_with(mount->root)) {
        relative.remove_prefix(mount->root.size());
    }
    fs::path top = root / fs::path(point).relative_path();
    fs::path leaf = top / fs::path(std::string(relative)).relative_path();
    return {leaf.lexically_normal(), top.lexically_normal()};
}

// Whole CPUs allowed by one directory's quota, or nullopt for no (readable) limit.
using QuotaReader = std::optional<std::size_t> (*)(const fs::path& dir);

std::optional<std::size_t> cpus_from(long long quota, long long period) {
    if (quota <= 0 || period <= 0) return std::nullopt;
    return std::max<std::size_t>(1, static_cast<std::size_t>(quota / period));
}

std::optional<std::size_t> v2_quota(const fs::path& dir) {
    auto text = read_text(dir / "cpu.max");
    if (!text) return std::nullopt;
    auto fields = split(trim(*text), ' ');
    if (fields.size() != 2 || fields[0] == "max") return std::nullopt;
    auto quota = parse_int(fields[0]);
    auto period = parse_int(fields[1]);
    if (!quota || !period) return std::nullopt;
    return cpus_from(*quota, *period);
}

std::optional<std::size_t> v1_quota(const fs::path& dir) {
    auto quota_text = read_text(dir / "cpu.cfs_quota_us");
    auto period_text = read_text(dir / "cpu.cfs_period_us");
    if (!quota_text || !period_text) return std::nullopt;
    auto quota = parse_int(*quota_text);
    auto period = parse_int(*period_text);
    if (!quota || !period || *quota == -1) return std::nullopt;
    return cpus_from(*quota, *period);
}

std::optional<std::size_t> tightest_along(const CgroupDirs& dirs, QuotaReader read_quota) {
    std::optional<std::size_t> limit;
    fs::path dir = dirs.leaf;
    // The leaf must lie below the mount point; anything else is not ours to read.
    auto [top_end, leaf_it] = std::mismatch(dirs.top.begin(), dirs.top.end(), dir.begin(), dir.end());
    if (top_end != dirs.top.end()) return std::nullopt;
    for (;;) {
        if (auto cpus = read_quota(dir)) limit = limit ? std::min(*limit, *cpus) : *cpus;
        if (dir == dirs.top || !dir.has_relative_path()) break;
        dir = dir.parent_path();
    }
    return limit;
}

}  // namespace

std::optional<std::size_t> cgroup_cpu_limit(const fs::path& root) {
    auto text = read_text(root / "proc/self/cgroup");
    if (!text) return std::nullopt;
    std::optional<std::size_t> limit;
    auto tighten = [&limit](std::optional<std::size_t> cpus) {
        if (cpus) limit = limit ? std::min(*limit, *cpus) : *cpus;
    };
    // Lines are "hierarchy-id:controllers:path"; the path may itself hold ':'.
    for (auto line : split(*text, '\n')) {
        auto first = line.find(':');
        if (first == std::string_view::npos) continue;
        auto second = line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        auto id = line.substr(0, first);
        auto controllers = line.substr(first + 1, second - first - 1);
        auto path = line.substr(second + 1);
        if (id == "0" && controllers.empty()) {
            auto dirs = locate(root, path, find_mount(root, "cgroup2", false), "/sys/fs/cgroup");
            tighten(tightest_along(dirs, v2_quota));
        } else if (has_item(controllers, "cpu")) {
            auto dirs = locate(root, path, find_mount(root, "cgroup", true), "/sys/fs/cgroup/cpu");
            tighten(tightest_along(dirs, v1_quota));
        }
    }
    return limit;
}

std::optional<std::size_t> affinity_cpu_count() {
    // The kernel rejects a mask smaller than its own with EINVAL; grow until it fits.
    for (std::size_t cpus = 1024; cpus <= (std::size_t{1} << 22); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) return std::nullopt;
        std::size_t bytes = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(bytes, set);
        int rc = sched_getaffinity(0, bytes, set);
        int err = errno;
        std::size_t count = rc == 0 ? static_cast<std::size_t>(CPU_COUNT_S(bytes, set)) : 0;
        CPU_FREE(set);
        if (rc == 0) return count > 0 ? std::optional<std::size_t>(count) : std::nullopt;
        if (err != EINVAL) return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::size_t> available_parallelism(const fs::path& root) {
    auto cpus = affinity_cpu_count();
    if (!cpus) return std::nullopt;
    if (auto limit = cgroup_cpu_limit(root)) return std::min(*cpus, *limit);
    return cpus;
}

}  // namespace veldra
