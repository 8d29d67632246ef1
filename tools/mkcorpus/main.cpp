// mkcorpus: writes the malformed-file corpus (damaged tables and indexes with the
// engine result each must give) into a folder.
//
//   mkcorpus OUTDIR            OUTDIR must not exist or be empty
//   mkcorpus --replace OUTDIR  OUTDIR holds an earlier corpus (its manifest.txt): its
//                              case folders and manifest are removed first
//
// The committed corpus is regenerated with
//   build/host/tools/mkcorpus/mkcorpus --replace tests/safety/corpus
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "corpus.h"

namespace fs = std::filesystem;

namespace {

// Removes the case folders listed in an earlier manifest, and the manifest.
void clearCorpus(const fs::path& dir) {
  std::ifstream in(dir / "manifest.txt", std::ios::binary);
  if (!in) throw std::runtime_error(dir.string() + " holds no corpus (no manifest.txt)");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (const auto& entry : corpus::parseManifest(text)) fs::remove_all(dir / entry.name);
  fs::remove(dir / "manifest.txt");
}

}  // namespace

int main(int argc, char** argv) {
  bool replace = argc == 3 && std::string(argv[1]) == "--replace";
  if (!(argc == 2 || replace)) {
    std::fprintf(stderr, "usage: mkcorpus [--replace] OUTDIR\n");
    return 64;
  }
  const fs::path out = argv[argc - 1];
  try {
    if (replace) {
      clearCorpus(out);
    } else if (fs::exists(out) && !fs::is_empty(out)) {
      std::fprintf(stderr, "mkcorpus: %s is not empty (use --replace for an earlier corpus)\n", out.c_str());
      return 1;
    }
    fs::create_directories(out);
    const fs::path scratch = out / ".sound";
    fs::create_directories(scratch);
    auto cases = corpus::buildCases(scratch.string());
    fs::remove_all(scratch);
    corpus::writeCorpus(out.string(), cases);
    std::printf("%zu cases written to %s\n", cases.size(), out.c_str());
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mkcorpus: %s\n", e.what());
    return 1;
  }
}
