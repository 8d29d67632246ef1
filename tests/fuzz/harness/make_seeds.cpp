// Writes seeds that mkfixtures cannot give: indexes built by the engine over the
// index harness's fixed table (so that mutations reach the rebuild and the checker),
// tables of the other header levels, and the sound oddities other writers leave.
//   make_seeds CORPUS_FOLDER     (writes into its mdx_header/ and dbf_header/)
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "idapi/core/bytes.h"
#include "idapi/core/core.h"
#include "fixed_table.h"

using namespace idapi::core;

namespace {

void save(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  std::printf("%s: %zu bytes\n", path.c_str(), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds CORPUS_FOLDER\n");
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
    save(std::string(argv[1]) + "/mdx_header/fixed_" + std::to_string(++n) + ".mdx", out.bytes);
    if (n == 2) {
      // The same tags in one-page blocks, as some writers make them.
      ix.blockPages = 1;
      VectorSink small;
      rebuildIndex(table.header, table.source, ix, "FUZZ.MDX", small, options);
      save(std::string(argv[1]) + "/mdx_header/fixed_one_page_blocks.mdx", small.bytes);
    }
  }
  {
    // An index without tags that stops before its tag table, as one writer leaves it.
    IndexHeader none;
    none.tableName = "FUZZ";
    RebuildOptions options;
    options.year = 2024;
    options.month = 6;
    options.day = 1;
    VectorSink out;
    rebuildIndex(table.header, table.source, none, "FUZZ.MDX", out, options);
    out.bytes.resize(544);
    save(std::string(argv[1]) + "/mdx_header/no_tags_short.mdx", out.bytes);
  }

  using testing_tables::FieldDef;
  using testing_tables::Row;
  const std::string tables = std::string(argv[1]) + "/dbf_header/";
  save(tables + "fixed.dbf", table.source.bytes());
  testing_tables::TableOptions level7;
  level7.version = 0x04;
  save(tables + "level7.dbf",
       testing_tables::makeTable({{"NUMERO", 'I', 4}, {"LIBELLE_LONG_DU_CHAMP", 'C', 12}, {"MAJ", '@', 8}},
                                 {{{"\x01\x00\x00\x80", "Premier", "AAAAAAAA"}}, {{"", "", ""}, true}}, level7));
  testing_tables::TableOptions level3;
  level3.version = 0x83;
  level3.production = false;
  save(tables + "level3_memo.dbf", testing_tables::makeTable({{"CODE", 'C', 3}, {"NOTE", 'M', 10}, {"PRIX", 'N', 7, 2}},
                                                             {{{"A", "         1", "12.50"}}}, level3));
  testing_tables::TableOptions level5;
  level5.production = false;
  level5.endMarker = false;
  save(tables + "level5_binary.dbf",
       testing_tables::makeTable({{"IMAGE", 'B', 10}, {"TAUX", 'F', 6, 2}}, {{{"", "1.25"}}}, level5));

  // What other writers leave in sound headers: a timestamp in bytes 12-19, a character
  // field of 300 bytes (its width's high byte in the decimal count), and an empty
  // descriptor after the last field.
  std::vector<uint8_t> stamped = testing_tables::makeTable({{"CODE", 'C', 4}, {"QTE", 'N', 20, 2}, {"BIG", 'N', 25}},
                                                           {{{"AB", "-1.50", "1234567890123456789012345"}}});
  const uint8_t stamp[8] = {0x0C, 0x8D, 0x93, 0x57, 0xE9, 0x00, 0xD3, 0x01};
  std::copy(stamp, stamp + 8, stamped.begin() + 12);
  save(tables + "stamped_header.dbf", stamped);
  std::vector<uint8_t> wide = testing_tables::makeTable({{"PATH", 'C', 44, 1}, {"N", 'N', 3}}, {});
  putU16(&wide[10], 1 + 300 + 3);
  std::string record = " " + std::string(299, 'p') + "\xE9" + "  7";
  wide.pop_back();  // end marker
  wide.insert(wide.end(), record.begin(), record.end());
  wide.push_back(0x1A);
  putU32(&wide[4], 1);
  save(tables + "wide_character_field.dbf", wide);
  std::vector<uint8_t> trailing = testing_tables::makeTable({{"CODE", 'C', 4}}, {{{"Z9"}}});
  trailing.insert(trailing.begin() + 64, 32, 0);
  putU16(&trailing[8], 32 + 32 + 32 + 1);
  save(tables + "empty_descriptor.dbf", trailing);
  // A last field of a type not known here that takes no byte: another writer keeps an
  // index tag's name in it.
  save(tables + "unknown_type_no_length.dbf",
       testing_tables::makeTable({{"CODE", 'C', 4}, {"N", 'N', 3}, {"CODE_TAG", static_cast<char>(0x88), 0}},
                                 {{{"AB", "7"}}, {{"CD", "12"}}}));
  return 0;
}
