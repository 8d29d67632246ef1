// engine_probe: runs the launcher's reindex run from its own folder, without a window,
// and prints the outcome as one JSON line:
//   {"ok":true}
//   {"ok":false,"code":8456,"message":"..."}
// engine_probe hold TABLE: opens the table (relative to its folder) for shared use,
// prints {"held":true}, keeps it open until its input ends, then reads it once more and
// prints {"released":true}.
// engine_probe path TABLE: prints the system's code pages and the bytes the launcher
// hands the engine for that table (relative to its folder), in hex:
//   {"acp":1252,"oemcp":850,"bytes":"5a3a5c..."}
// The end-to-end tests use it to see where the engine library is found, what the
// launcher's engine errors read, and how it meets a table another program holds.
#include <windows.h>

#include <cstdio>
#include <exception>
#include <string>

#include "engine/engine.h"
#include "engine/reindex.h"
#include "policy/reindex_run.h"
#include "engine/table.h"
#include "sys/system.h"

namespace {

std::string json(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
          out += escape;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

}  // namespace

int hold(sys::System& system, const std::string& table) {
  engine::Engine engine(system);
  engine::TTable held(engine, system);
  held.setTableName(system.programFolder() + table);
  held.Open();
  std::printf("{\"held\":true}\n");
  std::fflush(stdout);
  char line[64];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {}
  engine.check(engine.SetToBegin(held.Handle()));
  held.Close();
  std::printf("{\"released\":true}\n");
  return 0;
}

int path(sys::System& system, const std::string& table) {
  const std::string bytes = engine::TTable::enginePath(system, system.programFolder() + table);
  std::string hex;
  for (const char c : bytes) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", static_cast<unsigned>(static_cast<unsigned char>(c)));
    hex += two;
  }
  std::printf("{\"acp\":%u,\"oemcp\":%u,\"bytes\":\"%s\"}\n", GetACP(), GetOEMCP(), hex.c_str());
  return 0;
}

int main(int argc, char** argv) {
  try {
    const auto system = sys::makeSystem();
    if (argc == 3 && std::string(argv[1]) == "hold") return hold(*system, argv[2]);
    if (argc == 3 && std::string(argv[1]) == "path") return path(*system, argv[2]);
    if (const uint32_t error = system->setCurrentDirectory(system->programFolder())) {
      std::printf("{\"ok\":false,\"code\":%u,\"message\":\"current directory\"}\n", error);
      return 1;
    }
    engine::Engine engine(*system);
    engine::TTable tabletransit(engine, *system);
    try {
      policy::reindexRun(*system, tabletransit, engine::reindexTable);
      std::printf("{\"ok\":true}\n");
    } catch (const engine::EngineError& e) {
      std::printf("{\"ok\":false,\"code\":%u,\"message\":%s}\n", static_cast<unsigned>(e.code()),
                  json(e.what()).c_str());
    }
    return 0;
  } catch (const std::exception& e) {
    std::printf("{\"ok\":false,\"code\":0,\"message\":%s}\n", json(e.what()).c_str());
    return 1;
  }
}
