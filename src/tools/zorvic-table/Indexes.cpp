// info on the index file, verify of the index trees, repair.
#include <cstdio>
#include <cstring>

#include "engine/storage/DataTable.h"
#include "engine/storage/EngineError.h"
#include "engine/storage/IndexFile.h"
#include "engine/storage/IndexRebuild.h"
#include "engine/storage/Record.h"
#include "tools/zorvic-table/Commands.h"
#include "tools/zorvic-table/TableSession.h"

namespace zorvic::tools {

using namespace zorvic::engine;

namespace {

void Line(const std::string& name, const std::string& value) {
  std::string out = name + ": " + value + "\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
}

std::string Flag(bool on) {
  return on ? "1" : "0";
}

// The records of the table as the index checks read them.
class TTableRecords : public TRecordSource {
 public:
  explicit TTableRecords(TDataFile& data) : FData(data), FBytes(data.RecordSize()) {}
  std::int32_t SlotCount() override { return FData.PhysicalRecordCount(); }
  const std::uint8_t* Record(std::int32_t recordNo) override {
    TRecord* r = FData.GetRecord(recordNo);
    if (!r) RaiseTableError(VELDOR_LOCKTIMEOUT, FData.TableName());
    std::memcpy(FBytes.data(), r->Bytes(), FBytes.size());
    FData.ReleaseRecord(r);
    return FBytes.data();
  }

 private:
  TDataFile& FData;
  std::vector<std::uint8_t> FBytes;
};

}  // namespace

void PrintIndexInfo(const std::string& directory, const std::string& table, bool encrypted) {
  TIndexFile file(TDataTable::FileNameIn(directory, table, ".IDX"), false, table);
  file.SetEncrypted(encrypted);
  try {
    file.Open(false);
  } catch (const EVELDOREngineError& e) {
    Line("Index.File", std::string("(") + e.what() + ")");
    return;
  }
  const TIndexHeader& h = file.Header();
  Line("Index.File", file.FileName());
  Line("Index.ChangeCount", std::to_string(h.ChangeCount()));
  Line("Index.FormatVersion", std::to_string(h.FormatVersion()));
  Line("Index.NextPageNo", std::to_string(h.NextPageNo()));
  Line("Index.SecondaryCount", std::to_string(h.SecondaryCount()));
  Line("Index.RecordCount", std::to_string(h.RecordCount()));
  Line("Index.NoPrimaryIndex", Flag(h.NoPrimaryIndex()));
  std::vector<int> slots;
  if (!h.NoPrimaryIndex() && h.SlotInUse(0)) slots.push_back(0);
  for (int s = 1; s <= h.SecondaryCount() && s < SysDeletedSlot; ++s)
    slots.push_back(s);
  slots.push_back(SysDeletedSlot);
  slots.push_back(SysDeletedSlot + 1);
  for (const int slot : slots) {
    const TIndexDescriptor d = h.Descriptor(slot);
    const std::string p = "Index[" + std::to_string(slot) + "].";
    Line(p + "IndexName", IndexDisplayName(slot, d));
    Line(p + "KeySize", std::to_string(d.KeySize));
    Line(p + "Descending", Flag(d.Descending));
    Line(p + "NoCase", Flag(d.NoCase));
    Line(p + "Unique", Flag(d.Unique));
    Line(p + "Compression", std::to_string(d.Compression));
    Line(p + "KeyFieldCount", std::to_string(d.KeyFieldCount));
    std::string fields;
    std::string descending;
    for (int i = 0; i < d.KeyFieldCount && i < MaxIndexKeyFields; ++i) {
      fields += (i ? "," : "") + std::to_string(d.KeyFields[i]);
      descending += (i ? "," : "") + std::to_string(d.FieldDescending[i]);
    }
    Line(p + "KeyFields", fields);
    Line(p + "FieldDescending", descending);
    Line(p + "RootPage", std::to_string(d.RootPage));
    Line(p + "FreePage", std::to_string(d.FreePage));
    Line(p + "ParamPage", std::to_string(d.ParamPage));
    Line(p + "NoSubtreeCounts", Flag(d.NoSubtreeCounts));
    Line(p + "Temporary", Flag(d.Temporary));
  }
  file.Close();
}

std::vector<std::string> CheckIndexes(const std::string& directory, const std::string& table) {
  std::vector<std::string> problems;
  TTableSession session(directory);
  TDataCursor* cursor = nullptr;
  try {
    cursor = &session.OpenTable(table, true);
  } catch (const EVELDOREngineError& e) {
    problems.push_back(std::string("index file: ") + e.what());
    return problems;
  }
  // Under the table's read lock: no writer changes the files while they are checked.
  cursor->TakeTableReadLock();
  TDataTable& t = cursor->Table();
  TIndexFile& index = t.Index();
  auto add = [&](const std::vector<std::string>& more) {
    problems.insert(problems.end(), more.begin(), more.end());
  };
  const TIndexFileCheck file =
      CheckIndexFile(index, [&](int slot) -> const TKeyCompare& { return index.KeyCompare(slot); });
  add(file.Problems);
  for (const TTreeCheck& tree : file.Trees)
    add(tree.Problems);

  TTableRecords records(t.Data());
  std::int64_t active = 0;
  for (std::int32_t n = 1; n <= records.SlotCount(); ++n)
    if (RecStatus(records.Record(n)) == kRecActive) ++active;
  if (index.RecordCount() != active)
    problems.push_back("index header: RecordCount " + std::to_string(index.RecordCount()) +
                       " but " + std::to_string(active) + " active records");

  std::vector<int> slots;
  if (t.HasPrimaryIndex()) slots.push_back(0);
  for (int s = 1; s <= index.Header().SecondaryCount(); ++s)
    slots.push_back(s);
  slots.push_back(SysDeletedSlot);
  for (const int s : slots) {
    // A tree whose structure is broken is not compared with the records (its walk would only
    // repeat the same damage).
    bool broken = false;
    for (const TTreeCheck& tree : file.Trees)
      broken = broken || (tree.Slot == s && !tree.Ok());
    if (broken) continue;
    TTreeCheck check;
    check.Slot = s;
    check.IndexName = index.IndexName(s);
    try {
      const TKeyBuilder* builder = s == SysDeletedSlot ? nullptr : &index.KeyBuilder(s);
      CheckIndexRecords(index, s, index.KeyCompare(s), builder, records, check);
    } catch (const EVELDOREngineError& e) {
      check.Problems.push_back("index " + index.IndexName(s) + ": " + e.what());
    }
    add(check.Problems);
  }
  cursor->ReleaseTableReadLock();
  return problems;
}

int RepairTable(const std::string& directory, const std::string& table) {
  const TIndexRebuildResult r = RebuildIndexFile(directory, table);
  if (r.IndexFileWasMissing)
    std::printf("note: the index file was missing; rebuilt without primary or secondary indexes\n");
  std::printf("rebuilt %d index%s over %lld records (%lld record slots)\n", r.Indexes,
              r.Indexes == 1 ? "" : "es", static_cast<long long>(r.Records),
              static_cast<long long>(r.Slots));
  return 0;
}

}  // namespace zorvic::tools
