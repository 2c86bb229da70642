// System limits: the affinity mask, /proc/meminfo, and the cgroup tree
// (v2, or v1's cpu and memory hierarchies) walked from the process's own
// group up to the mount root, since a limit set on any ancestor applies too.
#include "system_limits.hpp"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>

namespace vastrel::sim {

namespace {

// The whole of a small file (/proc and cgroup files are a few KiB at most);
// empty when it cannot be read. Plain read(2): this runs before every large
// state is mapped, and a stream costs several times as much.
std::string read_text(const std::string& path) {
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return text;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return text;
}

std::string_view first_line(std::string_view text) { return text.substr(0, text.find('\n')); }

// A decimal number, surrounding blanks and newlines allowed; "max" and the
// like are not one.
std::optional<std::size_t> parse_size(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.remove_suffix(1);
    }
    while (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
    std::size_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

// The number after `name` and `separator` on the line that starts with them
// ("MemAvailable:   123 kB", "inactive_file 4096").
std::optional<std::size_t> field(std::string_view text, std::string_view name, char separator) {
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t eol = text.find('\n', pos);
        if (eol == std::string_view::npos) {
            eol = text.size();
        }
        std::string_view line = text.substr(pos, eol - pos);
        pos = eol + 1;
        if (line.size() <= name.size() || line.substr(0, name.size()) != name ||
            line[name.size()] != separator) {
            continue;
        }
        line.remove_prefix(name.size() + 1);
        line.remove_prefix(std::min(line.find_first_not_of(' '), line.size()));
        return parse_size(line.substr(0, line.find(' ')));
    }
    return std::nullopt;
}

std::size_t saturating_add(std::size_t a, std::size_t b) { return a + std::min(b, SIZE_MAX - a); }

// MemAvailable plus SwapFree, in bytes.
std::optional<std::size_t> meminfo_available(std::string_view meminfo) {
    const auto kb = field(meminfo, "MemAvailable", ':');
    if (!kb || *kb > SIZE_MAX / 1024) {
        return std::nullopt;
    }
    const std::size_t swap_kb = field(meminfo, "SwapFree", ':').value_or(0);
    return saturating_add(*kb * 1024, std::min(swap_kb, SIZE_MAX / 1024) * 1024);
}

// Page cache on the file LRU lists, which reclaim frees before a cgroup
// runs out (the kernel's MemAvailable counts it too): v1's hierarchical
// totals where present, to match its hierarchical usage.
std::size_t reclaimable_file_pages(std::string_view stat) {
    for (std::string_view prefix : {"total_", ""}) {
        const auto inactive = field(stat, std::string(prefix) + "inactive_file", ' ');
        const auto active = field(stat, std::string(prefix) + "active_file", ' ');
        if (inactive || active) {
            return saturating_add(inactive.value_or(0), active.value_or(0));
        }
    }
    return 0;
}

// One level's room: its limit less what it holds beyond reclaimable cache.
std::optional<std::size_t> level_room(std::string_view max, std::string_view current,
                                      std::string_view stat) {
    const auto limit = parse_size(first_line(max));  // "max" (no limit) does not parse
    const auto usage = parse_size(first_line(current));
    if (!limit || !usage) {
        return std::nullopt;
    }
    const std::size_t held = *usage - std::min(reclaimable_file_pages(stat), *usage);
    return *limit > held ? *limit - held : 0;
}

std::optional<std::size_t> smaller(std::optional<std::size_t> a, std::optional<std::size_t> b) {
    if (a && b) {
        return std::min(*a, *b);
    }
    return a ? a : b;
}

bool lists_controller(std::string_view controllers, std::string_view controller) {
    for (std::size_t pos = 0; pos <= controllers.size();) {
        const std::size_t comma = std::min(controllers.find(',', pos), controllers.size());
        if (controllers.substr(pos, comma - pos) == controller) {
            return true;
        }
        pos = comma + 1;
    }
    return false;
}

// Calls visit(dir, v2) for the process's group of `controller` and then for
// each of its ancestors up to the mount root, on the v2 line and on a v1
// line listing the controller. A v1 hierarchy is mounted under the joint
// name of its controllers ("cpu,cpuacct") or under the controller's own.
// Directories a namespaced mount does not show are visited all the same:
// their files just do not open.
template <class Visit>
void for_each_level(std::string_view proc_self_cgroup, const std::string& mount_root,
                    std::string_view controller, const Visit& visit) {
    for (std::size_t pos = 0; pos < proc_self_cgroup.size();) {
        std::size_t eol = proc_self_cgroup.find('\n', pos);
        if (eol == std::string_view::npos) {
            eol = proc_self_cgroup.size();
        }
        // hierarchy-id:controllers:path
        const std::string_view line = proc_self_cgroup.substr(pos, eol - pos);
        pos = eol + 1;
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) {
            continue;
        }
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        std::string path(line.substr(second + 1));
        const bool v2 = line.substr(0, first) == "0" && controllers.empty();
        std::string root = mount_root;
        if (!v2) {
            if (!lists_controller(controllers, controller)) {
                continue;
            }
            root = mount_root + "/" + std::string(controllers);
            if (::access(root.c_str(), F_OK) != 0) {
                root = mount_root + "/" + std::string(controller);
            }
        }
        for (;;) {
            visit(root + (path == "/" ? "" : path), v2);
            if (path.empty() || path == "/") {
                break;
            }
            const auto slash = path.rfind('/');
            path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
        }
    }
}

// CPUs a quota/period pair allows, rounded down but at least one.
std::size_t quota_cpus(std::size_t quota, std::size_t period) {
    const std::size_t cpus = period == 0 ? 0 : quota / period;
    return cpus == 0 ? 1 : cpus;
}

}  // namespace

