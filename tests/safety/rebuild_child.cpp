// The process that the crash test kills: rebuilds the indexes of one table through the
// engine's exported functions, as the launcher does, and exits 0 when they are rebuilt.
//
//   safety_rebuild_child TABLE.DBF [MEMORY_BUDGET_BYTES [LINGER_MS]]
//
// A small memory budget makes the rebuild spill sorted runs to scratch files, so that
// kills also land while those exist. LINGER_MS keeps the process alive that long after
// the table is closed, as the launcher goes on with its next table. Exit codes: 0 rebuilt; 2 usage; 3 start;
// 4 database; 5 open; 6 rebuild; 7 close.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <chrono>

#include "idapi/engine/tuning.h"
#include "idapi/dbi.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr, "usage: safety_rebuild_child TABLE.DBF [MEMORY_BUDGET_BYTES [LINGER_MS]]\n");
    return 2;
  }
  if (argc >= 3) idapi::engine::setRebuildMemoryBudget(std::strtoull(argv[2], nullptr, 10));
  const unsigned long linger = argc == 4 ? std::strtoul(argv[3], nullptr, 10) : 0;
  DBIEnv env;
  std::memset(&env, 0, sizeof env);
  std::strcpy(env.szLang, "000C");
  if (DbiInitFn(DBIINTFVER, &env) != DBIERR_NONE) return 3;
  hDBIDb db = nullptr;
  if (DbiOpenDatabase(nullptr, nullptr, dbiREADWRITE, dbiOPENSHARED, nullptr, 0, nullptr, nullptr, &db) != DBIERR_NONE)
    return 4;
  hDBICur cursor = nullptr;
  DBIResult rc =
      DbiOpenTable(db, argv[1], "DBASE", nullptr, nullptr, 0, dbiREADWRITE, dbiOPENEXCL, xltFIELD, 0, nullptr, &cursor);
  if (rc != DBIERR_NONE) {
    std::fprintf(stderr, "open: %04X\n", rc);
    return 5;
  }
  rc = DbiRegenIndexes(cursor);
  if (rc != DBIERR_NONE) {
    std::fprintf(stderr, "rebuild: %04X\n", rc);
    return 6;
  }
  if (DbiCloseCursor(&cursor) != DBIERR_NONE) return 7;
  DbiExit();
  std::this_thread::sleep_for(std::chrono::milliseconds(linger));
  return 0;
}
