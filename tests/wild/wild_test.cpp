// Tables and indexes written by other software (../shared/wild beside the clone): every
// table + index pair found there is copied to a scratch folder, opened and rebuilt
// through the engine, and then
//   - the table's bytes are unchanged;
//   - the checker passes every rebuilt tag;
//   - every rebuilt tag holds the same keys in the same order as the original (runs of
//     equal keys compared as sets of records, numeric and date keys by value, blank
//     dates wherever their encoding puts them);
//   - the checker reports no fault on an original tag that agrees with the rebuild, and
//     a fault on one that does not.
// The index leaves are read here by a walker of its own, not by the engine's code.
//
// An index without tags is left as it is by a rebuild. Some writers' habits make an
// original disagree with its records; they are accepted only as disagreements the
// checker reports: DTOS() of a blank date written as "18991230", numeric keys computed
// from a value with more digits than its field keeps, and UPPER() leaving letters
// beyond ASCII as they are.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "idapi/core/bytes.h"
#include "idapi/core/core.h"
#include "idapi/core/expr.h"
#include "support.h"

namespace enginetest {
namespace {

const fs::path kWild = fs::path(WILD_CORPUS);

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

struct Pair {
  fs::path dbf, mdx;
  std::string label;
};

// Every table below the corpus folder with an index of the same base name beside it.
std::vector<Pair> findPairs() {
  std::vector<Pair> pairs;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(kWild, ec); it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (!it->is_regular_file() || lower(it->path().extension().string()) != ".dbf") continue;
    for (const auto& sibling : fs::directory_iterator(it->path().parent_path())) {
      const fs::path& p = sibling.path();
      if (lower(p.extension().string()) == ".mdx" && lower(p.stem().string()) == lower(it->path().stem().string()))
        pairs.push_back({it->path(), p, fs::relative(it->path(), kWild).string()});
    }
  }
  std::sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) { return a.label < b.label; });
  return pairs;
}

// ------------------------------------------------------------------ index walker

uint32_t u32(const std::string& b, size_t at) {
  if (at + 4 > b.size()) throw std::runtime_error("read beyond the index");
  return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 | uint32_t(uint8_t(b[at + 2])) << 16 |
         uint32_t(uint8_t(b[at + 3])) << 24;
}
uint16_t u16(const std::string& b, size_t at) { return static_cast<uint16_t>(u32(b, at) & 0xFFFF); }

struct Entry {
  uint32_t record;
  std::string key;  // comparable text: raw bytes (C), decimal value (N), day or "blank" (D)
  std::string raw;
};

struct Tag {
  std::string name, expression, forExpression;
  char type = 'C';
  bool descending = false, unique = false;
  std::vector<Entry> entries;
};

// A numeric key's value as text: sign, digits without trailing zeros, exponent.
std::string numericValue(const std::string& k) {
  const int n = (uint8_t(k[1]) >> 2) & 0x1F;
  std::string digits;
  for (int i = 0; i < 20; ++i) {
    const uint8_t b = uint8_t(k[2 + i / 2]);
    digits.push_back(static_cast<char>('0' + (i % 2 == 0 ? b >> 4 : b & 0x0F)));
  }
  (void)n;  // writers differ in the digit count; only the digits present count
  while (!digits.empty() && digits.back() == '0') digits.pop_back();
  if (digits.empty()) return "0";
  return std::string(uint8_t(k[1]) & 0x80 ? "-" : "+") + "0." + digits + "e" +
         std::to_string(int(uint8_t(k[0])) - 0x34);
}

double numericDouble(const std::string& value) { return value == "0" ? 0 : std::stod(value); }

std::string dateValue(const std::string& k) {
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits |= uint64_t(uint8_t(k[i])) << (8 * i);
  const double d = std::bit_cast<double>(bits);
  if (d == 0 || d == 1.0E+100 || d == 21474835648.0) return "blank";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.0f", d);
  return buf;
}

