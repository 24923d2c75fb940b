// TVELDORTable: the table component, one table of a database opened by name.
//
// The table opens in the database its DatabaseName names (a database component, a folder path
// or "Memory") in the session SessionName names (empty: the default session), on the index
// IndexName names (or whose columns IndexFieldNames lists, separated by ";"), and shows its
// records through the dataset interface. Tables can also be created from FieldDefs and
// IndexDefs, deleted and emptied through it.
//
// Thread safety: used by one thread at a time, like every dataset (DataSet.h).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/components/DataSet.h"
#include "engine/components/Session.h"

namespace zorvic::engine {

class TVELDORTable;

// Why a restructuring lost data (reported by the table maintenance operations).
enum class TDataLossCause : std::uint8_t {
  dlUnknown,
  dlKeyViolation,
  dlValidityCheckFail,
  dlFieldDeletion,
  dlFieldConversion,
};
using TDataLostEvent = std::function<void(TVELDORTable& table, TDataLossCause cause, bool& stop)>;

// A column of a table to be created.
struct TFieldDef {
  std::string Name;
  TFieldKind DataType = TFieldKind::String;
  int Size = 0;  // String, FixedChar, Bytes, VarBytes: characters or bytes; BCD: the scale
  bool Required = false;
  std::string Description;
  std::string DefaultValue;
  std::string MinValue;
  std::string MaxValue;
};

// An index of a table to be created. The first index marked Primary becomes the primary
// index (an empty name); without one the table has none.
struct TIndexDef {
  std::string Name;
  std::string Fields;  // column names separated by ";"
  bool Primary = false;
  bool Unique = false;
  bool CaseInsensitive = false;
  bool Descending = false;
};

class TVELDORTable : public TVELDORDBDataSet {
 public:
  explicit TVELDORTable(const void* owner = nullptr);
  ~TVELDORTable() override;

  // ---- properties (fixed while open) --------------------------------------------------
  const std::string& TableName() const { return FTableName; }
  void SetTableName(const std::string& name);
  bool Exclusive() const { return FExclusive; }
  void SetExclusive(bool on);
  // True after opening when the table could only be opened read-only.
  bool ReadOnly() const { return FReadOnly; }
  void SetReadOnly(bool on);
  const std::string& IndexName() const { return FIndexName; }
  // Selects the index at once on an open table.
  void SetIndexName(const std::string& name);
  const std::string& IndexFieldNames() const { return FIndexFieldNames; }
  void SetIndexFieldNames(const std::string& names);
  const char* EngineVersion() const { return kComponentEngineVersion; }
  // Cache budgets for this table's files in place of its session's, from the next open on and
  // at once when open. The caches belong to the table's files, which every cursor of the
  // database on that table shares (a query's too), so those use them as well, for as long as
  // the files stay open. Refused values (CheckCacheSizes) leave the setting as it was;
  // ClearCacheSizes goes back to the session's budgets.
  const std::optional<TTableCacheSizes>& CacheSizes() const { return FCacheSizes; }
  void SetCacheSizes(const TTableCacheSizes& sizes);
  void ClearCacheSizes();

  std::vector<TFieldDef> FieldDefs;
  std::vector<TIndexDef> IndexDefs;
  bool StoreDefs = false;
  TDataLostEvent OnDataLost;

  // ---- keys and ranges (index mode) -------------------------------------------------
  // Goes to the record whose first index columns have the given texts; false, and the
  // position unchanged, when there is none.
  bool FindKey(const std::vector<std::string>& values);
  // Goes to the record with the key, or the one after where it would be.
  void FindNearest(const std::vector<std::string>& values);
  // Limits the records to keys from the low to the high values (each may give fewer values
  // than the index has columns), then goes to the first.
  void SetRange(const std::vector<std::string>& low, const std::vector<std::string>& high);
  void CancelRange();

  // ---- table maintenance (the table closed) -----------------------------------------
  // Creates the table from FieldDefs and IndexDefs, replacing one of that name.
  void CreateTable();
  void DeleteTable();
  // Needs the table open exclusively.
  void EmptyTable();
  bool Exists();

 protected:
  TDataCursor* CreateHandle(TVELDORDatabase& database) override;
  void DestroyHandle() override;
  bool WantsReadOnly() const override { return FReadOnly; }

 private:
  void CheckClosed() const;
  void SelectIndex();
  void ApplyCacheSizes();
  // The columns of the current index, in key order.
  std::vector<TVELDORField*> KeyFields(std::size_t count);
  // Runs body on a cursor of the table's database while the table is closed.
  template <class F>
  void WithDatabase(F&& body);

  std::string FTableName;
  bool FExclusive = false;
  bool FReadOnly = false;
  std::string FIndexName;
  std::string FIndexFieldNames;
  std::unique_ptr<TDataCursor> FHandle;
  std::optional<TTableCacheSizes> FCacheSizes;
  bool FBudgetsSet = false;  // this component put budgets on its open table's files
};

}  // namespace zorvic::engine
