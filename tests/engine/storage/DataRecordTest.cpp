// Records of the data file: field write rules, slots and RowIds, limits, the record cache,
// failures half-way through a change, crash leftovers and damaged files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>

#include "DataTestSupport.h"
#include "engine/EngineLimits.h"
#include "engine/storage/files/FaultFileSystem.h"
#include "engine/storage/formats/Collation.h"
#include "engine/storage/formats/Record.h"

using namespace zorvic::engine;
using namespace zorvic::engine::testing;

namespace {

// Inserts records whose Name is "N<i>" and returns their record numbers.
std::vector<std::int32_t> InsertNamed(TDataFile& file, int count, bool primary = false) {
  std::vector<std::int32_t> numbers;
  const TFieldDesc& name = *file.FindField("Name");
  for (int i = 0; i < count; ++i) {
    TRecord* r = file.AllocateRecord(primary);
    WriteStringField(name, r->Bytes(), "N" + std::to_string(r->RecordNo()), TCollation::Binary());
    numbers.push_back(r->RecordNo());
    file.ReleaseRecord(r);
  }
  file.Flush();
  return numbers;
}

std::int32_t RowIdOf(TDataFile& file, std::int32_t recordNo) {
  TRecord* r = file.GetRecord(recordNo);
  const std::int32_t id = RecRowId(r->Bytes());
  file.ReleaseRecord(r);
  return id;
}

// Patches the header of a closed table file in place.
void PatchHeader(const std::string& path, const std::function<void(TTableHeader&)>& change) {
  std::string bytes = ReadWholeFile(path);
  TTableHeader h;
  h.Decode(reinterpret_cast<const std::uint8_t*>(bytes.data()));
  change(h);
  h.Encode(reinterpret_cast<std::uint8_t*>(bytes.data()));
  WriteWholeFile(path, bytes);
}

// Installs a fault file system for the life of the object.
struct TFaultScope {
  TFaultFileSystem Fault;
  TFaultScope() { InstallFileSystem(&Fault); }
  ~TFaultScope() { InstallFileSystem(nullptr); }
};

}  // namespace

TEST(DataRecord, FieldWriteRules) {
  TTempDir dir;
  TTableDefinition def = SmallTableDef();
  TFieldDefinition upper = FieldDef("Code", ftString, 5);
  upper.CharCase = kCharCaseUpper;
  TFieldDefinition lower = FieldDef("Mail", ftString, 10);
  lower.CharCase = kCharCaseLower;
  def.Fields.push_back(upper);
  def.Fields.push_back(lower);
  def.LanguageId = 0x0407;
  auto file = CreateDataFile(dir, "T", def);
  const TCollation& cases = CaseCollationFor(file->LanguageId(), file->SortId());
  const TFieldDesc& name = *file->FindField("Name");
  const TFieldDesc& code = *file->FindField("Code");
  const TFieldDesc& mail = *file->FindField("Mail");
  const TFieldDesc& active = *file->FindField("Active");
  const TFieldDesc& id = *file->FindField("ID");
  TRecord* r = file->AllocateRecord(false);
  std::uint8_t* rec = r->Bytes();

  WriteStringField(name, rec, "Smith   ", cases);
  EXPECT_EQ(ReadStringField(name, rec), "Smith");
  WriteStringField(name, rec, "", cases);
  EXPECT_TRUE(IsFieldNull(name, rec));
  WriteStringField(name, rec, "     ", cases);  // only blanks: empty after trimming
  EXPECT_TRUE(IsFieldNull(name, rec));
  WriteStringField(name, rec, std::string(25, 'x'), cases);
  EXPECT_EQ(ReadStringField(name, rec), std::string(20, 'x'));
  WriteStringField(name, rec, std::string("ab\0cd", 5), cases);
  EXPECT_EQ(ReadStringField(name, rec), "ab");
  WriteStringField(code, rec, "abcd  efgh", cases);  // cut to 5, then the blanks go
  EXPECT_EQ(ReadStringField(code, rec), "ABCD");
  WriteStringField(mail, rec, "\xC4PFEL@X.DE", cases);
  EXPECT_EQ(ReadStringField(mail, rec), "\xE4pfel@x.de");

  const std::uint8_t two[2] = {2, 0};
  WriteFieldBytes(active, rec, two);
  std::uint8_t out[2] = {9, 9};
  ASSERT_TRUE(ReadFieldBytes(active, rec, out));
  EXPECT_EQ(GetU16(out), 1);
  EXPECT_TRUE(ClearField(active, rec));
  EXPECT_TRUE(IsFieldNull(active, rec));
  EXPECT_EQ(GetU16(rec + active.FieldOffset + 1), 0);
  EXPECT_FALSE(ReadFieldBytes(active, rec, out));

  EXPECT_FALSE(ClearField(id, rec));  // auto-increment fields are never NULL
  EXPECT_FALSE(IsFieldNull(id, rec));
  std::uint8_t rowId[4];
  ASSERT_TRUE(ReadFieldBytes(id, rec, rowId));
  EXPECT_EQ(GetI32(rowId), 1);
  file->ReleaseRecord(r);
}

