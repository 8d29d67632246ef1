// A dBASE table addressed by its full path, opened through the database engine.
#ifndef ORVANE_ENGINE_TABLE_H
#define ORVANE_ENGINE_TABLE_H

#include <idapi/dbi.h>

#include <string>
#include <vector>

#include "engine/engine.h"

namespace engine {

class TTable {
 public:
  TTable(Engine& engine, sys::System& system);
  // Releases the cursor of an open table.
  ~TTable();
  TTable(const TTable&) = delete;
  TTable& operator=(const TTable&) = delete;

  const std::string& TableName() const { return tableName_; }
  // Full path (UTF-8). Changing the name of an open table is refused (TableStateError);
  // setting the name it already has is accepted in any state.
  void setTableName(const std::string& name);

  bool Active() const { return cursor_ != nullptr; }
  void setActive(bool active);
  // Starts the engine first when needed; opens the table, describes it and moves to
  // its start. Throws EngineError; on failure the table stays closed.
  void Open();
  // Releases the cursor; the engine's answer is not examined.
  void Close();

  bool Exclusive() const { return exclusive_; }
  // Refused on an open table, even to its current value (TableStateError).
  void setExclusive(bool exclusive);

  // The engine cursor of the open table; null when closed.
  hDBICur Handle() const { return cursor_; }

  // What the engine reported about the open table.
  const CURProps& properties() const { return properties_; }
  const std::vector<FLDDesc>& fields() const { return fields_; }
  const std::vector<IDXDesc>& indexes() const { return indexes_; }
  bool readOnly() const { return readOnly_; }
  // The engine the table is opened through.
  Engine& engine() const { return engine_; }

  // Engine driver named in the open request for a table name: "DBASE" for ".DBF"
  // (letter case aside), none otherwise (the engine then decides).
  static const char* driverFor(const std::string& name);
  // The bytes the engine is given for a table's full path (UTF-8): in the system's
  // OEM code page, by way of its ANSI code page, at most 260 of them.
  static std::string enginePath(sys::System& system, const std::string& name);

 private:
  void describe();

  Engine& engine_;
  sys::System& system_;
  std::string tableName_;
  bool exclusive_ = false;
  bool readOnly_ = false;
  hDBICur cursor_ = nullptr;
  CURProps properties_{};
  std::vector<FLDDesc> fields_;
  std::vector<IDXDesc> indexes_;
};

}  // namespace engine

#endif  // ORVANE_ENGINE_TABLE_H
