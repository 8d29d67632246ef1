// The rebuild against a failing file layer, through the test layer (fault_platform.h):
// the same checks on every system, run in-process by the host tests and by a Windows
// program under Wine.
#ifndef ORVANE_TESTS_ENGINE_FAULT_CHECKS_H
#define ORVANE_TESTS_ENGINE_FAULT_CHECKS_H

#include <string>

namespace enginetest {

// Runs every check on `table` (a table with a stale production index, alone with it
// in its folder, large enough that a rebuild with 64 KiB of memory writes scratch
// files). Each check adds a line "ok   WHAT" or "FAIL WHAT: WHY" to `log`; returns the
// number of failed checks. Afterwards the index is rebuilt and the folder holds the
// two files alone.
int runFaultChecks(const std::string& table, std::string& log);

}  // namespace enginetest

#endif  // ORVANE_TESTS_ENGINE_FAULT_CHECKS_H
