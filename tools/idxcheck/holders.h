// Which programs hold a file open, where the system can tell: on Linux from the open
// files of running processes (/proc/<id>/fd), on Windows from the restart-management
// interface (rstrtmgr.dll). Where it cannot, the answer says so rather than guess.
#ifndef ORVANE_IDXCHECK_HOLDERS_H
#define ORVANE_IDXCHECK_HOLDERS_H

#include <string>
#include <vector>

namespace idxcheck {

struct Holder {
  std::string program;  // process name (UTF-8)
  unsigned long id = 0;
};

struct Holders {
  bool known = false;           // the system answered
  std::vector<Holder> holders;  // known: the programs found (may be none)
  std::string why, whyFr;       // not known: why not, in English and in French
};

// The programs other than this one that hold `path` (the platform's spelling, UTF-8).
Holders whoHolds(const std::string& path);

}  // namespace idxcheck

#endif  // ORVANE_IDXCHECK_HOLDERS_H
