// The malformed-file corpus: damaged copies of one small generated table and its
// production index, each with the engine result it must give.
//
// Every case starts from the same sound table (CP.DBF, 20 postcode records, two tags
// in CP.MDX) and breaks one thing: a file cut at a structural boundary, a header count
// or length that lies, a field descriptor with an impossible length, a block number
// pointing outside the file or into the header, a tag expression that cannot be
// compiled, and so on. The expected result is that of the first engine step that must
// refuse the files (opening the table exclusively, or rebuilding its indexes), or 0
// when both must succeed because a rebuild repairs the damage.
#ifndef ORVANE_TOOLS_CORPUS_H
#define ORVANE_TOOLS_CORPUS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace corpus {

enum class Step { Open, Rebuild };

struct Case {
  std::string name;                                   // folder name: lower case, digits and '-'
  Step step = Step::Rebuild;                          // the step whose result is expected
  uint16_t code = 0;                                  // expected engine result code (0: open and rebuild succeed)
  std::string namedFile;                              // file the error stack must name ("" when code is 0)
  std::string what;                                   // one line: what is damaged
  std::map<std::string, std::vector<uint8_t>> files;  // file name -> bytes
};

// The table every case opens.
inline const char* const kTableFile = "CP.DBF";
inline const char* const kIndexFile = "CP.MDX";

// Builds every case. `scratchDir` is an existing folder for the sound table's files.
// Throws std::runtime_error.
std::vector<Case> buildCases(const std::string& scratchDir);

// The manifest: a comment header, then one tab-separated line per case:
//   name  open|rebuild  code (4 hex digits)  named file or "-"  description
std::string manifestText(const std::vector<Case>& cases);

struct ManifestEntry {
  std::string name;
  Step step = Step::Rebuild;
  uint16_t code = 0;
  std::string namedFile;
  std::string what;
};
// Parses a manifest; throws std::runtime_error naming the faulty line.
std::vector<ManifestEntry> parseManifest(const std::string& text);

// Writes the cases into `outDir` (one folder per case) with "manifest.txt".
void writeCorpus(const std::string& outDir, const std::vector<Case>& cases);

}  // namespace corpus

#endif  // ORVANE_TOOLS_CORPUS_H
