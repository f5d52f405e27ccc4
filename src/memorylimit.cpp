#include "memorylimit.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

namespace {

constexpr std::uint64_t kNoLimit = UINT64_MAX;

void lower(MemoryLimit& m, std::uint64_t bytes, const char* source) {
    if (bytes < m.bytes) m = {bytes, source};
}

std::uint64_t rlimit_of(int resource) {
    struct rlimit r {};
    if (getrlimit(resource, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return kNoLimit;
    return static_cast<std::uint64_t>(r.rlim_cur);
}

std::uint64_t physical_memory() {
    const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || size <= 0) return kNoLimit;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(size);
}

std::uint64_t read_limit_file(const std::string& path) {
    std::ifstream f(path);
    std::string text;
    if (!(f >> text)) return kNoLimit;
    return parse_cgroup_limit(text);
}

// The memory limit of this process's control group, from /proc/self/cgroup:
// "0::/PATH" (v2) or "N:...memory...:/PATH" (v1).
std::uint64_t cgroup_limit() {
    std::ifstream cgroups("/proc/self/cgroup");
    std::string line;
    std::uint64_t limit = kNoLimit;
    while (std::getline(cgroups, line)) {
        const std::size_t a = line.find(':'), b = line.find(':', a + 1);
        if (a == std::string::npos || b == std::string::npos) continue;
        const std::string controllers = line.substr(a + 1, b - a - 1), path = line.substr(b + 1);
        std::uint64_t v = kNoLimit;
        if (line.compare(0, a, "0") == 0 && controllers.empty())
            v = read_limit_file("/sys/fs/cgroup" + path + "/memory.max");
        else if (("," + controllers + ",").find(",memory,") != std::string::npos)
            v = read_limit_file("/sys/fs/cgroup/memory" + path + "/memory.limit_in_bytes");
        if (v < limit) limit = v;
    }
    return limit;
}

}  // namespace

std::uint64_t parse_cgroup_limit(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return kNoLimit;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    // cgroup v1 writes "no limit" as the largest page-aligned long.
    if (errno != 0 || v >= (1ULL << 62)) return kNoLimit;
    return v;
}

MemoryLimit memory_limit() {
    MemoryLimit m{kNoLimit, "nothing"};
    lower(m, physical_memory(), "the physical memory");
    lower(m, cgroup_limit(), "the control group's memory limit");
    lower(m, rlimit_of(RLIMIT_DATA), "the data-segment limit (ulimit -d)");
    lower(m, rlimit_of(RLIMIT_AS), "the address-space limit (ulimit -v)");
    return m;
}
