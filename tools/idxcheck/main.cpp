// idxcheck TABLE.DBF [INDEX.MDX]
// idxcheck [--en] FOLDER        (a program folder, its repair and its definitions
//                                file: see folder_main.h)
//
// Verifies every tag of the table's production index (or of the index file given)
// against the table's records and prints one line per tag. Opens both files read-only
// and never writes to them; the keys of very large tables go to temporary files in the
// system's folder for them, removed when closed.
//
// Exit status: 0 every tag is sound; 1 at least one tag is faulty; 2 the files cannot
// be read (missing, or a header that cannot be parsed); 64 wrong usage.
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>

#include "idapi/core/core.h"
#include "idxcheck/folder_main.h"
#include "idxcheck/console.h"
#include "text/ascii.h"

namespace {

using idapi::core::Failure;

// Opens a file for reading, shared with every other program, through the engine's file
// layer (names as the command line gives them: the ANSI code page on Windows).
std::unique_ptr<idapi::engine::LockedFile> openForReading(const std::filesystem::path& path) {
  idapi::engine::OsError error;
  auto file = idapi::engine::systemPlatform().openShared(path.string(), error);
  if (!file) throw Failure(DBIERR_NOSUCHFILE, path.string() + ": cannot open the file");
  return file;
}

// The production index beside the table: same base name, extension .MDX in any case.
std::filesystem::path productionIndex(const std::filesystem::path& table) {
  std::filesystem::path wanted = table;
  wanted.replace_extension(".MDX");
  if (std::filesystem::exists(wanted)) return wanted;
  const std::filesystem::path dir = table.has_parent_path() ? table.parent_path() : std::filesystem::path(".");
  auto lower = [](const std::string& s) { return text::lowerAscii(s); };
  const std::string name = lower(wanted.filename().string());
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
    if (entry.is_regular_file() && lower(entry.path().filename().string()) == name) return entry.path();
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  if (int code = 0; idxcheck::runFolderMode(argc, argv, code)) return code;
  if (argc < 2 || argc > 3) {
    std::cerr << "usage: idxcheck TABLE.DBF [INDEX.MDX]\n"
                 "       idxcheck [--en] FOLDER    checks a program folder as the launcher's run would meet it\n"
                 "       idxcheck [--en] --repair [--dry-run] [--definitions FILE] FOLDER\n"
                 "                                 repairs what would stop the launcher's run\n"
                 "       idxcheck [--en] --save-definitions FOLDER FILE\n"
                 "                                 saves the tag definitions of the folder's indexes\n"
                 "Verifies every tag of the table's production index against its records.\n"
                 "Exit status: 0 sound, 1 a tag is faulty, 2 the files cannot be read.\n";
    return 64;
  }
  try {
    const std::filesystem::path tablePath = argv[1];
    const auto dbfFile = openForReading(tablePath);
    const idapi::core::ByteSource& dbf = *dbfFile;
    const idapi::core::TableHeader table = idapi::core::readTableHeader(dbf, tablePath.filename().string());
    std::filesystem::path indexPath;
    if (argc == 3) {
      indexPath = argv[2];
    } else {
      if (!table.productionIndex) {
        std::cout << tablePath.filename().string() << ": no production index\n";
        return 0;
      }
      indexPath = productionIndex(tablePath);
      if (indexPath.empty()) {
        std::cerr << tablePath.filename().string() << ": the production index is missing\n";
        return 2;
      }
    }
    const auto mdxFile = openForReading(indexPath);
    const idapi::core::ByteSource& mdx = *mdxFile;
    const auto scratch = idxcheck::files().temporaryScratchStore();
    idapi::core::RebuildOptions memory;
    memory.memoryBudget = 256u << 20;
    memory.scratch = scratch.get();
    const auto reports = idapi::core::checkIndex(table, dbf, mdx, indexPath.filename().string(), memory);
    bool allOk = true;
    for (const auto& r : reports) {
      char line[64];
      std::snprintf(line, sizeof line, "%-10s %-5s %10llu keys", r.tag.c_str(), r.ok ? "ok" : "FAULT",
                    static_cast<unsigned long long>(r.keys));
      std::cout << line;
      if (!r.ok) std::cout << "  " << r.problem;
      std::cout << '\n';
      allOk = allOk && r.ok;
    }
    if (reports.empty()) std::cout << indexPath.filename().string() << ": no tags\n";
    return allOk ? 0 : 1;
  } catch (const Failure& f) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%04X", f.code());
    std::cerr << f.what() << " (" << code << ")\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
    return 2;
  }
}
