// The engine's format core: dBASE tables (.DBF) and their production indexes (.MDX).
//
// Pure code over byte sources: it never opens, locks, renames or removes a file
// itself (that is the job of the engine's file layer), so every routine here can be
// unit-tested and fuzzed on bytes in memory. Every failure is a Failure carrying the
// engine result code and a one-line text that names the file concerned.
#ifndef IDAPI_CORE_CORE_H
#define IDAPI_CORE_CORE_H

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "idapi/dbi.h"

namespace idapi::core {

class Failure : public std::exception {
 public:
  Failure(DBIResult code, std::string text) : code_(code), text_(std::move(text)) {}
  DBIResult code() const noexcept { return code_; }
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  DBIResult code_;
  std::string text_;
};

// Random-access, read-only bytes of a file. readAt reads exactly `length` bytes or
// throws a Failure (DBIERR_READERR).
//
// readAt names its offset on every call and promises nothing about any file position:
// on Windows a positioned read moves the handle's position, pread elsewhere does not.
// Callers never mix readAt with sequential reads or writes of their own on the same
// handle. A ScratchFile is written in full first (each write appends) and only then
// read, through readAt alone: it is never written again once read, since a write after
// a read would land at the position the read left on Windows.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t size() const = 0;
  virtual void readAt(uint64_t offset, void* buffer, size_t length) const = 0;
};

// Sequential output (the new index file). write writes everything or throws.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual void write(const void* data, size_t length) = 0;
};

// A scratch file for sorted runs when the keys outgrow the memory budget.
class ScratchFile : public ByteSink, public ByteSource {};

// Makes scratch files (in the table's folder); each is removed when its object dies.
class ScratchStore {
 public:
  virtual ~ScratchStore() = default;
  virtual std::unique_ptr<ScratchFile> create() = 0;
};

struct Field {
  std::string name;     // as stored, upper-case ASCII
  char type = 'C';      // C N F D L M B G I + O @
  uint16_t length = 0;  // bytes in the record
  uint8_t decimals = 0;
  uint16_t offset = 0;  // from the record start (the deletion flag is byte 0)
  bool mdxTag = false;  // descriptor's production-index flag
};

struct TableHeader {
  uint8_t version = 0;  // byte 0 of the file
  int level = 4;        // 3, 4, 5 or 7
  uint32_t recordCount = 0;
  uint16_t headerLength = 0;
  uint16_t recordLength = 0;
  bool productionIndex = false;  // byte 28
  uint8_t languageId = 0;        // byte 29
  std::string languageDriver;    // level 7 name, or the name matching languageId
  std::vector<Field> fields;
};

// Parses and checks the table header against the file's size.
// Throws Failure(DBIERR_HEADERCORRUPT) for any inconsistency, and
// Failure(DBIERR_NOTSUFFTABLERIGHTS) for a table whose header says it is encrypted.
TableHeader readTableHeader(const ByteSource& dbf, const std::string& fileName);

// Name of the language driver for a table's language byte ("" when unknown or none).
std::string languageDriverName(uint8_t languageId);

struct TagDefinition {
  std::string name;  // upper-case, at most 10 characters
  std::string keyExpression;
  std::string forExpression;  // empty: every record
  char keyType = 'C';         // C, N or D
  uint16_t keyLength = 0;
  bool unique = false;
  bool descending = false;
  // Only for checking an index someone else wrote: its blank dates are keyed 0.0.
  bool blankDateZero = false;
  // Under a driver of byte order: character keys whose bytes >= 0x80 sort before
  // ASCII (signed bytes), as some writers keep them (see followExistingOrder).
  bool highBytesFirst = false;
};

struct IndexHeader {
  std::string tableName;    // base name stored in the header
  uint16_t blockPages = 2;  // block size in 512-byte pages
  bool production = true;
  uint8_t languageId = 0;
  std::vector<TagDefinition> tags;
};

// Parses the index header and tag table. Node blocks are not read.
// Throws Failure(DBIERR_INDEXCORRUPT) when they cannot be read.
IndexHeader readIndexHeader(const ByteSource& mdx, const std::string& fileName);

// A key expression or FOR condition that cannot be evaluated (unknown function or
// field, syntax or type error, a key whose type does not match its tag).
inline constexpr DBIResult kKeyExpressionError = DBIERR_INDEXCORRUPT;

// Builds a tag definition for a new index: compiles the expressions against the
// table's fields and takes the key type and length from the key expression's result.
// Throws Failure(kKeyExpressionError) when an expression cannot be evaluated.
TagDefinition defineTag(const TableHeader& table, const std::string& name, const std::string& keyExpression,
                        const std::string& forExpression = {}, bool unique = false, bool descending = false);

// Under a driver of byte order the place of bytes >= 0x80 among the others is the
// writer's: a character tag of the existing index that is wholly in signed-byte order
// and out of byte order keeps that order in the rebuild (sets highBytesFirst), but
// only when the index passes the check against the table's records (checkIndex) with
// that tag in signed-byte order: an unrelated or stale index chooses nothing. Reads the
// leaves of the character tags, and the records only when some tag shows that order;
// never throws (an index that cannot be followed keeps byte order).
void followExistingOrder(const TableHeader& table, const ByteSource& dbf, const ByteSource& mdx,
                         const std::string& indexFileName, IndexHeader& index);

struct RebuildOptions {
  size_t memoryBudget = 64u << 20;  // bytes of keys held in memory before spilling
  ScratchStore* scratch = nullptr;  // null: never spill
  // Date written into the index header, given by the caller: the core reads no clock
  // (the engine passes today's date; all 0 writes a blank date).
  int year = 0, month = 0, day = 0;
};

// Writes a complete new index file with every tag of `index` built from the table's
// records. Throws Failure, naming the tag and its expression when one cannot be
// evaluated; nothing is written to `out` that the caller must keep in that case.
void rebuildIndex(const TableHeader& table, const ByteSource& dbf, const IndexHeader& index,
                  const std::string& indexFileName, ByteSink& out, const RebuildOptions& options = {});

struct TagReport {
  std::string tag;
  uint64_t keys = 0;
  bool ok = false;
  std::string problem;  // empty when ok
};

// Verifies every tag of the index against the table's records: key order, the exact
// set of record numbers after the FOR filter, the unique rule, key encodings, tree
// structure and pointers. Throws Failure only when the headers cannot be read.
// `options` bounds the memory of the expected keys as for a rebuild (its date is unused).
std::vector<TagReport> checkIndex(const TableHeader& table, const ByteSource& dbf, const ByteSource& mdx,
                                  const std::string& indexFileName, const RebuildOptions& options = {});

}  // namespace idapi::core

#endif  // IDAPI_CORE_CORE_H
