// A small table held in memory that the index and expression harnesses work on:
// character, numeric, date and logical fields, a deleted record, blank and negative
// values, accented text.
#ifndef TESTS_FUZZ_FIXED_TABLE_H
#define TESTS_FUZZ_FIXED_TABLE_H

#include <cstdlib>

#include "idapi/core/bytes.h"
#include "idapi/core/core.h"
#include "table_builder.h"

namespace fuzzing {

struct FixedTable {
  idapi::core::MemorySource source;
  idapi::core::TableHeader header;
};

inline const FixedTable& fixedTable() {
  static const FixedTable table = [] {
    using testing_tables::FieldDef;
    using testing_tables::Row;
    const std::vector<FieldDef> fields = {
        {"CODE", 'C', 6},     {"NOM", 'C', 20}, {"MONTANT", 'N', 10, 2}, {"QTE", 'N', 4},
        {"DATEFACT", 'D', 8}, {"PAYE", 'L', 1}, {"TAUX", 'F', 8, 3},
    };
    const std::vector<Row> rows = {
        {{"A001", "Dupont", "1234.50", "3", "20240115", "T", "19.600"}},
        {{"A002", "B\xE9nard", "-12.00", "0", "20231231", "F", "5.500"}},
        {{"B010", "dupont", "0.00", "12", "", "?", ""}},
        {{"A001", "Z\xF6ller", "99999.99", "-7", "20000229", "Y", "-0.001"}, true},
        {{"", "", "", "", "", "", ""}},
        {{"C7", "M\xFCller-Lefebvre", "   1.5", "9999", "19991231", "N", "100.000"}},
        {{"A003", "dupont", "1234.50", "3", "20240115", "t", "19.600"}},
        {{"X", "***", "abc", "1e3", "2024-1-1", "x", "1,5"}},
    };
    FixedTable t{idapi::core::MemorySource(testing_tables::makeTable(fields, rows)), {}};
    t.header = idapi::core::readTableHeader(t.source, "FUZZ.DBF");
    return t;
  }();
  return table;
}

}  // namespace fuzzing

#endif  // TESTS_FUZZ_FIXED_TABLE_H
