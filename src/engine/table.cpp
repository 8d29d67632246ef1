#include "engine/table.h"

#include "text/ascii.h"

namespace engine {

TTable::TTable(Engine& engine, sys::System& system) : engine_(engine), system_(system) {}

TTable::~TTable() { Close(); }

void TTable::setTableName(const std::string& name) {
  if (name == tableName_) return;
  if (Active()) throw TableStateError("Impossible de changer le nom d'une table ouverte");
  tableName_ = name;
}

void TTable::setExclusive(bool exclusive) {
  if (Active()) throw TableStateError("Impossible de changer le mode d'accès d'une table ouverte");
  exclusive_ = exclusive;
}

void TTable::setActive(bool active) {
  if (active) {
    Open();
  } else {
    Close();
  }
}

const char* TTable::driverFor(const std::string& name) {
  const size_t dot = name.rfind('.');
  const size_t sep = name.find_last_of("\\/");
  if (dot == std::string::npos || (sep != std::string::npos && dot < sep)) return nullptr;
  return text::sameAsciiText(name.substr(dot), ".DBF") ? "DBASE" : nullptr;
}

std::string TTable::enginePath(sys::System& system, const std::string& name) {
  // The engine takes names in its own character set, the system's OEM code page: the
  // path goes to the ANSI code page first, as every text for the system, then through
  // the system's ANSI-to-OEM conversion, and is cut to 260 bytes after that.
  std::string path = system.ansiToOem(system.utf8ToAnsi(name));
  if (path.size() > DBIMAXPATHLEN) path.resize(DBIMAXPATHLEN);
  return path;
}

void TTable::Open() {
  if (Active()) return;
  engine_.start();

  const std::string path = enginePath(system_, tableName_);
  const char* driver = driverFor(tableName_);
  const DBIShareMode share = exclusive_ ? dbiOPENEXCL : dbiOPENSHARED;

  hDBICur cursor = nullptr;
  DBIResult rc = engine_.OpenTable(engine_.database(), path.c_str(), driver, nullptr, nullptr, 0, dbiREADWRITE, share,
                                   xltFIELD, 0, nullptr, &cursor);
  bool readOnly = false;
  if (rc == DBIERR_TABLEREADONLY) {
    cursor = nullptr;
    readOnly = true;
    rc = engine_.OpenTable(engine_.database(), path.c_str(), driver, nullptr, nullptr, 0, dbiREADONLY, share, xltFIELD,
                           0, nullptr, &cursor);
  }
  if (rc != DBIERR_NONE) throw engine_.error(rc);
  if (cursor == nullptr) throw engine_.error(DBIERR_INVALIDHNDL);

  cursor_ = cursor;
  readOnly_ = readOnly;
  try {
    describe();
  } catch (...) {
    Close();
    throw;
  }
}

void TTable::describe() {
  properties_ = CURProps{};
  engine_.check(engine_.GetCursorProps(cursor_, &properties_));
  fields_.assign(properties_.iFields, FLDDesc{});
  if (!fields_.empty()) engine_.check(engine_.GetFieldDescs(cursor_, fields_.data()));
  indexes_.assign(properties_.iIndexes, IDXDesc{});
  if (!indexes_.empty()) engine_.check(engine_.GetIndexDescs(cursor_, indexes_.data()));
  engine_.check(engine_.SetToBegin(cursor_));
}

void TTable::Close() {
  if (cursor_ == nullptr) return;
  hDBICur cursor = cursor_;
  cursor_ = nullptr;  // gone afterwards, whatever the engine answers
  engine_.CloseCursor(&cursor);
  fields_.clear();
  indexes_.clear();
  properties_ = CURProps{};
  readOnly_ = false;
}

}  // namespace engine
