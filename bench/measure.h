// Measurement helpers of the rebuild benchmark: child processes with their peak
// resident memory, the benchmark's tag sets and the table cache.
#ifndef ORVANE_BENCH_MEASURE_H
#define ORVANE_BENCH_MEASURE_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fixtures.h"

namespace bench {

// The tags of the benchmark's sets: 3 (a numeric key, a date key, an upper-cased
// name) or 6 (adding a code plus DTOS of a date, a descending FOR-filtered tag and
// a unique tag). Throws std::invalid_argument for any other count.
std::vector<fixtures::FixtureTag> tagSet(int tags);

// Records of the customer table that keep its .DBF within `bytes` (header and end
// marker included).
uint32_t recordsForSize(uint64_t bytes);

// Value in KiB of a "Name:   123 kB" line of /proc/<pid>/status text (0 if missing).
uint64_t statusKib(const std::string& statusText, const std::string& name);
// This process's peak resident set (VmHWM) in KiB.
uint64_t peakResidentKib();

// "key=value" lines (the children's reports) as a map; other lines are ignored.
std::map<std::string, std::string> parseReport(const std::string& text);

struct ChildResult {
  int exitCode = -1;       // -1: killed by a signal or not started
  std::string output;      // its standard output
  uint64_t maxRssKib = 0;  // from wait4 (includes nothing of ours: the child is spawned)
};
// Runs `argv` (argv[0] a path) with posix_spawn and collects its output.
ChildResult runChild(const std::vector<std::string>& argv);

// Files of `folder` other than those named in `keep` (case-sensitive).
std::vector<std::string> strayFiles(const std::string& folder, const std::vector<std::string>& keep);

// Generates the customer table of `records` records with the tag set into
// `folder`/CLIENT.DBF unless a complete one is already there; returns its path.
// A table whose index is missing or was left half-written is made again.
std::string cachedTable(const std::string& folder, uint32_t records, int tags, bool& generated);

}  // namespace bench

#endif  // ORVANE_BENCH_MEASURE_H