std::size_t cgroup_cpu_limit(std::string_view proc_self_cgroup, const std::string& mount_root) {
    std::size_t best = SIZE_MAX;
    for_each_level(proc_self_cgroup, mount_root, "cpu", [&](const std::string& dir, bool v2) {
        if (v2) {
            // "max 100000" or "250000 100000"
            const std::string text = read_text(dir + "/cpu.max");
            const std::string_view line = first_line(text);
            const std::size_t space = line.find(' ');
            if (space != std::string_view::npos) {
                const auto quota = parse_size(line.substr(0, space));
                const auto period = parse_size(line.substr(space + 1));
                if (quota && period) {
                    best = std::min(best, quota_cpus(*quota, *period));
                }
            }
            return;
        }
        // No quota is -1, which does not parse.
        const auto quota = parse_size(first_line(read_text(dir + "/cpu.cfs_quota_us")));
        if (quota) {
            if (const auto period = parse_size(first_line(read_text(dir + "/cpu.cfs_period_us")))) {
                best = std::min(best, quota_cpus(*quota, *period));
            }
        }
    });
    return best;
}

std::size_t available_parallelism() {
    std::size_t count = 0;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        count = static_cast<std::size_t>(CPU_COUNT(&set));
    } else {
        const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
        count = online > 0 ? static_cast<std::size_t>(online) : 0;
    }
    if (count == 0) {
        return 1;
    }
    return std::min(count, cgroup_cpu_limit(read_text("/proc/self/cgroup"), "/sys/fs/cgroup"));
}

std::optional<std::size_t> cgroup_memory_left(std::string_view proc_self_cgroup,
                                              const std::string& mount_root, std::size_t wanted) {
    std::optional<std::size_t> best;
    for_each_level(proc_self_cgroup, mount_root, "memory", [&](const std::string& dir, bool v2) {
        const std::string max = read_text(dir + (v2 ? "/memory.max" : "/memory.limit_in_bytes"));
        const std::string current = read_text(dir + (v2 ? "/memory.current" : "/memory.usage_in_bytes"));
        auto room = level_room(max, current, {});
        if (room && *room < wanted) {
            room = level_room(max, current, read_text(dir + "/memory.stat"));
        }
        best = smaller(best, room);
    });
    return best;
}

std::optional<std::size_t> available_memory(std::string_view meminfo, std::string_view memory_max,
                                            std::string_view memory_current,
                                            std::string_view memory_stat) {
    return smaller(meminfo_available(meminfo), level_room(memory_max, memory_current, memory_stat));
}

std::optional<std::size_t> memory_left(std::size_t wanted) {
    return smaller(meminfo_available(read_text("/proc/meminfo")),
                   cgroup_memory_left(read_text("/proc/self/cgroup"), "/sys/fs/cgroup", wanted));
}

}  // namespace vastrel::sim