std::vector<Tag> readTags(const std::string& b) {
  std::vector<Tag> tags;
  const uint32_t count = u16(b, 28);
  if (count == 0) return tags;
  const uint32_t block = u16(b, 22);
  for (uint32_t i = 0; i < count; ++i) {
    const size_t slot = 544 + 32 * i;
    const size_t header = size_t{u32(b, slot)} * 512;
    Tag t;
    t.name = b.substr(slot + 4, 11).c_str();
    t.type = b.at(header + 9);
    t.descending = (uint8_t(b.at(header + 8)) & 0x08) != 0;
    t.unique = (uint8_t(b.at(header + 8)) & 0x40) != 0 || b.at(header + 23) != 0;
    t.expression = b.substr(header + 24, 221).c_str();
    if (b.at(header + 245) && block >= 1024) t.forExpression = b.substr(header + 762, 221).c_str();
    const uint16_t keyLength = u16(b, header + 12), group = u16(b, header + 18);
    std::set<uint32_t> seen;
    std::function<void(uint32_t, int)> walk = [&](uint32_t page, int depth) {
      if (depth > 40 || !seen.insert(page).second) throw std::runtime_error("loop in tag " + t.name);
      const size_t at = size_t{page} * 512;
      const uint32_t k = u32(b, at);
      const size_t trailingAt = at + 8 + size_t{group} * k;
      const uint32_t trailing = trailingAt + 4 <= at + block ? u32(b, trailingAt) : 0;
      for (uint32_t e = 0; e <= k; ++e) {
        const size_t entry = at + 8 + size_t{group} * e;
        if (trailing == 0) {
          if (e == k) break;
          Entry x{u32(b, entry), {}, b.substr(entry + 4, keyLength)};
          x.key = t.type == 'N' ? numericValue(x.raw) : t.type == 'D' ? dateValue(x.raw) : x.raw;
          t.entries.push_back(std::move(x));
        } else {
          walk(u32(b, entry), depth + 1);
        }
      }
    };
    walk(u32(b, header), 0);
    tags.push_back(std::move(t));
  }
  return tags;
}

// Runs of equal keys: (key, sorted records), in tag order; blank dates apart.
struct Runs {
  std::vector<std::pair<std::string, std::vector<uint32_t>>> runs;
  std::vector<uint32_t> blanks;
};

Runs runsOf(const Tag& t, const std::set<uint32_t>& leaveOut) {
  Runs r;
  for (const Entry& e : t.entries) {
    if (leaveOut.count(e.record)) continue;
    if (t.type == 'D' && e.key == "blank") {
      r.blanks.push_back(e.record);
      continue;
    }
    if (r.runs.empty() || r.runs.back().first != e.key) r.runs.push_back({e.key, {}});
    r.runs.back().second.push_back(e.record);
  }
  for (auto& run : r.runs) std::sort(run.second.begin(), run.second.end());
  std::sort(r.blanks.begin(), r.blanks.end());
  return r;
}

// Whether the original's key differs from the rebuilt one only by a known habit.
bool knownHabit(const Tag& t, const std::string& original, const std::string& rebuilt) {
  if (t.type == 'C' && original.size() == rebuilt.size()) {
    // DTOS() of a blank date as "18991230".
    std::string fixed = original;
    for (size_t at = fixed.find("18991230"); at != std::string::npos; at = fixed.find("18991230", at + 8))
      if (rebuilt.compare(at, 8, "        ") == 0) fixed.replace(at, 8, "        ");
    if (fixed == rebuilt) return true;
    // UPPER() that leaves letters beyond ASCII as they are: the keys differ only where
    // both hold such bytes.
    bool differsBeyondAscii = false;
    for (size_t i = 0; i < original.size(); ++i) {
      if (original[i] == rebuilt[i]) continue;
      if (uint8_t(original[i]) < 0x80 || uint8_t(rebuilt[i]) < 0x80) return false;
      differsBeyondAscii = true;
    }
    return differsBeyondAscii;
  }
  if (t.type == 'N') {
    const double a = numericDouble(original), b = numericDouble(rebuilt);
    return std::fabs(a - b) <= 1e-12 * std::max(1.0, std::fabs(b));
  }
  return false;
}