TEST(DataRecord, DeletedSlotsAreReusedLastInFirstOutOnlyWithAPrimaryIndex) {
  TTempDir dir;
  for (const bool primary : {true, false}) {
    const std::string table = primary ? "P" : "N";
    auto file = CreateDataFile(dir, table, SmallTableDef());
    InsertNamed(*file, 10, primary);
    file->DeleteRecord(3, primary);
    file->DeleteRecord(7, primary);
    file->Flush();
    EXPECT_EQ(file->Header().FirstDeleted, 7);
    file->Close();
    file = OpenDataFile(dir, table);
    file->Verify();
    EXPECT_TRUE(file->CheckFile().empty());
    const auto reused = InsertNamed(*file, 3, primary);
    if (primary) {
      EXPECT_EQ(reused, (std::vector<std::int32_t>{7, 3, 11}));
    } else {
      EXPECT_EQ(reused, (std::vector<std::int32_t>{11, 12, 13}));
    }
    // RowIds keep increasing whatever slot a record lands in.
    EXPECT_EQ(RowIdOf(*file, reused[0]), 11);
    EXPECT_EQ(RowIdOf(*file, reused[1]), 12);
    EXPECT_EQ(RowIdOf(*file, reused[2]), 13);
    EXPECT_TRUE(file->CheckFile().empty());
    EXPECT_ENGINE_ERROR(file->DeleteRecord(0, primary), VELDOR_FILECORRUPT);
    EXPECT_ENGINE_ERROR(file->DeleteRecord(99, primary), VELDOR_FILECORRUPT);
  }
  auto file = OpenDataFile(dir, "N");
  file->DeleteRecord(5, false);
  EXPECT_ENGINE_ERROR(file->DeleteRecord(5, false), VELDOR_KEYORRECDELETED);
}

TEST(DataRecord, SuppliedRowIdsRaiseTheCounter) {
  TTempDir dir;
  auto file = CreateDataFile(dir, "T", SmallTableDef());
  TRecord* r = file->AllocateRecord(false, 500);
  EXPECT_EQ(RecRowId(r->Bytes()), 500);
  file->ReleaseRecord(r);
  r = file->AllocateRecord(false, 20);
  file->ReleaseRecord(r);
  EXPECT_EQ(file->LastAutoInc(), 500);
  r = file->AllocateRecord(false);
  EXPECT_EQ(RecRowId(r->Bytes()), 501);
  file->ReleaseRecord(r);
}

TEST(DataRecord, AutoIncrementStopsAtItsLimitInsteadOfWrapping) {
  TTempDir dir;
  auto file = CreateDataFile(dir, "T", SmallTableDef());
  file->SetLastAutoInc(MaxAutoIncValue - 1);
  InsertNamed(*file, 1);
  EXPECT_EQ(RowIdOf(*file, 1), MaxAutoIncValue);
  const TTableHeader before = file->Header();
  EXPECT_ENGINE_ERROR(file->AllocateRecord(false), VELDOR_TABLEFULL);
  EXPECT_ENGINE_ERROR(file->NextAutoIncValue(), VELDOR_TABLEFULL);
  EXPECT_EQ(file->Header().NextRecordNo, before.NextRecordNo);
  EXPECT_EQ(file->Header().LastAutoInc, MaxAutoIncValue);
  EXPECT_FALSE(file->HeaderModified());
  EXPECT_EQ(file->Cache().Count(), 1);
}

