// How much memory this process may use: the least of its address-space and
// data-segment limits (ulimit -v, ulimit -d), the machine's physical memory,
// and the memory limit of its control group (cgroup v2 memory.max, or v1
// memory.limit_in_bytes), which batch schedulers such as Slurm set from a
// job's memory request. The driver compares it with what the results of a
// recording will need before it reads any sample.
//
//     const MemoryLimit m = memory_limit();
//     if (need > m.bytes) ...;      // m.source: "the address-space limit", ...
#pragma once

#include <cstdint>
#include <string>

struct MemoryLimit {
    std::uint64_t bytes;  // UINT64_MAX when nothing limits it
    const char* source;   // what sets it, for messages
};

MemoryLimit memory_limit();

// The limit a control-group file states ("max" or a byte count, as v2's
// memory.max or v1's memory.limit_in_bytes hold it); UINT64_MAX for none.
std::uint64_t parse_cgroup_limit(const std::string& text);