// ------------------------------------------------------------------ the test

TEST(WildCorpus, EveryPairOpensRebuildsAndKeepsItsKeys) {
  if (!fs::is_directory(kWild))
    GTEST_SKIP() << "no corpus of real files at " << kWild << " (shared/wild beside the clone)";
  const std::vector<Pair> pairs = findPairs();
  ASSERT_FALSE(pairs.empty()) << "no table with an index under " << kWild;
  size_t rebuilt = 0, tagsCompared = 0, disagreements = 0;
  Engine engine;
  for (const Pair& pair : pairs) {
    SCOPED_TRACE(pair.label);
    TempDir dir;
    const std::string dbf = dir / pair.dbf.filename().string(), mdx = dir / pair.mdx.filename().string();
    fs::copy_file(pair.dbf, dbf);
    fs::copy_file(pair.mdx, mdx);
    for (const auto& p : {dbf, mdx}) fs::permissions(p, fs::perms::owner_write, fs::perm_options::add);
    const std::string tableBefore = readFile(dbf), indexBefore = readFile(mdx);
    const std::vector<Tag> originalTags = readTags(indexBefore);

    hDBICur cursor = nullptr;
    DBIResult rc = engine.open(dbf, cursor);
    if (rc == DBIERR_NONE) {
      rc = DbiRegenIndexes(cursor);
      if (rc != DBIERR_NONE) {
        const std::string why = stackText();
        DbiCloseCursor(&cursor);
        ADD_FAILURE() << "rebuild refused: " << why;
        continue;
      }
      DbiCloseCursor(&cursor);
    } else {
      ADD_FAILURE() << "open refused: " << stackText();
      continue;
    }
    ++rebuilt;
    EXPECT_EQ(readFile(dbf), tableBefore) << "the table changed";
    const std::string indexAfter = readFile(mdx);
    if (originalTags.empty()) {
      EXPECT_EQ(indexAfter, indexBefore) << "an index without tags is left as it is";
      continue;
    }
    EXPECT_EQ(checkTable(dbf, mdx), "") << "the rebuilt index does not check out";

    // Per-tag faults the checker finds in the original.
    std::map<std::string, std::string> originalFaults;
    {
      const std::string originalCopy = dir / "ORIGINAL.MDX";
      writeFile(originalCopy, indexBefore);
      std::istringstream lines(checkTable(dbf, originalCopy));
      for (std::string line; std::getline(lines, line);) originalFaults[line.substr(0, line.find(':'))] = line;
    }
    const std::vector<Tag> rebuiltTags = readTags(indexAfter);
    ASSERT_EQ(rebuiltTags.size(), originalTags.size());
    for (size_t i = 0; i < originalTags.size(); ++i) {
      const Tag &o = originalTags[i], &r = rebuiltTags[i];
      SCOPED_TRACE("tag " + o.name + " (" + o.expression + (o.forExpression.empty() ? "" : " FOR " + o.forExpression) +
                   ")");
      ASSERT_EQ(o.name, r.name);
      ++tagsCompared;
      if (r.type == 'D') {
        const std::string high("\x7D\xC3\x94\x25\xAD\x49\xB2\x54", 8);  // 1.0E+100
        for (const Entry& e : r.entries) {
          if (e.key == "blank") {
            EXPECT_EQ(e.raw, high) << "record " << e.record << ": a blank date not keyed 1.0E+100";
          }
        }
      }
      std::map<uint32_t, const Entry*> byRecordO, byRecordR;
      for (const Entry& e : o.entries) byRecordO[e.record] = &e;
      for (const Entry& e : r.entries) byRecordR[e.record] = &e;
      std::set<uint32_t> habits;  // records whose original key differs by a known habit
      std::vector<std::string> differences;
      for (const auto& [record, e] : byRecordR) {
        auto it = byRecordO.find(record);
        if (it == byRecordO.end())
          differences.push_back("record " + std::to_string(record) + " missing in the original");
        else if (it->second->key != e->key) {
          if (knownHabit(o, it->second->key, e->key))
            habits.insert(record);
          else
            differences.push_back("record " + std::to_string(record) + " keyed differently");
        }
      }
      for (const auto& [record, e] : byRecordO)
        if (!byRecordR.count(record))
          differences.push_back("record " + std::to_string(record) + " only in the original");
      if (differences.empty() && o.entries.size() != r.entries.size())
        differences.push_back("entry counts " + std::to_string(o.entries.size()) + " and " +
                              std::to_string(r.entries.size()));
      if (differences.empty()) {
        // Same keys: the same order, records with a habit left out (their keys order apart).
        const Runs ro = runsOf(o, habits), rr = runsOf(r, habits);
        if (ro.runs != rr.runs || ro.blanks != rr.blanks) differences.push_back("keys in another order");
      }
      const bool faultInOriginal = originalFaults.count(o.name) != 0;
      if (!differences.empty()) {
        ADD_FAILURE() << "rebuilt tag disagrees with the original: " << differences.front() << " ("
                      << differences.size() << " differences)";
        continue;
      }
      if (habits.empty()) {
        EXPECT_FALSE(faultInOriginal) << "the checker faults an original that agrees with its records: "
                                      << originalFaults[o.name];
      } else {
        ++disagreements;
        EXPECT_TRUE(faultInOriginal) << habits.size() << " original keys differ from their records, unreported";
      }
    }
  }
  std::printf(
      "wild corpus: %zu pairs, %zu rebuilt, %zu tags compared, %zu originals with keys that differ from "
      "their records\n",
      pairs.size(), rebuilt, tagsCompared, disagreements);
}