TEST(DataRecord, TableFullLimitsAreCheckedBeforeAnyChange) {
  TTempDir dir;
  // 200,000,000 slots of 12-byte records fit in 2.4 GB: the slot limit comes first.
  CreateDataFile(dir, "S", TableDef({FieldDef("B", ftBoolean)}))->Close();
  const std::int64_t h = DataHeaderBytes(1);
  PatchHeader(dir.File("S.DAT"), [](TTableHeader& hd) { hd.NextRecordNo = 200000000; });
  ASSERT_EQ(truncate(dir.File("S.DAT").c_str(), h + 199999999LL * 12), 0);
  {
    auto file = OpenDataFile(dir, "S");
    file->Verify();
    TRecord* r = file->AllocateRecord(false);
    EXPECT_EQ(r->RecordNo(), 200000000);
    file->ReleaseRecord(r);
    file->Flush();
    EXPECT_ENGINE_ERROR(file->AllocateRecord(false), VELDOR_TABLEFULL);
    EXPECT_FALSE(file->HeaderModified());
  }
  // 65,535-byte records reach 4,000,000,000 bytes first.
  TTableDefinition wide;
  for (int i = 0; i < 261; ++i)
    wide.Fields.push_back(FieldDef("B" + std::to_string(i), ftBytes, 250));
  wide.Fields.push_back(FieldDef("Last", ftBytes, 14));
  CreateDataFile(dir, "W", wide)->Close();
  const std::int64_t hw = DataHeaderBytes(262);
  const std::int32_t fits = static_cast<std::int32_t>((MaxDataFileBytes - hw) / 65535);
  PatchHeader(dir.File("W.DAT"), [&](TTableHeader& hd) { hd.NextRecordNo = fits; });
  ASSERT_EQ(truncate(dir.File("W.DAT").c_str(), hw + (fits - 1LL) * 65535), 0);
  auto file = OpenDataFile(dir, "W");
  file->ReleaseRecord(file->AllocateRecord(false));
  file->Flush();
  EXPECT_ENGINE_ERROR(file->AllocateRecord(false), VELDOR_TABLEFULL);
  EXPECT_EQ(file->Header().NextRecordNo, fits + 1);
}

TEST(DataRecord, RecordsPastTheLastSlotAreToleratedAndTrimmed) {
  TTempDir dir;
  CreateDataFile(dir, "T", SmallTableDef())->Close();
  {
    auto file = OpenDataFile(dir, "T");
    InsertNamed(*file, 5);
  }
  const std::string path = dir.File("T.DAT");
  const std::string clean = ReadWholeFile(path);
  // A crash after two more records reached the file but before the header did, plus half of
  // a third one.
  WriteWholeFile(path, clean + std::string(34 * 2, '\x01') + std::string(17, '\x02'));
  {
    auto shared = OpenDataFile(dir, "T", false);
    shared->Verify();
    EXPECT_TRUE(shared->CheckFile().empty());
    EXPECT_EQ(shared->PhysicalRecordCount(), 5);
    EXPECT_ENGINE_ERROR(shared->GetRecord(6), VELDOR_FILECORRUPT);
    InsertNamed(*shared, 1);  // a shared writer leaves the tail alone
    EXPECT_EQ(ReadWholeFile(path).size(), clean.size() + 34 * 2 + 17);
  }
  auto file = OpenDataFile(dir, "T");
  InsertNamed(*file, 1);  // the next exclusive write cuts it off
  EXPECT_EQ(ReadWholeFile(path).size(), clean.size() + 34 * 2);
  file->Verify();
  EXPECT_TRUE(file->CheckFile().empty());
  TRecord* r = file->GetRecord(7);
  EXPECT_EQ(ReadStringField(*file->FindField("Name"), r->Bytes()), "N7");
  file->ReleaseRecord(r);
}

TEST(DataRecord, MissingRecordsAreCorruption) {
  TTempDir dir;
  CreateDataFile(dir, "T", SmallTableDef())->Close();
  {
    auto file = OpenDataFile(dir, "T");
    InsertNamed(*file, 5);
  }
  const std::string path = dir.File("T.DAT");
  const std::string full = ReadWholeFile(path);
  WriteWholeFile(path, full.substr(0, full.size() - 10));
  auto file = OpenDataFile(dir, "T", false);
  EXPECT_ENGINE_ERROR(file->Verify(), VELDOR_HEADERCORRUPT);
  EXPECT_FALSE(file->CheckFile().empty());
  EXPECT_ENGINE_ERROR(file->GetRecord(5, false), VELDOR_FILECORRUPT);
}

