// Writes the index seeds of the index harness: indexes built by the engine over the
// harness's fixed table, so that mutations reach the rebuild and the checker.
//   make_index_seeds FOLDER
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "core/core.h"
#include "fixed_table.h"

using namespace idapi::core;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_index_seeds FOLDER\n");
    return 2;
  }
  struct TagSpec {
    const char* name;
    const char* key;
    const char* forCondition;
    bool unique;
    bool descending;
  };
  const std::vector<std::vector<TagSpec>> sets = {
      {{"CODE", "CODE", "", false, false}},
      {{"NOM", "UPPER(NOM)", "", false, false}, {"MONTANT", "MONTANT", "", false, false}},
      {{"DATEFACT", "DATEFACT", "", false, true}, {"CLIENT", "CODE+DTOS(DATEFACT)", ".NOT. DELETED()", true, false}},
      {{"QTE", "QTE*2-1", "PAYE", false, false},
       {"TAUX", "STR(TAUX,8,3)", "", false, true},
       {"ANNEE", "YEAR(DATEFACT)", "MONTANT > 0", true, false}},
  };
  const fuzzing::FixedTable& table = fuzzing::fixedTable();
  int n = 0;
  for (const auto& set : sets) {
    IndexHeader ix;
    ix.tableName = "FUZZ";
    for (const TagSpec& s : set)
      ix.tags.push_back(defineTag(table.header, s.name, s.key, s.forCondition, s.unique, s.descending));
    RebuildOptions options;
    options.year = 2024;
    options.month = 6;
    options.day = 1;
    VectorSink out;
    rebuildIndex(table.header, table.source, ix, "FUZZ.MDX", out, options);
    const std::string path = std::string(argv[1]) + "/fixed_" + std::to_string(++n) + ".mdx";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(out.bytes.data()),
                                                static_cast<std::streamsize>(out.bytes.size()));
    std::printf("%s: %zu bytes\n", path.c_str(), out.bytes.size());
  }
  return 0;
}
