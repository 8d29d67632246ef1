// The tables of the start-up run: the application's fifteen fixed tables, then the
// three tables of each yearly invoice folder from four years back to next year whose
// invoice header table is there. The launcher reindexes them in this order; the index
// checker's folder mode walks the same order to tell which table would stop the run.
#ifndef ORVANE_POLICY_RUN_PLAN_H
#define ORVANE_POLICY_RUN_PLAN_H

#include <array>
#include <functional>
#include <string>

namespace policy {

// The application's fixed tables, relative to the program folder, in the order they
// are reindexed.
extern const std::array<const char*, 15> kTablesFixes;
// The tables of each yearly invoice folder, in order; the first one tells whether the
// year has a folder at all.
extern const std::array<const char*, 3> kTablesAnnuelles;

// The year window, relative to the current year: four years back up to next year.
constexpr int kPremiereAnnee = -4;
constexpr int kDerniereAnnee = 1;

// The yearly invoice folder of year `an` below the program folder (which ends with
// its separator): "<folder>DATA\factures\<an>\".
std::string dossiermois(const std::string& programFolder, int an);

// What the walk needs of its surroundings. programFolder is asked again before every
// table; currentYear once, when the yearly part begins; fileExists only for the
// invoice header table of each year of the window.
struct RunSurroundings {
  std::function<std::string()> programFolder;
  std::function<int()> currentYear;
  std::function<bool(const std::string& path)> fileExists;
};

// Calls `table` with the full path of each table of the run, in order. An exception
// from `table` ends the walk and reaches the caller unchanged.
void walkRun(const RunSurroundings& around, const std::function<void(const std::string& path)>& table);

}  // namespace policy

#endif  // ORVANE_POLICY_RUN_PLAN_H