TEST(DataRecord, ReadAheadRunsAndCoalescedWrites) {
  TFaultScope scope;
  TTempDir dir;
  CreateDataFile(dir, "T", SmallTableDef())->Close();
  auto file = OpenDataFile(dir, "T");
  TDataFileSettings settings;
  settings.CacheBytes = 34 * 1000;
  file->SetSettings(settings);
  EXPECT_EQ(file->ReadAheadCount(), 8192 / 34);
  const std::int64_t writes0 = scope.Fault.Writes();
  InsertNamed(*file, 600);  // 600 consecutive records: one write, then the header
  EXPECT_EQ(scope.Fault.Writes() - writes0, 2);

  file->DropCache();
  const std::int64_t reads0 = scope.Fault.Reads();
  for (std::int32_t n = 1; n <= 240; ++n)
    file->ReleaseRecord(file->GetRecord(n));
  EXPECT_EQ(scope.Fault.Reads() - reads0, 1);  // 240 records in one run of 8192 / 34
  file->ReleaseRecord(file->GetRecord(241));
  EXPECT_EQ(scope.Fault.Reads() - reads0, 2);

  // Backward runs end at the wanted record.
  file->DropCache();
  file->ReleaseRecord(file->GetRecord(600, true, true, 50));
  EXPECT_NE(file->Cache().Peek(551), nullptr);
  EXPECT_EQ(file->Cache().Peek(550), nullptr);
  EXPECT_EQ(file->Cache().Peek(600)->PinCount, 0);

  // Updates to records 10, 11, 12 and 20 go out in two writes, ascending.
  for (const std::int32_t n : {20, 12, 10, 11}) {
    TRecord* r = file->GetRecord(n, false);
    WriteStringField(*file->FindField("Name"), r->Bytes(), "changed", TCollation::Binary());
    file->MarkRecordModified(r);
    file->ReleaseRecord(r);
  }
  const std::int64_t writes1 = scope.Fault.Writes();
  file->FlushRecords();
  EXPECT_EQ(scope.Fault.Writes() - writes1, 2);
  file->DropCache();
  TRecord* r = file->GetRecord(11);
  EXPECT_EQ(ReadStringField(*file->FindField("Name"), r->Bytes()), "changed");
  file->ReleaseRecord(r);
  EXPECT_TRUE(file->Cache().CheckInvariants().empty());
}

TEST(DataRecord, CacheKeepsOneRecordAndPinnedOnesStay) {
  TTempDir dir;
  auto file = CreateDataFile(dir, "T", SmallTableDef());
  TDataFileSettings tiny;
  tiny.CacheBytes = 10;  // less than one record
  file->SetSettings(tiny);
  InsertNamed(*file, 50);
  EXPECT_GE(file->Cache().Capacity(), 1);
  file->DropCache();
  TRecord* first = file->GetRecord(1);
  TRecord* second = file->GetRecord(2);  // the pinned first one cannot be taken over
  EXPECT_EQ(ReadStringField(*file->FindField("Name"), first->Bytes()), "N1");
  EXPECT_EQ(ReadStringField(*file->FindField("Name"), second->Bytes()), "N2");
  file->ReleaseRecord(first);
  file->ReleaseRecord(second);
  for (std::int32_t n = 50; n >= 1; --n) {
    TRecord* r = file->GetRecord(n, true, true);
    ASSERT_EQ(ReadStringField(*file->FindField("Name"), r->Bytes()), "N" + std::to_string(n));
    file->ReleaseRecord(r);
  }
  file->TrimCache();
  EXPECT_LE(file->Cache().Count(), 1);
}

TEST(DataRecord, AChangeUnderWayNeverReachesTheFileHalfMade) {
  TFaultScope scope;
  TTempDir dir;
  CreateDataFile(dir, "T", SmallTableDef())->Close();
  auto file = OpenDataFile(dir, "T");
  TDataFileSettings tiny;
  tiny.CacheBytes = 34;
  file->SetSettings(tiny);
  InsertNamed(*file, 3);
  const std::string before = ReadWholeFile(dir.File("T.DAT"));
  const std::int64_t writes0 = scope.Fault.Writes();
  file->BeginChange();
  for (int i = 0; i < 20; ++i)
    file->ReleaseRecord(file->AllocateRecord(false));
  EXPECT_EQ(scope.Fault.Writes(), writes0);  // the cache grew instead of writing
  EXPECT_GE(file->Cache().Capacity(), 20);
  file->AbandonChange();
  EXPECT_EQ(file->Header().NextRecordNo, 4);
  EXPECT_EQ(file->Cache().Count(), 0);
  EXPECT_EQ(ReadWholeFile(dir.File("T.DAT")), before);
  file->Verify();
}

