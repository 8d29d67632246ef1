// What a table's language driver decides for index keys: the order of character keys
// and the case mapping of UPPER() and LOWER().
//
// Character keys are stored as their raw bytes; under a driver with a national order
// the B-tree is ordered by the driver's weights, compared byte by byte. Every known
// national order gives each byte a weight of its own (a permutation of 0..255), so a
// key's weights are a byte-comparable form of the key that can be turned back into the
// raw bytes. The weights are the tables that the TDbf component of Free Pascal carries
// for compatibility with the installed engine.
//
// Case mapping: ASCII letters always; under a national driver other bytes by its code
// page (pairs of letters that map to each other within that code page); the US drivers
// and tables without a driver leave them alone. A driver whose code page is not known
// here maps ASCII letters and reports the other bytes as unknown.
#ifndef IDAPI_CORE_LANGUAGE_H
#define IDAPI_CORE_LANGUAGE_H

#include <cstdint>
#include <string>

namespace idapi::core {

struct TableHeader;

class LanguageRules {
 public:
  // Rules of a driver given by its table byte and, for level-7 tables, its name ("" when
  // the header holds none). Never fails: what is not known is reported by the queries.
  static LanguageRules of(uint8_t languageId, const std::string& driverName = {});
  static LanguageRules of(const TableHeader& table);
  // The rules of a table without a driver: byte order, ASCII case.
  static LanguageRules binary();

  uint8_t id() const { return id_; }
  // "DBWINWE0", or "" for no driver / an unknown one.
  const std::string& name() const { return name_; }
  // The driver's code page (1252 for DBWINWE0), 0 when not known. The one list of
  // drivers' code pages: the engine reports a table's from here.
  uint16_t codePage() const { return codePage_; }
  // "driver 0x58 (DBWINWE0)" for messages.
  std::string describe() const;

  // Whether the order of character keys under this driver is known.
  bool orderKnown() const { return orderKnown_; }
  // Whether character keys are ordered by plain byte value.
  bool byteOrder() const { return weights_ == nullptr; }
  // Byte-comparable form of character key bytes (the weights) and back. Only for a
  // driver whose order is known; with byte order both copy.
  void toWeights(const uint8_t* bytes, size_t n, uint8_t* out) const;
  void fromWeights(const uint8_t* weights, size_t n, uint8_t* out) const;
  // Compares two texts by the driver's order, the shorter one padded with blanks.
  int compare(const std::string& a, const std::string& b) const;

  // Case mapping of one text in place; false when it holds a byte whose case under this
  // driver is not known (the text is then left partly mapped).
  bool toUpper(std::string& text) const { return mapCase(text, true); }
  bool toLower(std::string& text) const { return mapCase(text, false); }

 private:
  LanguageRules() = default;
  bool mapCase(std::string& text, bool upper) const;

  uint8_t id_ = 0;
  std::string name_;
  bool orderKnown_ = true;
  const uint8_t* weights_ = nullptr;  // null: byte order
  uint8_t inverse_[256] = {};
  const uint8_t* upper_ = nullptr;  // the 128 bytes 0x80..0xFF; null: their case is not known
  const uint8_t* lower_ = nullptr;
  bool asciiOnlyHigh_ = false;  // no driver: bytes >= 0x80 are left as they are
  bool doubleByte_ = false;     // code pages 932/936/949/950: the byte after a lead byte is not a character
  uint16_t codePage_ = 0;

  friend struct LanguageTable;
};

}  // namespace idapi::core

#endif  // IDAPI_CORE_LANGUAGE_H
