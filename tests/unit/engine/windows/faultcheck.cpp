// The file-layer fault checks (fault_checks.h) on Windows, run under Wine by the host
// tests: the engine is linked in, with the test layer installed in front of the
// Windows file layer.
//
//   engine_faultcheck TABLE.DBF
// Prints one line per check and PASSED at the end; exit status 0 when every check passed.
#include <cstdio>
#include <string>

#include "fault_checks.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: engine_faultcheck TABLE.DBF\n");
    return 64;
  }
  std::string log;
  const int failures = enginetest::runFaultChecks(argv[1], log);
  std::fputs(log.c_str(), stdout);
  std::puts(failures == 0 ? "PASSED" : "FAILED");
  return failures == 0 ? 0 : 1;
}