TEST(DataRecord, AFailedWriteLeavesATableThatOpensAndVerifies) {
  for (int failAt = 1; failAt <= 3; ++failAt) {
    TFaultScope scope;
    TTempDir dir;
    CreateDataFile(dir, "T", SmallTableDef())->Close();
    auto file = OpenDataFile(dir, "T");
    InsertNamed(*file, 10);
    file->DeleteRecord(4, true);
    file->Flush();
    scope.Fault.FailWrite(failAt);
    bool failed = false;
    try {
      file->BeginChange();
      InsertNamed(*file, 30, true);
    } catch (const EVELDOREngineError& e) {
      EXPECT_EQ(e.ErrorCode, VELDOR_WRITEERR);
      failed = true;
      file->AbandonChange();
    }
    file->EndChange();
    EXPECT_TRUE(failed);
    scope.Fault.ClearFaults();
    file->Close();
    file = OpenDataFile(dir, "T");
    file->Verify();
    // A lost header write leaves whole records past the last slot, which are tolerated; a
    // reused slot written without its header leaves a chain the next insert gives up.
    EXPECT_EQ(file->PhysicalRecordCount(), 10) << "write " << failAt;
    const auto more = InsertNamed(*file, 3, true);
    EXPECT_EQ(more.back(), failAt == 1 ? 12 : 13);
    for (std::int32_t n = 1; n <= file->PhysicalRecordCount(); ++n)
      file->ReleaseRecord(file->GetRecord(n));
    file->Flush();
    file->Close();
    file = OpenDataFile(dir, "T");
    file->Verify();
    EXPECT_TRUE(file->CheckFile().empty()) << "write " << failAt;
  }
}

TEST(DataRecord, CrashAfterRecordsBeforeHeaderStillOpens) {
  TFaultScope scope;
  TTempDir dir;
  CreateDataFile(dir, "T", SmallTableDef())->Close();
  auto file = OpenDataFile(dir, "T");
  file->SetSettings(TDataFileSettings{16384, 8192, true});  // sync after every write
  InsertNamed(*file, 5);
  scope.Fault.FailWrite(2);  // the header write after the records
  EXPECT_ENGINE_ERROR(InsertNamed(*file, 5), VELDOR_WRITEERR);
  scope.Fault.ClearFaults();
  scope.Fault.SimulateCrash();
  file->AbandonChange();
  file->Close();
  file = OpenDataFile(dir, "T");
  file->Verify();
  EXPECT_EQ(file->PhysicalRecordCount(), 5);
  EXPECT_TRUE(file->CheckFile().empty());
}

TEST(DataRecord, RecordLocksAreExclusiveAcrossHandles) {
  TTempDir dir;
  CreateDataFile(dir, "T", SmallTableDef())->Close();
  auto a = OpenDataFile(dir, "T", false);
  auto b = OpenDataFile(dir, "T", false);
  EXPECT_TRUE(a->LockRecord(5));
  EXPECT_FALSE(b->LockRecord(5));
  EXPECT_FALSE(a->LockRecord(5));  // not re-entrant either
  EXPECT_TRUE(b->LockRecord(6));
  EXPECT_FALSE(b->UnlockRecord(5));
  EXPECT_TRUE(a->UnlockRecord(5));
  EXPECT_TRUE(b->LockRecord(5));
  EXPECT_TRUE(a->LockWriteByte());
  EXPECT_FALSE(b->LockWriteByte());
  EXPECT_TRUE(a->UnlockWriteByte());
  b->UnlockAllRecords();
  EXPECT_TRUE(a->LockRecord(6));
}

TEST(DataRecord, EmptyingTruncatesToTheDescriptors) {
  TTempDir dir;
  auto file = CreateDataFile(dir, "T", SmallTableDef());
  InsertNamed(*file, 25);
  file->DeleteRecord(2, true);
  file->Empty();
  EXPECT_EQ(ReadWholeFile(dir.File("T.DAT")).size(), 127u + 3 * 768u);
  EXPECT_EQ(file->Header().NextRecordNo, 1);
  EXPECT_EQ(file->Header().FirstDeleted, 0);
  EXPECT_EQ(file->LastAutoInc(), 0);
  InsertNamed(*file, 1);
  EXPECT_EQ(RowIdOf(*file, 1), 1);
}

