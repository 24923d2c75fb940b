// info on the index file, verify of the index trees, repair.
#include <cstdio>
#include <cstring>

#include "engine/storage/EngineError.h"
#include "engine/storage/formats/IndexFile.h"
#include "engine/storage/formats/Record.h"
#include "engine/storage/formats/Scramble.h"
#include "engine/storage/locks/Journal.h"
#include "engine/storage/locks/UndoJournal.h"
#include "engine/storage/maintenance/IndexRebuild.h"
#include "engine/storage/maintenance/TableRepair.h"
#include "engine/storage/sessions/DataTable.h"
#include "engine/storage/sessions/TableRecords.h"
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

// Every tree of the file, and the pages no tree or free list reaches. Pages of deleted indexes
// stay behind free (no entries) until a rebuild; a page that still holds entries but belongs to
// no index was lost from its tree.
TIndexFileCheck CheckTrees(TIndexFile& index, bool encrypted) {
  TIndexFileCheck result;
  const TIndexHeader& h = index.Header();
  const std::int32_t next = h.NextPageNo();
  if (next < 1) {
    result.Problems.push_back("index header: NextPageNo " + std::to_string(next) + " is below 1");
    return result;
  }
  TPageOwners owners(static_cast<std::size_t>(next), -1);
  for (int slot = 0; slot < IndexSlotCount; ++slot) {
    if (!h.SlotInUse(slot)) continue;
    result.Trees.push_back(CheckIndexTree(index, slot, index.KeyCompare(slot), &owners));
    const std::int32_t param = h.Descriptor(slot).ParamPage;
    if (param > 0 && param < next) owners[param] = slot;
  }
  std::vector<std::uint8_t> page(IndexPageSize);
  for (std::int32_t n = 1; n < next; ++n) {
    if (owners[n] != -1) continue;
    ++result.UnownedPages;
    const std::int64_t got = index.ReadAt(static_cast<std::int64_t>(n) * IndexPageSize, page.data(),
                                          IndexPageSize, true);
    if (got < IndexPageSize) {
      result.Problems.push_back("page " + std::to_string(n) + " lies outside the file");
      continue;
    }
    if (encrypted) Scramble(page.data(), page.size(), DataSeed);
    const int type = page[0];
    const int entries = page[1] | (page[2] << 8);
    if (type <= 3 && entries > 0)
      result.Problems.push_back("page " + std::to_string(n) + " is lost: it holds " +
                                std::to_string(entries) +
                                " entries but no index or free list reaches it");
  }
  return result;
}

// The problems of one index, each naming it.
std::vector<std::string> Named(const TTreeCheck& check) {
  std::vector<std::string> out;
  for (const std::string& p : check.Problems)
    out.push_back("index " + check.IndexName + ": " + p);
  return out;
}

// The checks of an open table, under its read lock (no writer changes the files meanwhile).
void CheckOpenTable(TDataCursor& cursor, std::vector<std::string>& problems) {
  cursor.TakeTableReadLock();
  struct TRelease {
    TDataCursor& Cursor;
    ~TRelease() {
      try {
        Cursor.ReleaseTableReadLock();
      } catch (...) {
      }
    }
  } release{cursor};
  TDataTable& t = cursor.Table();
  TIndexFile& index = t.Index();
  auto add = [&](const std::vector<std::string>& more) {
    problems.insert(problems.end(), more.begin(), more.end());
  };
  const TIndexFileCheck file = CheckTrees(index, t.Data().Encrypted());
  add(file.Problems);
  for (const TTreeCheck& tree : file.Trees)
    add(Named(tree));

  TDataFileRecords records(t.Data());
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
      check.Problems.push_back(e.what());
    }
    add(Named(check));
  }
}

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
  try {
    CheckOpenTable(*cursor, problems);
  } catch (const EVELDOREngineError& e) {
    problems.push_back(std::string("index file: ") + e.what());
  }
  return problems;
}

int RepairTable(const std::string& directory, const std::string& table, bool dropBadRecords) {
  // A journal left by an interrupted write is played back by an ordinary open first.
  if (ReadJournal(CurrentFileSystem(), JournalFileName(directory, table), nullptr) !=
          TJournalState::None ||
      UndoJournalPresent(CurrentFileSystem(), UndoJournalFileName(directory, table))) {
    TTableSession session(directory);
    session.OpenTable(table, true);
    std::printf("journal of an interrupted write played back\n");
  }
  TTableRepairOptions options;
  options.DropBadRecords = dropBadRecords;
  const TTableRepairResult r = RepairTableFiles(directory, table, options);
  for (const std::string& change : r.Changes)
    std::printf("%s\n", change.c_str());
  if (r.Changes.empty()) std::printf("data and BLOB files: nothing to mend\n");
  for (const std::string& bad : r.BadRecords)
    std::printf("bad record kept (--drop-bad-records removes it): %s\n", bad.c_str());
  if (r.Index.IndexFileWasMissing)
    std::printf("note: the index file was missing; rebuilt without primary or secondary indexes\n");
  std::printf("rebuilt %d index%s over %lld records (%lld record slots)\n", r.Index.Indexes,
              r.Index.Indexes == 1 ? "" : "es", static_cast<long long>(r.Index.Records),
              static_cast<long long>(r.Index.Slots));
  std::printf("old files kept as %s.DBK, .BBK and .IBK\n", table.c_str());
  return r.BadRecordsKept > 0 ? 1 : 0;
}

}  // namespace zorvic::tools
