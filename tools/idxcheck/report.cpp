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
    case Finding::FolderNotWritable:
      return fr ? "dossier de la table protégé en écriture : le moteur ne peut pas y écrire le nouvel index"
                : "the table's folder cannot be written: the engine cannot write the new index there";
    case Finding::Unreadable: {
      const char* whose =
          t.aboutIndex ? (fr ? "index illisible" : "index unreadable") : (fr ? "table illisible" : "table unreadable");
      return detail.empty() ? std::string(whose) : std::string(whose) + " (" + detail + ")";
    }
  }
  return {};
}

}  // namespace

namespace {

std::string holderText(const Holders& h, Language lang) {
  const bool fr = lang == Language::French;
  if (!h.known)
    return fr ? "un autre programme (le système ne peut pas dire lequel : " + h.whyFr + ")"
              : "another program (the system cannot tell which: " + h.why + ")";
  if (h.holders.empty())
    return fr ? "un autre programme (le système n'en nomme aucun)" : "another program (the system names none)";
  std::string out;
  for (const auto& p : h.holders)
    out += (out.empty() ? "" : ", ") + p.program + (fr ? " (processus " : " (process ") + number(p.id) + ")";
  return out;
}

std::string sourceText(const TableRepair& r, Language lang) {
  const bool fr = lang == Language::French;
  if (!r.recreated)
    return fr ? "index reconstruit à partir de ses propres étiquettes" : "index rebuilt from its own tags";
  switch (r.source) {
    case Source::Itself:
      return fr ? "index recréé à partir des définitions de ses étiquettes, lisibles dans l'ancien index"
                : "index re-created from its tag definitions, still readable in the old index";
    case Source::OtherTable:
      return format(fr ? "index recréé à partir des définitions de %1 (mêmes champs, même langue)"
                       : "index re-created from the definitions of %1 (same fields, same language)",
                    r.from);
    case Source::DefinitionsFile:
      return format(
          fr ? "index recréé à partir du fichier de définitions %1" : "index re-created from the definitions file %1",
          r.from);
    case Source::None: break;
  }
  return {};
}

std::string cannotText(const TableRepair& r, Language lang) {
  const bool fr = lang == Language::French;
  const TableFinding& t = r.before;
  if (!t.aboutIndex && (t.finding == Finding::Missing || t.finding == Finding::Unreadable))
    return what(t, lang) + (fr ? " ; à faire : remettre la table depuis une sauvegarde (idxcheck ne modifie jamais "
                                 "une table)"
                               : "; to do: restore the table from a backup (idxcheck never changes a table)");
  if (r.attempted)
    return format(fr ? "le moteur n'a pas pu mettre le nouvel index en place (%1) ; l'ancien index est intact"
                     : "the engine could not put the new index in place (%1); the old index is intact",
                  r.detail);
  const std::string found = what(t, lang);
  if (!r.detail.empty())
    return format(fr ? "%1 ; fichier de définitions refusé : %2 ; à faire : corriger cette ligne"
                     : "%1; definitions file refused: %2; to do: correct that line",
                  found, r.detail);
  return format(fr ? "%1 ; aucune définition d'étiquettes (ni dans l'index, ni dans la même table d'un autre "
                     "dossier aux champs identiques, ni dans un fichier de définitions) ; rien n'a été modifié, "
                     "l'en-tête de la table non plus ; à faire : relancer avec --definitions FICHIER, un fichier "
                     "enregistré par --save-definitions sur ce poste ou une installation identique"
                   : "%1; no tag definitions (not in the index, not in the same table of another folder with the "
                     "same fields, not in a definitions file); nothing was changed, the table's header neither; "
                     "to do: run again with --definitions FILE, a file saved by --save-definitions here or on an "
                     "identical installation",
                found);
}

std::string leftAloneText(const TableRepair& r, Language lang) {
  const bool fr = lang == Language::French;
  switch (r.before.finding) {
    case Finding::Held:
      return format(
          fr ? "%1 par %2 ; à faire : fermer ce programme puis relancer idxcheck --repair"
             : "%1 by %2; to do: close that program, then run idxcheck --repair again",
          r.before.aboutIndex ? (fr ? "index ouvert" : "index held open") : (fr ? "table ouverte" : "table held open"),
          holderText(r.holders, lang));
    case Finding::IndexReadOnly:
      return what(r.before, lang) + (fr ? " ; à faire : ôter l'attribut « lecture seule » du fichier (Propriétés)"
                                        : "; to do: clear the file's read-only attribute (Properties)");
    default:
      return what(r.before, lang) + (fr ? " ; à faire : donner le droit d'écrire dans ce dossier"
                                        : "; to do: give the right to write in that folder");
  }
}

}  // namespace

std::string repairLine(const TableRepair& r, bool stillStops, Language lang) {
  const bool fr = lang == Language::French;
  std::string name = r.before.table;
  if (name.size() < 36) name.resize(36, ' ');
  std::string text;
  switch (r.outcome) {
    case Outcome::Ok: text = what(r.before, lang); break;
    case Outcome::Repaired:
      text = (fr ? "réparé : " : "repaired: ") + sourceText(r, lang);
      if (!r.backup.empty()) text += format(fr ? " ; ancien index gardé : %1" : "; old index kept: %1", r.backup);
      break;
    case Outcome::WouldRepair:
      text = format(fr ? "serait réparé (%1) : %2" : "would be repaired (%1): %2", what(r.before, lang),
                    sourceText(r, lang));
      break;
    case Outcome::CannotRepair:
      text = (fr ? "impossible à réparer : " : "cannot repair: ") + cannotText(r, lang);
      break;
    case Outcome::LeftAlone: text = (fr ? "laissé tel quel : " : "left alone: ") + leftAloneText(r, lang); break;
  }
  return (stillStops ? "* " : "  ") + name + " " + text;
}

std::string repairClosing(const FolderRepair& f, bool dryRun, const std::string& backupFolder, Language lang) {
  const bool fr = lang == Language::French;
  std::string out;
  if (dryRun)
    out += fr ? "Essai à blanc (--dry-run) : rien n'a été modifié.\n" : "Dry run (--dry-run): nothing was changed.\n";
  else if (f.backedUp)
    out += format(fr ? "Anciens index gardés dans : %1\n" : "Old indexes kept in: %1\n", backupFolder);
  else
    out += fr ? "Aucun fichier n'a été modifié.\n" : "No file was changed.\n";
  if (!dryRun) return out + verdictLine(f.after, lang) + "\n";
  const bool left = f.exitCode() != 0;
  out += left ? (fr ? "Verdict : après la réparation, le lancement s'arrêterait encore (voir les lignes marquées *)."
                    : "Verdict: after the repair, the launcher's run would still stop (see the lines marked *).")
              : (fr ? "Verdict : après la réparation, le lancement irait jusqu'au bout."
                    : "Verdict: after the repair, the launcher's run would succeed.");
  return out + "\n";
}

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
