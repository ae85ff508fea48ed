// Thread count of the pool: environment variables, CPU affinity and cgroup CPU quotas.
// Interpreter-free.
#include "pool/thread_count.h"

#include <sched.h>   // sched_getaffinity, CPU_ALLOC
#include <unistd.h>  // sysconf

#include <algorithm>
#include <cerrno>
#include <charconv>  // std::from_chars
#include <cstdint>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <vector>

namespace vexilo::pool {
namespace {

constexpr const char* primary_variable = "RAYON_NUM_THREADS";
constexpr const char* fallback_variable = "RAYON_RS_NUM_CPUS";

std::size_t capped(std::size_t count) { return std::clamp<std::size_t>(count, 1, max_threads); }

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

std::string_view strip_line_end(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

bool has_item(std::string_view comma_list, std::string_view item) {
    const std::vector<std::string_view> items = split(comma_list, ',');
    return std::find(items.begin(), items.end(), item) != items.end();
}

// Whole-text unsigned decimal; '+' and '-' are rejected.
std::optional<std::uint64_t> parse_u64(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::size_t> cpus_for_quota(std::uint64_t quota, std::uint64_t period) {
    if (period == 0) return std::nullopt;
    const std::uint64_t cpus = std::max<std::uint64_t>(1, quota / period + (quota % period != 0));
    // Saturate on 32-bit targets; the count is capped at max_threads later anyway.
    return static_cast<std::size_t>(
        std::min<std::uint64_t>(cpus, std::numeric_limits<std::size_t>::max()));
}

// mountinfo escapes blanks and backslashes in paths as three octal digits ("\040").
std::string unescape_mount_path(std::string_view text) {
    std::string path;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto is_octal = [&](std::size_t at) { return text[at] >= '0' && text[at] <= '7'; };
        const bool octal = text[i] == '\\' && i + 3 < text.size() && is_octal(i + 1) &&
                           is_octal(i + 2) && is_octal(i + 3);
        if (octal) {
            path.push_back(static_cast<char>(((text[i + 1] - '0') << 6) |
                                             ((text[i + 2] - '0') << 3) | (text[i + 3] - '0')));
            i += 3;
        } else {
            path.push_back(text[i]);
        }
    }
    return path;
}

struct CgroupMount {
    std::string root;         // the hierarchy directory that is mounted
    std::string mount_point;  // where it is mounted
};

// The cgroup2 mount, or the v1 mount that carries the "cpu" controller.
std::optional<CgroupMount> find_cgroup_mount(std::string_view mountinfo, bool v2) {
    for (std::string_view line : split(mountinfo, '\n')) {
        const std::vector<std::string_view> fields = split(strip_line_end(line), ' ');
        // Fields: id parent dev root mount_point options [optional fields...] - type source super.
        if (fields.size() < 10) continue;
        const auto dash = std::find(fields.begin() + 6, fields.end(), "-");
        if (std::distance(dash, fields.end()) < 4) continue;
        const std::string_view type = dash[1];
        const bool wanted = v2 ? type == "cgroup2" : type == "cgroup" && has_item(dash[3], "cpu");
        if (wanted)
            return CgroupMount{unescape_mount_path(fields[3]), unescape_mount_path(fields[4])};
    }
    return std::nullopt;
}

// The process's cgroup path in the v2 hierarchy ("0::PATH") or in the v1 "cpu" hierarchy.
std::optional<std::string_view> find_cgroup_path(std::string_view proc_cgroup, bool v2) {
    for (std::string_view line : split(proc_cgroup, '\n')) {
        line = strip_line_end(line);
        const std::size_t first = line.find(':');
        const std::size_t second = line.find(':', first == line.npos ? first : first + 1);
        if (second == line.npos) continue;
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const bool wanted =
            v2 ? line.substr(0, first) == "0" && controllers.empty() : has_item(controllers, "cpu");
        if (wanted) return line.substr(second + 1);
    }
    return std::nullopt;
}

// Directories from the process's cgroup up to the mount point of its hierarchy, deepest first.
std::vector<std::string> hierarchy_dirs(const CgroupMount& mount, std::string_view path) {
    std::string_view relative = path;
    if (mount.root != "/") {
        const bool inside = path.starts_with(mount.root) &&
                            (path.size() == mount.root.size() || path[mount.root.size()] == '/');
        // A cgroup outside the mounted part is invisible here; the mount point is all we see.
        relative = inside ? path.substr(mount.root.size()) : std::string_view();
    }
    std::vector<std::string> dirs;
    std::string dir = mount.mount_point;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    dirs.push_back(dir);
    for (std::string_view part : split(relative, '/')) {
        if (part.empty() || part == ".") continue;
        dir += '/';
        dir += part;
        dirs.push_back(dir);
    }
    std::reverse(dirs.begin(), dirs.end());
    return dirs;
}

struct QuotaSearch {
    bool controller_found = false;  // some level had the quota files
    std::optional<std::size_t> limit;
};

QuotaSearch search_hierarchy(const FileReader& read_file, std::string_view proc_cgroup,
                             std::string_view mountinfo, bool v2) {
    QuotaSearch search;
    const std::optional<std::string_view> path = find_cgroup_path(proc_cgroup, v2);
    const std::optional<CgroupMount> mount = find_cgroup_mount(mountinfo, v2);
    if (!path || !mount) return search;
    for (const std::string& dir : hierarchy_dirs(*mount, *path)) {
        std::optional<std::size_t> level;
        if (v2) {
            const std::optional<std::string> cpu_max = read_file(dir + "/cpu.max");
            if (!cpu_max) continue;
            search.controller_found = true;
            level = cpu_limit_from_cpu_max(*cpu_max);
        } else {
            const std::optional<std::string> quota = read_file(dir + "/cpu.cfs_quota_us");
            const std::optional<std::string> period = read_file(dir + "/cpu.cfs_period_us");
            if (!quota || !period) continue;
            search.controller_found = true;
            level = cpu_limit_from_cfs(*quota, *period);
        }
        if (level && (!search.limit || *level < *search.limit)) search.limit = level;
    }
    return search;
}

std::optional<std::string> read_real_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    std::ostringstream contents;
    contents << file.rdbuf();
    if (file.bad()) return std::nullopt;
    return std::move(contents).str();
}

}  // namespace

std::optional<std::size_t> parse_thread_count(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::size_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::size_t>(c - '0');
        if (value > (std::numeric_limits<std::size_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::size_t thread_count_from_env(const EnvLookup& lookup, std::size_t default_count) {
    for (const char* name : {primary_variable, fallback_variable}) {
        const char* value = lookup(name);
        if (value == nullptr) continue;
        const std::optional<std::size_t> count = parse_thread_count(value);
        if (!count) continue;  // not a count: the next variable decides
        return capped(*count == 0 ? default_count : *count);
    }
    return capped(default_count);
}

std::optional<std::size_t> cpu_limit_from_cpu_max(std::string_view cpu_max) {
    const std::vector<std::string_view> fields = split(strip_line_end(cpu_max), ' ');
    if (fields.size() != 2 || fields[0] == "max") return std::nullopt;
    const std::optional<std::uint64_t> quota = parse_u64(fields[0]);
    const std::optional<std::uint64_t> period = parse_u64(fields[1]);
    if (!quota || !period) return std::nullopt;
    return cpus_for_quota(*quota, *period);
}

std::optional<std::size_t> cpu_limit_from_cfs(std::string_view quota_us,
                                              std::string_view period_us) {
    const std::optional<std::uint64_t> quota = parse_u64(strip_line_end(quota_us));
    const std::optional<std::uint64_t> period = parse_u64(strip_line_end(period_us));
    if (!quota || !period) return std::nullopt;  // "-1" (no quota) lands here too
    return cpus_for_quota(*quota, *period);
}

std::optional<std::size_t> cgroup_cpu_limit(const FileReader& read_file) {
    const std::optional<std::string> proc_cgroup = read_file("/proc/self/cgroup");
    const std::optional<std::string> mountinfo = read_file("/proc/self/mountinfo");
    if (!proc_cgroup || !mountinfo) return std::nullopt;
    const QuotaSearch v2 = search_hierarchy(read_file, *proc_cgroup, *mountinfo, true);
    // On hybrid systems the cpu controller may sit in a v1 hierarchy while the v2 one has no
    // cpu.max files; only then does v1 decide.
    if (v2.controller_found) return v2.limit;
    return search_hierarchy(read_file, *proc_cgroup, *mountinfo, false).limit;
}

std::optional<std::size_t> affinity_cpu_count() {
    // The mask may be wider than the default cpu_set_t on machines with many CPUs: grow it until
    // the kernel accepts the size.
    for (std::size_t cpus = 1024; cpus <= (std::size_t{1} << 22); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) break;
        const std::size_t size = CPU_ALLOC_SIZE(cpus);
        const int result = sched_getaffinity(0, size, set);
        const int count = result == 0 ? CPU_COUNT_S(size, set) : 0;
        const int error = errno;
        CPU_FREE(set);
        if (result == 0) {
            if (count > 0) return static_cast<std::size_t>(count);
            break;
        }
        if (error != EINVAL) break;
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online > 0) return static_cast<std::size_t>(online);
    return std::nullopt;
}

std::size_t available_parallelism() {
    std::size_t count = affinity_cpu_count().value_or(1);
    if (const std::optional<std::size_t> limit = cgroup_cpu_limit(read_real_file)) {
        count = std::min(count, *limit);
    }
    return std::max<std::size_t>(count, 1);
}

}  // namespace vexilo::pool
