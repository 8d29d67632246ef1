// win_rebuild: one DbiRegenIndexes of a table through a Windows IDAPI32.DLL, for
// measuring the Windows builds of the engine under Wine (or on Windows):
//
//   win_rebuild IDAPI32.DLL TABLE.DBF
//
// The library is loaded at run time and its functions bound by name, as the launcher
// does. Prints key=value lines: the rebuild's elapsed and processor time and the
// process's peak working set before and after it (under Wine, the peak resident set of
// the process, Wine's own memory included). Exit status 0 when the rebuild succeeded.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstring>

#include "idapi/dbi.h"

namespace {

double processorSeconds() {
  FILETIME created, ended, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user)) return 0;
  auto value = [](const FILETIME& t) {
    return (static_cast<unsigned long long>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 1e7;
  };
  return value(kernel) + value(user);
}

unsigned long long peakKib() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
  return counters.PeakWorkingSetSize / 1024;
}

template <class T>
T bind(HMODULE dll, const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: win_rebuild IDAPI32.DLL TABLE.DBF\n");
    return 2;
  }
  HMODULE dll = LoadLibraryA(argv[1]);
  if (!dll) {
    std::fprintf(stderr, "win_rebuild: cannot load %s (%lu)\n", argv[1], GetLastError());
    return 1;
  }
  auto init = bind<PFN_DbiInitFn>(dll, "DbiInitFn");
  auto openDb = bind<PFN_DbiOpenDatabase>(dll, "DbiOpenDatabase");
  auto openTable = bind<PFN_DbiOpenTable>(dll, "DbiOpenTable");
  auto regen = bind<PFN_DbiRegenIndexes>(dll, "DbiRegenIndexes");
  auto closeCursor = bind<PFN_DbiCloseCursor>(dll, "DbiCloseCursor");
  auto errorEntry = bind<PFN_DbiGetErrorEntry>(dll, "DbiGetErrorEntry");
  if (!init || !openDb || !openTable || !regen || !closeCursor || !errorEntry) {
    std::fprintf(stderr, "win_rebuild: %s lacks an export\n", argv[1]);
    return 1;
  }
  auto report = [&](const char* what, DBIResult rc) {
    std::fprintf(stderr, "win_rebuild: %s failed: %04X", what, rc);
    char text[DBIMAXMSGLEN + 1];
    UINT32 native = 0;
    for (UINT16 i = 1; i < 8 && errorEntry(i, &native, text) != 0; ++i) std::fprintf(stderr, " | %s", text);
    std::fprintf(stderr, "\n");
    return 1;
  };

  DBIEnv env;
  std::memset(&env, 0, sizeof env);
  std::strcpy(env.szLang, "0009");
  DBIResult rc = init(DBIINTFVER, &env);
  if (rc != 0) return report("start", rc);
  hDBIDb db = nullptr;
  rc = openDb(nullptr, nullptr, dbiREADWRITE, dbiOPENSHARED, nullptr, 0, nullptr, nullptr, &db);
  if (rc != 0) return report("standard database", rc);
  hDBICur cursor = nullptr;
  rc = openTable(db, argv[2], "DBASE", nullptr, nullptr, 0, dbiREADWRITE, dbiOPENEXCL, xltFIELD, FALSE, nullptr,
                 &cursor);
  if (rc != 0) return report("open", rc);

  const unsigned long long before = peakKib();
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  const double cpuStart = processorSeconds();
  QueryPerformanceCounter(&start);
  rc = regen(cursor);
  QueryPerformanceCounter(&end);
  const double cpu = processorSeconds() - cpuStart;
  if (rc != 0) return report("rebuild", rc);
  closeCursor(&cursor);
  std::printf("bits=%u\nseconds=%.3f\ncpu_seconds=%.3f\nopen_peak_kib=%llu\npeak_kib=%llu\n",
              static_cast<unsigned>(sizeof(void*) * 8),
              static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart), cpu, before,
              peakKib());
  return 0;
}