// Needs no corpus: an index without tags, ending after its fixed header, is opened with
// its table and left byte for byte as it is by a rebuild.
TEST(IndexWithoutTags, RebuildLeavesItAsItIs) {
  TempDir dir;
  std::string t(32 + 32 + 1, '\0');
  t[0] = 0x03;
  t[4] = 1;
  t[8] = 65;
  t[10] = 3;
  t[28] = 1;  // production index
  t[32] = 'A';
  t[32 + 11] = 'C';
  t[32 + 16] = 2;
  t[64] = 0x0D;
  t += " xy\x1A";
  std::string m(48, '\0');
  m[0] = 0x02;
  std::memcpy(&m[4], "T", 1);
  m[20] = 2;
  m[23] = 4;  // 1024-byte blocks
  m[24] = 1;
  m[25] = 0x30;
  m[26] = 0x20;
  writeFile(dir / "T.DBF", t);
  writeFile(dir / "T.MDX", m);
  Engine engine;
  hDBICur cursor = nullptr;
  ASSERT_EQ(engine.open(dir / "T.DBF", cursor), DBIERR_NONE) << stackText();
  EXPECT_EQ(DbiRegenIndexes(cursor), DBIERR_NONE) << stackText();
  DbiCloseCursor(&cursor);
  EXPECT_EQ(readFile(dir / "T.MDX"), m);
  EXPECT_EQ(readFile(dir / "T.DBF"), t);
  // Cut inside the fixed header it is refused.
  writeFile(dir / "T.MDX", m.substr(0, 40));
  EXPECT_EQ(engine.open(dir / "T.DBF", cursor), DBIERR_INDEXCORRUPT) << stackText();
  EXPECT_EQ(readFile(dir / "T.MDX"), m.substr(0, 40));
}

}  // namespace
}  // namespace enginetest
