#include "idxcheck/report.h"

#include <cstdio>

namespace idxcheck {
namespace {

std::string format(const char* pattern, const std::string& a = {}, const std::string& b = {}) {
  std::string out;
  for (const char* p = pattern; *p; ++p) {
    if (p[0] == '%' && p[1] == '1') {
      out += a;
      ++p;
    } else if (p[0] == '%' && p[1] == '2') {
      out += b;
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

std::string number(unsigned long long n) { return std::to_string(n); }

// What was found, as a short phrase.
std::string what(const TableFinding& t, Language lang) {
  const bool fr = lang == Language::French;
  std::string detail = t.detail;
  if (t.systemCode != 0)
    detail += (detail.empty() ? "" : ", ") + std::string(fr ? "code système " : "system code ") + number(t.systemCode);
  switch (t.finding) {
    case Finding::Ok:
      if (t.noIndex) return fr ? "ok (pas d'index de production)" : "ok (no production index)";
      if (fr) return "ok (index sain, " + number(t.tags) + (t.tags == 1 ? " étiquette)" : " étiquettes)");
      return "ok (sound index, " + number(t.tags) + (t.tags == 1 ? " tag)" : " tags)");
    case Finding::Damaged:
      return format(fr ? "index endommagé, étiquette %1 : %2 ; le lancement le reconstruira"
                       : "damaged index, tag %1: %2; the launcher will rebuild it",
                    t.tag, t.detail);
    case Finding::Unbuildable:
      return format(fr ? "index endommagé et impossible à reconstruire (étiquette %1 : %2)"
                       : "damaged index that cannot be rebuilt (tag %1: %2)",
                    t.tag, t.detail);
    case Finding::Missing: return fr ? "table absente" : "table missing";
    case Finding::IndexMissing:
      return fr ? "index de production absent (fichier .MDX)" : "production index missing (.MDX file)";
    case Finding::Held:
      if (t.aboutIndex) return fr ? "index ouvert par un autre programme" : "index held open by another program";
      return fr ? "table ouverte par un autre programme" : "table held open by another program";
    case Finding::IndexReadOnly:
      return fr ? "index en lecture seule : le moteur ne peut pas le remplacer"
                : "index is read-only: the engine cannot replace it";
    case Finding::Unreadable: {
      const char* whose =
          t.aboutIndex ? (fr ? "index illisible" : "index unreadable") : (fr ? "table illisible" : "table unreadable");
      return detail.empty() ? std::string(whose) : std::string(whose) + " (" + detail + ")";
    }
  }
  return {};
}

}  // namespace

std::string headerLines(const FolderFindings& f, Language lang) {
  const bool fr = lang == Language::French;
  std::string out = format(fr ? "Dossier du programme : %1\n" : "Program folder: %1\n", f.folder);
  out += format(fr ? "Années des factures examinées : %1 à %2\n" : "Invoice years examined: %1 to %2\n",
                std::to_string(f.firstYear), std::to_string(f.lastYear));
  return out;
}

std::string tableLine(const TableFinding& t, Language lang) {
  std::string name = t.table;
  if (name.size() < 36) name.resize(36, ' ');
  return (stopsTheRun(t.finding) ? "* " : "  ") + name + " " + what(t, lang);
}

std::string verdictLine(const FolderFindings& f, Language lang) {
  const bool fr = lang == Language::French;
  if (const TableFinding* stop = f.stop())
    return format(
        fr ? "Verdict : le lancement s'arrêterait à %1 : %2." : "Verdict: the launcher's run would stop at %1: %2.",
        stop->table, what(*stop, lang));
  size_t damaged = 0;
  const TableFinding* first = nullptr;
  for (const auto& t : f.tables) {
    if (t.finding != Finding::Damaged) continue;
    if (!first) first = &t;
    ++damaged;
  }
  if (first)
    return format(
        fr ? "Verdict : le lancement irait jusqu'au bout et reconstruirait %1 index endommagé(s), le premier : %2."
           : "Verdict: the launcher's run would succeed and rebuild %1 damaged index(es), the first: %2.",
        number(damaged), first->table);
  return fr ? "Verdict : le lancement irait jusqu'au bout ; aucun index à réparer."
            : "Verdict: the launcher's run would succeed; no index to repair.";
}

}  // namespace idxcheck
