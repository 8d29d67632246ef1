// An independent reader of our rebuilt indexes: TDbf from Free Pascal's fcl-db walks
// every tag with its own B-tree code (tdbf/mdxwalk.pas). The order it reports is
// compared with an order computed here from the table's raw records by a small
// evaluator of the fixtures' key expressions, written apart from the engine's.
//
// What the TDbf of Debian's Free Pascal 3.2.2 cannot do, and is therefore left to the
// format core's checker: walking tags with date keys (it loops on them whatever their
// content; character keys that embed a date through DTOS are fine), and UPPER() over
// 30-character fields holding Windows-1252 accented letters (it corrupts its own heap
// while opening such an index). The tags below avoid both.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

#include "support.h"

namespace enginetest {
namespace {

using fixtures::IndexState;
using fixtures::Kind;

struct RawTable {
  struct Field {
    std::string name;
    char type;
    size_t offset, length;
  };
  std::vector<Field> fields;
  std::vector<std::string> records;  // deletion flag first

  explicit RawTable(const std::string& bytes) {
    auto u16 = [&](size_t at) { return size_t(uint8_t(bytes[at])) | size_t(uint8_t(bytes[at + 1])) << 8; };
    size_t count = u16(4) | u16(6) << 16, headerLength = u16(8), recordLength = u16(10);
    size_t offset = 1;
    for (size_t at = 32; bytes[at] != '\x0D'; at += 32) {
      std::string name = bytes.substr(at, 11);
      name.resize(name.find('\0'));
      size_t length = uint8_t(bytes[at + 16]);
      fields.push_back({name, bytes[at + 11], offset, length});
      offset += length;
    }
    for (size_t i = 0; i < count; ++i) records.push_back(bytes.substr(headerLength + i * recordLength, recordLength));
  }
  const Field& field(const std::string& name) const {
    for (const auto& f : fields)
      if (f.name == name) return f;
    throw std::runtime_error("no field " + name);
  }
};

// Value of a key expression: character text, number or date text (YYYYMMDD).
struct Value {
  char type = 'C';
  std::string text;
  double number = 0;
};

// FIELD, UPPER(x), DTOS(x), STR(x, width) and '+' between character values.
class KeyEvaluator {
 public:
  KeyEvaluator(const RawTable& table, std::string expression) : table_(table), e_(std::move(expression)) {}
  Value evaluate(const std::string& record) {
    record_ = &record;
    pos_ = 0;
    Value v = sum();
    if (pos_ != e_.size()) throw std::runtime_error("cannot read " + e_);
    return v;
  }

 private:
  Value sum() {
    Value v = term();
    while (pos_ < e_.size() && e_[pos_] == '+') {
      ++pos_;
      Value w = term();
      v.text += w.text;
    }
    return v;
  }
  std::string name() {
    size_t start = pos_;
    while (pos_ < e_.size() && (std::isalnum(uint8_t(e_[pos_])) || e_[pos_] == '_')) ++pos_;
    return e_.substr(start, pos_ - start);
  }
  void expect(char c) {
    if (pos_ >= e_.size() || e_[pos_] != c) throw std::runtime_error("cannot read " + e_);
    ++pos_;
  }
  Value term() {
    std::string word = name();
    if (pos_ < e_.size() && e_[pos_] == '(') {
      ++pos_;
      Value arg = sum();
      Value v;
      if (word == "UPPER") {
        v = arg;
        for (char& c : v.text)
          if (c >= 'a' && c <= 'z') c = char(c - 32);
      } else if (word == "DTOS") {
        v.text = arg.text;
      } else if (word == "STR") {
        expect(',');
        int width = std::atoi(name().c_str());
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%*.0f", width, arg.number);
        v.text = buffer;
        if (v.text.size() > size_t(width)) v.text = std::string(width, '*');
      } else {
        throw std::runtime_error("unknown function " + word);
      }
      expect(')');
      return v;
    }
    const auto& f = table_.field(word);
    Value v;
    v.type = f.type == 'N' || f.type == 'F' ? 'N' : f.type == 'D' ? 'D' : 'C';
    v.text = record_->substr(f.offset, f.length);
    if (v.type == 'N') v.number = std::atof(v.text.c_str());
    return v;
  }

  const RawTable& table_;
  std::string e_;
  const std::string* record_ = nullptr;
  size_t pos_ = 0;
};

// The record numbers of a tag in order, computed from the raw records.
std::vector<uint32_t> expectedOrder(const RawTable& table, const fixtures::FixtureTag& tag, char& keyType) {
  KeyEvaluator key(table, tag.key);
  struct Entry {
    Value value;
    uint32_t recno;
  };
  std::vector<Entry> entries;
  for (size_t i = 0; i < table.records.size(); ++i) {
    const std::string& record = table.records[i];
    if (tag.forCondition == ".NOT. DELETED()") {
      if (record[0] == '*') continue;
    } else if (!tag.forCondition.empty()) {
      throw std::runtime_error("FOR condition not known here: " + tag.forCondition);
    }
    entries.push_back({key.evaluate(record), uint32_t(i + 1)});
  }
  keyType = entries.empty() ? 'C' : entries[0].value.type;
  auto compare = [](const Value& a, const Value& b) {
    if (a.type == 'N') return a.number < b.number ? -1 : a.number > b.number ? 1 : 0;
    return a.text < b.text ? -1 : a.text > b.text ? 1 : 0;
  };
  std::stable_sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
    int c = compare(a.value, b.value);
    return tag.descending ? c > 0 : c < 0;
  });
  std::vector<uint32_t> order;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (tag.unique && i > 0 && compare(entries[i].value, entries[i - 1].value) == 0) continue;
    order.push_back(entries[i].recno);
  }
  return order;
}

