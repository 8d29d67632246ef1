#include "engine/engine_error.h"

#include <cstdint>
#include <cstdio>
#include <vector>

#include "text/utf8.h"

namespace engine {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string trimmed(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && isBlank(text[begin])) ++begin;
  while (end > begin && isBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// Decodes UTF-8 and folds letter case. A malformed byte stands for itself, as a value
// beyond Unicode that no character equals, rather than for U+FFFD: two lines that
// differ only in such bytes stay two lines.
std::u32string folded(const std::string& text) {
  std::u32string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t start = i;
    char32_t c = text::decodeUtf8(text, i);
    if (c == text::kReplacementCharacter && i - start == 1) c = 0x110000 + static_cast<uint8_t>(text[start]);
    if (c >= 'A' && c <= 'Z') {
      c += 0x20;
    } else if (c >= 0xC0 && c <= 0xDE && c != 0xD7) {
      c += 0x20;
    } else if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 && c != 0x17F) {
      // Latin Extended-A pairs: upper case at even code points up to U+0137, at odd
      // ones from U+0139 to U+0148, then even again from U+014A.
      if ((c < 0x138 || c >= 0x14A) && c < 0x178) {
        c |= 1;
      } else if (c >= 0x139 && c < 0x149 && (c & 1) == 1) {
        c += 1;
      } else if (c == 0x178) {
        c = 0xFF;
      } else if (c >= 0x179 && (c & 1) == 1) {
        c += 1;
      }
    }
    out += c;
  }
  return out;
}

}  // namespace

std::string hexCode(DBIResult code) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "$%.4X", static_cast<unsigned>(code));
  return buffer;
}

std::string startFailureMessage(DBIResult code) {
  return "Une erreur est survenue lors de l'initialisation du Borland Database Engine (erreur " + hexCode(code) + ")";
}

bool sameTextIgnoringCase(const std::string& a, const std::string& b) { return folded(a) == folded(b); }

std::string composeMessage(DBIResult code, const std::function<std::string(DBIResult)>& textOf,
                           const std::function<DBIResult(UINT16, UINT32&, std::string&)>& entry) {
  std::vector<std::string> lines;
  const auto add = [&lines](const std::string& text) {
    const std::string line = trimmed(text);
    if (line.empty()) return;
    for (const std::string& present : lines) {
      if (sameTextIgnoringCase(present, line)) return;
    }
    lines.push_back(line);
  };

  add(textOf(code));
  for (UINT16 n = 1; n <= kMaxErrorEntries; ++n) {
    UINT32 native = 0;
    std::string text;
    const DBIResult entryCode = entry(n, native, text);
    if (entryCode == DBIERR_NONE) break;
    if (native == 0) add(textOf(entryCode));
    add(text);
  }

  if (lines.empty()) return "Erreur BDE " + hexCode(code);
  std::string message = lines.front();
  for (size_t i = 1; i < lines.size(); ++i) message += "\r\n" + lines[i];
  return message;
}

}  // namespace engine
