// mkfixtures: writes dBASE tables with their production index for tests and demos.
//
//   mkfixtures table FILE.DBF --kind KIND [--records N] [--seed S] [--tags standard|full|none]
//                   [--tag "NAME=KEY[;for=COND][;unique][;descending]"]... [--index fresh|stale|damaged|none]
//                   [--year Y] [--deleted PER_THOUSAND]
//   mkfixtures tree ROOT [--years 2022,2023,...] [--records N] [--seed S] [--tags SET] [--index STATE]
//   mkfixtures damage FILE.MDX [--seed S]
//   mkfixtures kinds
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <sstream>
#include <string>
#include <vector>

#include "idapi/core/core.h"
#include "fixtures.h"

namespace {

int usage() {
  std::fprintf(
      stderr,
      "usage:\n"
      "  mkfixtures table FILE.DBF --kind KIND [--records N] [--seed S] [--tags standard|full|none]\n"
      "             [--tag \"NAME=KEY[;for=COND][;unique][;descending]\"]... [--index fresh|stale|damaged|none]\n"
      "             [--year Y] [--deleted PER_THOUSAND]\n"
      "  mkfixtures tree ROOT [--years Y1,Y2,...] [--records N] [--seed S] [--tags SET] [--index STATE]\n"
      "  mkfixtures damage FILE.MDX [--seed S]\n"
      "  mkfixtures kinds\n");
  return 2;
}

bool parseNumber(const std::string& text, unsigned long long& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  value = std::strtoull(text.c_str(), nullptr, 10);
  return true;
}

bool parseTag(const std::string& text, fixtures::FixtureTag& tag) {
  size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0) return false;
  tag.name = text.substr(0, eq);
  std::string rest = text.substr(eq + 1);
  std::vector<std::string> parts;
  std::stringstream in(rest);
  std::string part;
  while (std::getline(in, part, ';')) parts.push_back(part);
  if (parts.empty() || parts[0].empty()) return false;
  tag.key = parts[0];
  for (size_t i = 1; i < parts.size(); ++i) {
    if (parts[i].rfind("for=", 0) == 0)
      tag.forCondition = parts[i].substr(4);
    else if (parts[i] == "unique")
      tag.unique = true;
    else if (parts[i] == "descending")
      tag.descending = true;
    else
      return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return usage();
  const std::string mode = args[0];
  try {
    if (mode == "kinds") {
      for (const auto& k : fixtures::kindNames()) std::printf("%s\n", k.c_str());
      return 0;
    }
    if (args.size() < 2) return usage();
    const std::string target = args[1];
    fixtures::TableOptions table;
    fixtures::TreeOptions tree;
    bool haveKind = false;
    for (size_t i = 2; i < args.size(); ++i) {
      const std::string& a = args[i];
      if (i + 1 >= args.size()) return usage();
      const std::string& v = args[++i];
      unsigned long long n = 0;
      if (a == "--kind") {
        if (!fixtures::kindFromName(v, table.kind)) {
          std::fprintf(stderr, "mkfixtures: unknown kind %s (see: mkfixtures kinds)\n", v.c_str());
          return 2;
        }
        haveKind = true;
      } else if (a == "--records" && parseNumber(v, n) && n <= 0xFFFFFFFFull) {
        table.records = tree.records = static_cast<uint32_t>(n);
      } else if (a == "--seed" && parseNumber(v, n)) {
        table.seed = tree.seed = n;
      } else if (a == "--tags") {
        table.tagSet = tree.tagSet = v;
      } else if (a == "--tag") {
        fixtures::FixtureTag tag;
        if (!parseTag(v, tag)) return usage();
        table.extraTags.push_back(tag);
      } else if (a == "--index") {
        if (!fixtures::indexStateFromName(v, table.index)) return usage();
        tree.index = table.index;
      } else if (a == "--year" && parseNumber(v, n) && n >= 1900 && n <= 2999) {
        table.year = static_cast<int>(n);
      } else if (a == "--deleted" && parseNumber(v, n) && n <= 1000) {
        table.deletedPerThousand = static_cast<unsigned>(n);
      } else if (a == "--years") {
        std::stringstream in(v);
        std::string part;
        while (std::getline(in, part, ',')) {
          if (!parseNumber(part, n) || n < 1900 || n > 2999) return usage();
          tree.years.push_back(static_cast<int>(n));
        }
      } else {
        return usage();
      }
    }
    if (mode == "table") {
      if (!haveKind) return usage();
      fixtures::writeTable(target, table);
    } else if (mode == "tree") {
      fixtures::writeTree(target, tree);
    } else if (mode == "damage") {
      fixtures::damageIndex(target, table.seed);
    } else {
      return usage();
    }
    return 0;
  } catch (const idapi::core::Failure& f) {
    std::fprintf(stderr, "mkfixtures: %s\n", f.what());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mkfixtures: %s\n", e.what());
  }
  return 1;
}
