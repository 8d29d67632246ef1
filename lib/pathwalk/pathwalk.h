// The case-insensitive path walk of the POSIX builds, shared by the engine's file
// layer (idapi/engine/platform_posix.cpp) and the launcher's host services
// (src/sys/system_posix.cpp). It calls no system function itself: each layer passes
// its own test of existence and its own folder search, so that the system calls stay
// in those two layers and neither depends on the other.
#ifndef PATHWALK_PATHWALK_H
#define PATHWALK_PATHWALK_H

#include <string>

#include "text/ascii.h"

namespace pathwalk {

// True when the two names are equal without regard to the case of ASCII letters
// (other bytes must be equal).
inline bool sameIgnoringCase(const std::string& a, const std::string& b) { return text::sameAsciiText(a, b); }

// Keeps, of the names offered to it, the smallest (byte order) that equals `name`
// without regard to case, so that the choice never depends on the order of a folder.
class Match {
 public:
  explicit Match(const std::string& name) : name_(name) {}
  void offer(const std::string& candidate) {
    if (sameIgnoringCase(candidate, name_) && (best_.empty() || candidate < best_)) best_ = candidate;
  }
  const std::string& best() const { return best_; }  // "" when none matched

 private:
  const std::string& name_;
  std::string best_;
};

// `path` (separator '/') with each component that does not exist as written replaced
// by the entry of its folder that matches it without regard to case (see Match).
// "." and ".." are kept; empty components are dropped (a leading '/' stays); from the
// first component that has no match on, the rest is kept as written, for the open to
// report it missing.
//   exists(path) -> bool: the path names something (links are not followed)
//   find(folder, name) -> std::string: the matching entry of `folder` ("" = the
//   current folder; otherwise it ends with '/'), "" when there is none
template <class Exists, class Find>
std::string resolveCase(const std::string& path, Exists&& exists, Find&& find) {
  if (path.empty() || exists(path)) return path;
  std::string built = path[0] == '/' ? "/" : "";
  size_t pos = built.size();
  bool missing = false;
  while (pos <= path.size()) {
    size_t next = path.find('/', pos);
    if (next == std::string::npos) next = path.size();
    std::string part = path.substr(pos, next - pos);
    pos = next + 1;
    if (part.empty()) continue;
    bool last = next >= path.size();
    if (!missing && part != "." && part != ".." && !exists(built + part)) {
      std::string match = find(built, part);
      if (match.empty())
        missing = true;
      else
        part = match;
    }
    built += part;
    if (!last) built += '/';
  }
  return built;
}

}  // namespace pathwalk

#endif  // PATHWALK_PATHWALK_H