TEST(DataRecord, CheckFileFindsDamagedRecordsAndChains) {
  TTempDir dir;
  CreateDataFile(dir, "T", SmallTableDef())->Close();
  {
    auto file = OpenDataFile(dir, "T");
    InsertNamed(*file, 6, true);
    file->DeleteRecord(2, true);
    file->DeleteRecord(5, true);
    file->Flush();
  }
  const std::string path = dir.File("T.DAT");
  const std::string good = ReadWholeFile(path);
  const std::int64_t h = DataHeaderBytes(3);
  const auto problemsWith = [&](std::size_t offset, char value) {
    std::string bytes = good;
    bytes[offset] = value;
    WriteWholeFile(path, bytes);
    auto file = OpenDataFile(dir, "T", false);
    return file->CheckFile();
  };
  EXPECT_FALSE(problemsWith(h + 0 * 34 + 9, 2).empty());     // null flag 2
  EXPECT_FALSE(problemsWith(h + 0 * 34 + 32, 1).empty());    // NULL Boolean with a byte set
  EXPECT_FALSE(problemsWith(h + 0 * 34 + 8, 0x7F).empty());  // RowId beyond LastAutoInc
  EXPECT_FALSE(problemsWith(h + 0 * 34 + 0, 7).empty());     // status byte 7
  EXPECT_FALSE(problemsWith(h + 4 * 34 + 1, 5).empty());     // record 5 links to itself
  EXPECT_FALSE(problemsWith(h + 4 * 34 + 1, 3).empty());     // chain runs into active record 3
  EXPECT_FALSE(problemsWith(9, 1).empty());                  // FirstDeleted 1 is active
  WriteWholeFile(path, good);
  {
    auto file = OpenDataFile(dir, "T");
    EXPECT_TRUE(file->CheckFile().empty());
  }
  // A deleted-slot chain that points at an active record is given up: the insert appends.
  std::string bytes = good;
  bytes[9] = 1;
  WriteWholeFile(path, bytes);
  auto file = OpenDataFile(dir, "T");
  TRecord* r = file->AllocateRecord(true);
  EXPECT_EQ(r->RecordNo(), 7);
  file->ReleaseRecord(r);
  EXPECT_EQ(file->Header().FirstDeleted, 0);
  TRecord* active = file->GetRecord(1);
  EXPECT_EQ(RecStatus(active->Bytes()), kRecActive);
  file->ReleaseRecord(active);
}

TEST(DataRecord, DamagedFilesRaiseEngineErrorsNeverCrash) {
  TTempDir dir;
  TTableDefinition def = SmallTableDef();
  def.Fields.push_back(FieldDef("When", ftDate));
  def.Fields.push_back(FieldDef("Amount", ftBCD));
  CreateDataFile(dir, "T", def)->Close();
  {
    auto file = OpenDataFile(dir, "T");
    InsertNamed(*file, 40, true);
    file->DeleteRecord(7, true);
    file->Flush();
  }
  const std::string path = dir.File("T.DAT");
  const std::string good = ReadWholeFile(path);
  const unsigned seed = 7919;
  std::mt19937 rng(seed);
  for (int round = 0; round < 300; ++round) {
    std::string bytes = good;
    const int kind = round % 3;
    if (kind == 0) {
      bytes.resize(rng() % bytes.size());
    } else {
      const int flips = 1 + static_cast<int>(rng() % 8);
      for (int i = 0; i < flips; ++i) {
        // Mostly the header and descriptors, where damage matters most.
        const std::size_t limit = kind == 1 ? DataHeaderBytes(5) : bytes.size();
        bytes[rng() % limit] ^= static_cast<char>(1 + rng() % 255);
      }
    }
    WriteWholeFile(path, bytes);
    try {
      TDataFile file(path, "T");
      file.Open(true);
      file.CheckFile();
      file.Verify();
      for (std::int32_t n = 1; n <= file.PhysicalRecordCount(); ++n)
        file.ReleaseRecord(file.GetRecord(n));
      file.ReleaseRecord(file.AllocateRecord(true));
      file.Flush();
    } catch (const EVELDOREngineError&) {
      // the engine's error is the right outcome for a damaged file
    } catch (const std::exception& e) {
      FAIL() << "seed " << seed << " round " << round << ": " << e.what();
    }
  }
}
