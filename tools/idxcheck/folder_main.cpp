#include "idxcheck/folder_main.h"

#include <filesystem>
#include <string>

#include "idxcheck/folder_check.h"
#include "idxcheck/report.h"
#include "idxcheck/console.h"
#include "sys/system.h"

namespace idxcheck {
namespace {

bool isFolder(const char* path) {
  std::error_code ec;
  return std::filesystem::is_directory(path, ec);
}

}  // namespace

bool runFolderMode(int argc, char** argv, int& exitCode) {
  Language lang = Language::French;
  int at = 1;
  if (argc == 3 && (std::string(argv[1]) == "--en" || std::string(argv[1]) == "--fr")) {
    lang = std::string(argv[1]) == "--en" ? Language::English : Language::French;
    at = 2;
  }
  if (at + 1 != argc || !isFolder(argv[at])) {
    if (at == 2) {
      writeOutput(lang == Language::French ? std::string("idxcheck : ce n'est pas un dossier : ") + argv[at] + "\n"
                                           : std::string("idxcheck: not a folder: ") + argv[at] + "\n");
      exitCode = 64;
      return true;
    }
    return false;
  }
  const auto system = sys::makeSystem();
  // The argument comes in the system's ANSI code page on Windows; the checker works in UTF-8.
#ifdef _WIN32
  const std::string folder = system->ansiToUtf8(argv[at]);
#else
  const std::string folder = argv[at];
#endif
  // The year is read once, as the launcher does when its yearly part begins, and
  // shown before the walk so that each table's line can follow as soon as it is known.
  const int year = system->currentYear();
  FolderSurroundings around;
  around.fileExists = [&](const std::string& path) { return system->fileExists(path); };
  around.currentYear = [year] { return year; };
  around.separator = system->separator();
  FolderFindings shown = windowOf(folder, year, around.separator);
  writeOutput(headerLines(shown, lang));
  const FolderFindings findings =
      checkProgramFolder(folder, around, [&](const TableFinding& t) { writeOutput(tableLine(t, lang) + "\n"); });
  writeOutput(verdictLine(findings, lang) + "\n");
  exitCode = findings.exitCode();
  return true;
}

}  // namespace idxcheck
