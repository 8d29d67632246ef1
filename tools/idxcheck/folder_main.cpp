#include "idxcheck/folder_main.h"

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "idapi/engine/tuning.h"
#include "idxcheck/console.h"
#include "idxcheck/folder_check.h"
#include "idxcheck/repair.h"
#include "idxcheck/report.h"
#include "sys/system.h"

namespace idxcheck {
namespace {

bool isFolder(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_directory(std::filesystem::path(std::u8string(path.begin(), path.end())), ec);
}

struct Arguments {
  Language lang = Language::French;
  bool repair = false, dryRun = false, save = false;
  std::string definitions;
  std::vector<std::string> rest;
  std::string error;  // wrong usage
};

Arguments parse(int argc, char** argv, sys::System& system) {
  Arguments a;
  for (int i = 1; i < argc; ++i) {
    // Arguments come in the system's ANSI code page on Windows; the checker works in UTF-8.
#ifdef _WIN32
    const std::string arg = system.ansiToUtf8(argv[i]);
#else
    (void)system;
    const std::string arg = argv[i];
#endif
    if (arg == "--en" || arg == "--fr") {
      a.lang = arg == "--en" ? Language::English : Language::French;
    } else if (arg == "--repair") {
      a.repair = true;
    } else if (arg == "--dry-run") {
      a.dryRun = true;
    } else if (arg == "--save-definitions") {
      a.save = true;
    } else if (arg == "--definitions") {
      if (++i == argc) a.error = "--definitions";
#ifdef _WIN32
      else
        a.definitions = system.ansiToUtf8(argv[i]);
#else
      else
        a.definitions = argv[i];
#endif
    } else if (arg.size() > 1 && arg[0] == '-' && arg[1] == '-') {
      a.error = arg;
    } else {
      a.rest.push_back(arg);
    }
  }
  return a;
}

std::string say(Language lang, const std::string& fr, const std::string& en) {
  return lang == Language::French ? fr : en;
}

// Reads a whole file through the engine's file layer; false when it cannot.
bool readWhole(const std::string& path, std::string& text) {
  idapi::engine::OsError error;
  const auto file = files().openShared(nativePath(path), error);
  if (!file) return false;
  text.resize(static_cast<size_t>(file->size()));
  try {
    if (!text.empty()) file->readAt(0, text.data(), text.size());
  } catch (const idapi::core::Failure&) {
    return false;
  }
  return true;
}

FolderSurroundings surroundingsOf(sys::System& system, int year) {
  FolderSurroundings around;
  around.fileExists = [&system](const std::string& path) { return system.fileExists(path); };
  around.currentYear = [year] { return year; };
  around.separator = system.separator();
  return around;
}

int saveDefinitions(const Arguments& a, sys::System& system) {
  const std::string& folder = a.rest[0];
  const std::string& file = a.rest[1];
  std::vector<std::pair<std::string, std::string>> skipped;
  const auto lines = definitionsOfFolder(folder, surroundingsOf(system, system.currentYear()), skipped);
  try {
    const std::string text = formatDefinitions(lines);
    auto out = files().createReplacement(files().replacementTarget(nativePath(file)));
    out->write(text.data(), text.size());
    std::unique_ptr<idapi::engine::LockedFile> none;
    out->commit(none, [] {});
  } catch (const std::exception& e) {
    writeOutput(say(a.lang, "idxcheck : impossible d'écrire ", "idxcheck: cannot write ") + file + " (" + e.what() +
                ")\n");
    return 2;
  }
  for (const auto& [table, why] : skipped)
    writeOutput("  " + table + say(a.lang, " : non enregistrée (", ": not saved (") + why + ")\n");
  writeOutput(say(a.lang, "Définitions enregistrées : ", "Definitions saved: ") + std::to_string(lines.size()) +
              say(a.lang, " étiquette(s) dans ", " tag(s) in ") + file + "\n");
  return 0;
}

int repair(const Arguments& a, sys::System& system) {
  RepairSettings settings;
  settings.dryRun = a.dryRun;
  if (!a.definitions.empty()) {
    std::string text;
    if (!readWhole(a.definitions, text)) {
      writeOutput(say(a.lang, "idxcheck : fichier de définitions illisible : ",
                      "idxcheck: cannot read the definitions file: ") +
                  a.definitions + "\n");
      return 2;
    }
    try {
      settings.definitions = parseDefinitions(text);
    } catch (const DefinitionsError& e) {
      writeOutput(
          say(a.lang, "idxcheck : fichier de définitions refusé, ligne ", "idxcheck: definitions file refused, line ") +
          std::to_string(e.line) + " : " + e.what() + "\n");
      return 2;
    }
    settings.definitionsName = a.definitions;
  }
  // The engine's rebuild and replacement work with the checker's names (UTF-8).
  idapi::engine::setPlatform(&files());
  const int year = system.currentYear();
  const FolderSurroundings around = surroundingsOf(system, year);
  FolderFindings shown = windowOf(a.rest[0], year, around.separator);
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  settings.backupFolder = backupFolderFor(shown.folder, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                          local.tm_hour, local.tm_min, local.tm_sec, around.separator);
  writeOutput(headerLines(shown, a.lang));
  const FolderRepair result = repairProgramFolder(a.rest[0], around, settings);
  for (size_t i = 0; i < result.tables.size(); ++i) {
    const auto& r = result.tables[i];
    const bool stops = a.dryRun ? stopsTheRun(r.before.finding) && r.outcome != Outcome::WouldRepair
                                : i < result.after.tables.size() && stopsTheRun(result.after.tables[i].finding);
    writeOutput(repairLine(r, stops, a.lang) + "\n");
  }
  writeOutput(repairClosing(result, a.dryRun, settings.backupFolder, a.lang));
  return result.exitCode();
}

}  // namespace

bool runFolderMode(int argc, char** argv, int& exitCode) {
  const auto system = sys::makeSystem();
  const Arguments a = parse(argc, argv, *system);
  if (a.repair || a.dryRun || a.save || !a.definitions.empty()) {
    const size_t wanted = a.save ? 2 : 1;
    if (!a.error.empty() || a.rest.size() != wanted || (a.save && (a.repair || a.dryRun)) || (a.dryRun && !a.repair) ||
        !isFolder(a.rest[0])) {
      writeOutput(say(a.lang,
                      "usage : idxcheck [--en] --repair [--dry-run] [--definitions FICHIER] DOSSIER\n"
                      "        idxcheck [--en] --save-definitions DOSSIER FICHIER\n",
                      "usage: idxcheck [--en] --repair [--dry-run] [--definitions FILE] FOLDER\n"
                      "       idxcheck [--en] --save-definitions FOLDER FILE\n"));
      if (!a.rest.empty() && !isFolder(a.rest[0]))
        writeOutput(say(a.lang, "idxcheck : ce n'est pas un dossier : ", "idxcheck: not a folder: ") + a.rest[0] +
                    "\n");
      exitCode = 2;
      return true;
    }
    exitCode = a.save ? saveDefinitions(a, *system) : repair(a, *system);
    return true;
  }
  // The check: [--en] FOLDER.
  if (!a.error.empty() || a.rest.size() != 1 || !isFolder(a.rest[0])) {
    if (argc == 3 && a.rest.size() == 1) {
      writeOutput(say(a.lang, "idxcheck : ce n'est pas un dossier : ", "idxcheck: not a folder: ") + a.rest[0] + "\n");
      exitCode = 64;
      return true;
    }
    return false;
  }
  // The year is read once, as the launcher does when its yearly part begins, and
  // shown before the walk so that each table's line can follow as soon as it is known.
  const int year = system->currentYear();
  const FolderSurroundings around = surroundingsOf(*system, year);
  FolderFindings shown = windowOf(a.rest[0], year, around.separator);
  writeOutput(headerLines(shown, a.lang));
  const FolderFindings findings =
      checkProgramFolder(a.rest[0], around, [&](const TableFinding& t) { writeOutput(tableLine(t, a.lang) + "\n"); });
  writeOutput(verdictLine(findings, a.lang) + "\n");
  exitCode = findings.exitCode();
  return true;
}

}  // namespace idxcheck
