// A second process for the locking tests: opens a table through the engine and keeps
// it open until told to go on, then shows that it can still use it.
//
//   engine_holder TABLE shared|exclusive
// Prints "open" once the table is open (or "fail XXXX" with the result code), then
// waits for a line on standard input, describes the table and prints "ok FIELDS".
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "idapi/dbi.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  DBIEnv env;
  std::memset(&env, 0, sizeof env);
  if (DbiInitFn(DBIINTFVER, &env) != DBIERR_NONE) return 3;
  hDBIDb db = nullptr;
  if (DbiOpenDatabase(nullptr, nullptr, dbiREADWRITE, dbiOPENSHARED, nullptr, 0, nullptr, nullptr, &db) != 0) return 4;
  DBIShareMode share = std::strcmp(argv[2], "exclusive") == 0 ? dbiOPENEXCL : dbiOPENSHARED;
  hDBICur cursor = nullptr;
  DBIResult rc =
      DbiOpenTable(db, argv[1], "DBASE", nullptr, nullptr, 0, dbiREADWRITE, share, xltFIELD, 0, nullptr, &cursor);
  if (rc != DBIERR_NONE) {
    std::printf("fail %04X\n", rc);
    std::fflush(stdout);
    DbiExit();
    return 0;
  }
  std::printf("open\n");
  std::fflush(stdout);
  std::string line;
  std::getline(std::cin, line);
  CURProps props;
  if (DbiGetCursorProps(cursor, &props) != DBIERR_NONE) return 5;
  std::vector<FLDDesc> fields(props.iFields);
  if (DbiGetFieldDescs(cursor, fields.data()) != DBIERR_NONE) return 6;
  if (DbiSetToBegin(cursor) != DBIERR_NONE) return 7;
  std::printf("ok %u\n", props.iFields);
  std::fflush(stdout);
  if (DbiCloseCursor(&cursor) != DBIERR_NONE) return 8;
  DbiExit();
  return 0;
}