// Runs the walker; returns tag name -> record numbers ("LOOP" walks are left out).
std::map<std::string, std::vector<uint32_t>> walk(const std::string& folder, const std::string& table, size_t limit,
                                                  std::string& log) {
  std::string command = std::string(MDXWALK) + " '" + folder + "/' '" + table + "' " + std::to_string(limit);
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot run " + command);
  std::map<std::string, std::vector<uint32_t>> tags;
  std::string current;
  char line[512];
  while (std::fgets(line, sizeof line, pipe)) {
    std::string l = line;
    while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
    if (l.rfind("R ", 0) == 0) {
      tags[current].push_back(uint32_t(std::strtoul(l.c_str() + 2, nullptr, 10)));
      continue;
    }
    log += l + "\n";
    if (l.rfind("TAG ", 0) == 0) {
      current = l.substr(4);
      tags[current];
    }
    if (l == "LOOP") tags.erase(current);
  }
  int status = ::pclose(pipe);
  if (status != 0) log += "exit status " + std::to_string(status) + "\n";
  return tags;
}

struct Case {
  const char* name;
  Kind kind;
  uint32_t records;
  std::vector<fixtures::FixtureTag> tags;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class IndependentReader : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override { DbiExit(); }
  void TearDown() override { DbiExit(); }
};

TEST_P(IndependentReader, WalksEveryRebuiltTagInTheExpectedOrder) {
  const Case& c = GetParam();
  TempDir dir;
  fixtures::TableOptions options;
  options.kind = c.kind;
  options.records = c.records;
  options.tagSet = "none";
  options.extraTags = c.tags;
  options.index = IndexState::Damaged;
  options.seed = 99 + c.records;
  fixtures::writeTable(dir / "T.DBF", options);
  {
    Engine engine;
    hDBICur cursor = nullptr;
    ASSERT_EQ(engine.open(dir / "T.DBF", cursor), DBIERR_NONE) << stackText();
    ASSERT_EQ(DbiRegenIndexes(cursor), DBIERR_NONE) << stackText();
    DbiCloseCursor(&cursor);
  }
  // TDbf's own spelling of the index name.
  TempDir reader;
  fs::copy_file(dir / "T.DBF", reader / "T.DBF");
  fs::copy_file(dir / "T.MDX", reader / "T.mdx");

  RawTable table(readFile(dir / "T.DBF"));
  std::string log;
  auto walked = walk(reader.path(), "T.DBF", table.records.size() + 1, log);
  ASSERT_EQ(log.find("ERROR"), std::string::npos) << log;
  ASSERT_EQ(log.find("exit status"), std::string::npos) << log;

  for (const auto& tag : c.tags) {
    char keyType = 'C';
    std::vector<uint32_t> expected = expectedOrder(table, tag, keyType);
    ASSERT_TRUE(walked.count(tag.name)) << tag.name << " was not walked:\n" << log;
    EXPECT_EQ(walked[tag.name], expected) << "tag " << tag.name << " (" << tag.key << ")";
  }
}

using fixtures::FixtureTag;

std::vector<Case> readerCases() {
  std::vector<FixtureTag> client = {{"NUMCLI", "NUMCLI"},
                                    {"NOM", "NOM"},
                                    {"CPNOM", "CP+NOM"},
                                    {"U_NUMCLI", "NUMCLI", "", true},
                                    {"N_DESC", "NUMCLI", "", false, true},
                                    {"V_DESC", "VILLE", "", false, true},
                                    {"U_VILLE", "VILLE", "", true, true},
                                    {"F_NOM", "NOM", ".NOT. DELETED()"},
                                    {"C_CIV", "CIVILITE+DTOS(DATECRE)"},
                                    {"ENCOURS", "ENCOURS"}};
  std::vector<FixtureTag> detfact = {{"NUMFACT", "STR(NUMFACT,8)+STR(NUMLIGNE,3)"},
                                     {"CODE", "CODE"},
                                     {"LIBELLE", "LIBELLE", ".NOT. DELETED()"},
                                     {"PRIXUNIT", "PRIXUNIT"},
                                     {"QTE", "QTE", "", false, true}};
  std::vector<FixtureTag> fact = {{"NUMFACT", "NUMFACT", "", true},
                                  {"CLIENT", "STR(NUMCLI,8)+DTOS(DATEFACT)"},
                                  {"TOTALTTC", "TOTALTTC", "", false, true},
                                  {"NOM", "NOM"}};
  std::vector<FixtureTag> vehicules = {{"IMMAT", "IMMAT"}, {"NUMCLI", "NUMCLI"}, {"KM", "KM", "", false, true}};
  return {{"client_400", Kind::Client, 400, client},
          {"client_6000", Kind::Client, 6000, client},
          {"client_1", Kind::Client, 1, client},
          {"client_0", Kind::Client, 0, client},
          {"detfact_20000", Kind::DetFact, 20000, detfact},
          {"fact_250", Kind::Fact, 250, fact},
          {"vehicules_3000", Kind::Vehicules, 3000, vehicules}};
}

INSTANTIATE_TEST_SUITE_P(Tables, IndependentReader, ::testing::ValuesIn(readerCases()),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace enginetest
