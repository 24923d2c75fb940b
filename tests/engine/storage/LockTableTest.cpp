// The locks of table objects between two sessions of one process: reader slots and writer
// ranges, record locks with their retries, transactions that shut out other writers and defer
// record releases, and the exact errors of failed locks.
#include <gtest/gtest.h>

#include <thread>

#include "engine/storage/LockTestSupport.h"

namespace zorvic::engine::testing {
namespace {

// Session A is the fixture's; session B opens the same folder.
class TLockTableTest : public TDatabaseFixture {
 protected:
  void SetUp() override {
    TDatabaseFixture::SetUp();
    TDataCursor& a = Create("T", CounterTable());
    TRec r(a);
    for (int i = 1; i <= 5; ++i) {
      r.Init().Int("Value", i);
      a.InsertRecord(r.Bytes());
    }
    A = &a;
    SessionB = std::make_unique<TDataSession>();
    DatabaseB = &SessionB->OpenDatabase(Dir.Path());
    B = std::make_unique<TDataCursor>(*DatabaseB);
    B->Open("T");
  }
  void TearDown() override {
    B.reset();
    SessionB->CloseDatabase(*DatabaseB);
    SessionB.reset();
    TDatabaseFixture::TearDown();
  }
  // Puts a cursor on the record whose Value is v (record-number mode).
  static void GoTo(TDataCursor& c, std::int32_t v) {
    c.SetIndexByName("");
    c.First();
    TRec r(c);
    while (c.GetNext(r.Bytes()) == VELDOR_NONE)
      if (r.GetInt("Value") == v) return;
    ADD_FAILURE() << "no record with value " << v;
  }
  void InsertB(std::int32_t v) {
    TRec r(*B);
    r.Init().Int("Value", v);
    B->InsertRecord(r.Bytes());
  }

  TDataCursor* A = nullptr;
  std::unique_ptr<TDataSession> SessionB;
  TDataDirectory* DatabaseB = nullptr;
  std::unique_ptr<TDataCursor> B;
};

TEST_F(TLockTableTest, ReadersShareAndWritersExclude) {
  TShortLockWaits shortWaits;
  // Readers never shut each other out.
  A->TakeTableReadLock();
  B->TakeTableReadLock();
  B->ReleaseTableReadLock();
  // A reader shuts a writer out, with the exact error and its context.
  std::string message;
  EXPECT_EQ(CodeOf([&] { InsertB(6); }, &message), VELDOR_LOCKTIMEOUT);
  EXPECT_EQ(message, "VELDOR Engine Error # 10249 General lock failure with the table 'T'");
  EXPECT_EQ(ContextItem(TErrorItem::Database), Database->Path());
  EXPECT_FALSE(B->Table().LockState().HoldsWriteLock());  // the failed lock holds nothing
  A->ReleaseTableReadLock();
  InsertB(6);
  // A writer shuts readers out; the failed read lock holds nothing either.
  TTableLockState& writer = A->Table().LockState();
  writer.TakeWriteLock();
  EXPECT_EQ(CodeOf([&] { B->Table().Locks().TakeReadLock(); }), VELDOR_LOCKTIMEOUT);
  EXPECT_EQ(CodeOf([&] { B->TakeTableReadLock(); }), VELDOR_LOCKTIMEOUT);
  EXPECT_FALSE(B->Table().LockState().HoldsReadLock());
  writer.ReleaseWriteLock();
  B->Table().Locks().TakeReadLock();
  EXPECT_TRUE(B->Table().LockState().HoldsReadLock());
  B->Table().Locks().ReleaseReadLock();
  // A session may write while it holds the table read lock itself, and keeps that lock.
  A->TakeTableReadLock();
  TRec r(*A);
  r.Init().Int("Value", 7);
  A->InsertRecord(r.Bytes());
  EXPECT_TRUE(A->Table().LockState().HoldsTableReadLock());
  EXPECT_EQ(CodeOf([&] { InsertB(8); }), VELDOR_LOCKTIMEOUT);
  A->ReleaseTableReadLock();
  InsertB(8);
  EXPECT_EQ(B->RecordCount(), 8);
}

TEST_F(TLockTableTest, PessimisticEditConflictWaitsThenFails) {
  GoTo(*A, 3);
  ASSERT_EQ(A->BeginEdit(), VELDOR_NONE);
  GoTo(*B, 3);
  // With the defaults: 16 attempts and 15 pauses of 100 ms.
  std::string message;
  const double waited = MillisecondsOf(
      [&] { EXPECT_EQ(CodeOf([&] { B->BeginEdit(); }, &message), VELDOR_RECLOCKFAILED); });
  EXPECT_GE(waited, 1500.0);
  EXPECT_EQ(message,
            "VELDOR Engine Error # 10258 Record in the table 'T' is in use by another user");
  // With no retries a single attempt is made and nothing waits (a pause would take a minute).
  SessionB->SetLockRetryCount(0);
  SessionB->SetLockWaitTime(60000);
  EXPECT_LT(
      MillisecondsOf([&] { EXPECT_EQ(CodeOf([&] { B->BeginEdit(); }), VELDOR_RECLOCKFAILED); }),
      30000.0);
  // Another record is free; a second cursor of A's own session fails at once on A's record.
  GoTo(*B, 4);
  EXPECT_EQ(B->BeginEdit(), VELDOR_NONE);
  B->EndEdit();
  Session->SetLockWaitTime(60000);
  TDataCursor& second = NewCursor();
  second.Open("T");
  GoTo(second, 3);
  EXPECT_LT(
      MillisecondsOf([&] { EXPECT_EQ(CodeOf([&] { second.BeginEdit(); }), VELDOR_RECLOCKFAILED); }),
      30000.0);
  // Once A posts, B edits the record and sees A's change.
  TRec r(*A);
  ASSERT_EQ(A->GetCurrent(r.Bytes()), VELDOR_NONE);
  r.Int("Value", 33);
  A->ModifyRecord(r.Bytes());
  SessionB->SetStrictChangeDetection(true);  // B's cached copy is stale until it looks
  GoTo(*B, 33);
  EXPECT_EQ(B->BeginEdit(), VELDOR_NONE);
  B->EndEdit();
  // Under the optimistic protocol an edit holds no lock until its post.
  Session->SetLockProtocol(TLockProtocol::lpOptimistic);
  GoTo(*A, 33);
  ASSERT_EQ(A->BeginEdit(), VELDOR_NONE);
  EXPECT_EQ(B->BeginEdit(), VELDOR_NONE);
  B->EndEdit();
  A->EndEdit();
}

TEST_F(TLockTableTest, RecordWaitLetsTheHolderWrite) {
  GoTo(*A, 2);
  ASSERT_EQ(A->BeginEdit(), VELDOR_NONE);
  GoTo(*B, 2);
  SessionB->SetLockRetryCount(250);
  SessionB->SetLockWaitTime(40);
  TErrorCode waiterResult = VELDOR_OSUNKNOWN;
  std::thread waiter([&] { waiterResult = CodeOf([&] { B->LockRecord(); }); });
  // B waits for the record; A's post needs the write lock, which B's pauses leave free.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  TRec r(*A);
  ASSERT_EQ(A->GetCurrent(r.Bytes()), VELDOR_NONE);
  r.Int("Value", 22);
  A->ModifyRecord(r.Bytes());
  A->EndEdit();
  waiter.join();
  EXPECT_EQ(waiterResult, VELDOR_NONE);
  TRec got(*B);
  ASSERT_EQ(B->GetCurrent(got.Bytes()), VELDOR_NONE);
  EXPECT_EQ(got.GetInt("Value"), 22);
  B->UnlockRecord();
}

TEST_F(TLockTableTest, TransactionShutsOutOtherWriters) {
  TShortLockWaits shortWaits;
  SessionB->SetLockRetryCount(0);
  Database->StartTransaction();
  TRec r(*A);
  r.Init().Int("Value", 100);
  A->InsertRecord(r.Bytes());
  // A locks record 2 and lets it go: inside the transaction the release waits for its end.
  GoTo(*A, 2);
  A->LockRecord();
  A->UnlockRecord();
  // B reads the table as it was and may lock records A never locked.
  SessionB->SetStrictChangeDetection(true);
  EXPECT_EQ(B->RecordCount(), 5);
  GoTo(*B, 1);
  B->LockRecord();
  B->UnlockRecord();
  GoTo(*B, 2);
  EXPECT_EQ(CodeOf([&] { B->LockRecord(); }), VELDOR_RECLOCKFAILED);
  // B's writes and B's own transaction wait on the transaction byte.
  EXPECT_EQ(CodeOf([&] { InsertB(200); }), VELDOR_LOCKTIMEOUT);
  EXPECT_EQ(CodeOf([&] { DatabaseB->StartTransaction(); }), VELDOR_LOCKTIMEOUT);
  EXPECT_FALSE(DatabaseB->InTransaction());
  EXPECT_FALSE(B->Table().InTransaction());
  Database->Commit();
  // After the commit B sees A's row, writes, and has record 2.
  EXPECT_EQ(B->RecordCount(), 6);
  GoTo(*B, 2);
  B->LockRecord();
  B->UnlockRecord();
  InsertB(200);
  EXPECT_EQ(A->RecordCount(), 6);  // A has not looked at the files since
  Session->SetStrictChangeDetection(true);
  EXPECT_EQ(A->RecordCount(), 7);
}

TEST_F(TLockTableTest, UnlockingARecordNotHeldFails) {
  std::string message;
  EXPECT_EQ(CodeOf([&] { A->Table().Locks().UnlockRecord(4); }, &message), VELDOR_UNLOCKFAILED);
  EXPECT_EQ(message, "VELDOR Engine Error # 10242 Cannot unlock table or record in the table 'T'");
  // Locked by the table object, then unlocked twice: the second unlock fails.
  TTableLocks& locks = A->Table().Locks();
  locks.LockRecord(4);
  locks.UnlockRecord(4);
  EXPECT_EQ(CodeOf([&] { locks.UnlockRecord(4); }), VELDOR_UNLOCKFAILED);
}

TEST_F(TLockTableTest, ExclusiveAndReadOnlyTablesTakeNoLocks) {
  B.reset();
  TDataCursor& c = NewCursor();
  c.CreateTable("X", CounterTable(), false);
  c.Open("X", false, true);
  ASSERT_TRUE(c.Table().Exclusive());
  TRec r(c);
  r.Init().Int("Value", 1);
  c.InsertRecord(r.Bytes());
  const std::string lazy = ReadWholeFile(File("X.DAT"));
  Database->StartTransaction();  // an exclusive table writes what it has pending first
  EXPECT_NE(ReadWholeFile(File("X.DAT")), lazy);
  r.Init().Int("Value", 2);
  c.InsertRecord(r.Bytes());
  EXPECT_TRUE(c.Table().InTransaction());
  EXPECT_TRUE(c.Table().LockState().HoldsTransactionLock());
  EXPECT_FALSE(c.Table().LockState().HoldsWriteLock());
  EXPECT_TRUE(c.Table().LockState().LockedRecords().Empty());
  Database->Commit();
}

}  // namespace
}  // namespace zorvic::engine::testing
