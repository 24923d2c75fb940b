// The journal file between writes: it stays beside an open table, each write writes its journal
// over the last one, a retired journal is never played back, and the file goes when the table
// closes (or when someone opens a table whose last user died). A run of writes stopped dead at
// every step, a power loss at every step of a run of flushed writes, and writer processes killed
// at random moments all leave the table as it was after some prefix of the run.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "engine/storage/JournalTestSupport.h"
#include "engine/storage/LockTestSupport.h"
#include "engine/storage/locks/Journal.h"

namespace zorvic::engine::testing {
namespace {

class TJournalReuseTest : public TJournalTestBase {
 protected:
  static constexpr int Steps = 5;

  // One journaled write of A per step, each with a journal of another length than the one it
  // is written over: a long one (a memo grown), a short one, a deletion, a memo shrunk.
  static void Step(TDataCursor& a, int step) {
    TRec r(a);
    auto onFirst = [&] {
      a.First();
      ASSERT_EQ(a.GetNext(r.Bytes()), VELDOR_NONE);
    };
    switch (step) {
      case 0:
        onFirst();
        SetMemo(a, r, std::string(3000, 'g'));
        a.ModifyRecord(r.Bytes());
        break;
      case 1:
        r.Init().Int("Value", 501);
        SetMemo(a, r, "s");
        a.InsertRecord(r.Bytes());
        break;
      case 2:
        onFirst();
        a.DeleteRecord();
        break;
      case 3:
        r.Init().Int("Value", 502);
        SetMemo(a, r, std::string(700, 't'));
        a.InsertRecord(r.Bytes());
        break;
      default:
        onFirst();
        r.Int("Value", r.GetInt("Value") + 1000);
        SetMemo(a, r, "short again");
        a.ModifyRecord(r.Bytes());
        break;
    }
  }

  // The images after 0..Steps steps, made once without faults.
  std::vector<std::string> Prefixes(const std::map<std::string, std::string>& start) {
    RestoreFiles(start);
    std::vector<std::string> images;
    TUse use(Dir.Path());
    TDataCursor& a = use.Open("A");
    images.push_back(Image(a));
    for (int s = 0; s < Steps; ++s) {
      Step(a, s);
      images.push_back(Image(a));
    }
    return images;
  }

  static int PrefixOf(const std::vector<std::string>& prefixes, const std::string& image) {
    for (std::size_t k = 0; k < prefixes.size(); ++k)
      if (prefixes[k] == image) return static_cast<int>(k);
    return -1;
  }

  // Flushes A's table files (as the system does on its own, in its own time).
  void SyncTableFiles() {
    TFileSystem& fs = CurrentFileSystem();
    for (const char* name : {"A.DAT", "A.IDX", "A.BLB"}) {
      const int fd = fs.Open(Dir.File(name), O_RDWR, 0);
      ASSERT_GE(fd, 0);
      EXPECT_EQ(fs.Sync(fd), 0);
      fs.Close(fd);
    }
  }

  // The first bytes of a file, or "" when it is missing.
  static std::string Head(const std::string& path, std::size_t n) {
    std::string bytes = FileExists(path) ? ReadWholeFile(path) : std::string();
    return bytes.substr(0, n);
  }
};

TEST_F(TJournalReuseTest, TheFileStaysRetiredBetweenWritesAndGoesWithTheTable) {
  Populate();
  const std::string journal = Dir.File("A.JNL");
  {
    TUse use(Dir.Path());
    TDataCursor& a = use.Open("A");
    EXPECT_FALSE(FileExists(journal));
    std::uint64_t inode = 0;
    std::size_t length = 0;
    for (int s = 0; s < Steps; ++s) {
      Step(a, s);
      // Retired, not removed: the next write writes over it, so it is one file all along and
      // as long as the longest journal so far.
      struct stat st;
      ASSERT_EQ(::stat(journal.c_str(), &st), 0) << s;
      if (s == 0) inode = st.st_ino;
      EXPECT_EQ(st.st_ino, inode) << s;
      EXPECT_GE(static_cast<std::size_t>(st.st_size), length) << s;
      length = static_cast<std::size_t>(st.st_size);
      EXPECT_EQ(Head(journal, 48), std::string(48, '\0')) << s;
      EXPECT_EQ(ProbeJournal(CurrentFileSystem(), journal), TJournalPresence::Idle) << s;
      EXPECT_EQ(ReadJournal(CurrentFileSystem(), journal, nullptr), TJournalState::Incomplete);
    }
    EXPECT_GT(length, 48u);
  }
  EXPECT_FALSE(FileExists(journal));
}

TEST_F(TJournalReuseTest, AJournalHoldsTheBytesAWriteChangesNotWholePages) {
  Populate();
  const std::string journal = Dir.File("A.JNL");
  {
    TUse use(Dir.Path());
    TDataCursor& a = use.Open("A");
    TRec r(a);
    a.First();
    ASSERT_EQ(a.GetNext(r.Bytes()), VELDOR_NONE);
    r.Int("Value", 40);  // moves its key in the ByValue index
    a.ModifyRecord(r.Bytes());
    // The first write after the open made the file: its length is that journal's. The write
    // changed an index page and the headers (4 KiB each) but only some bytes of them.
    ASSERT_TRUE(FileExists(journal));
    EXPECT_LT(ReadWholeFile(journal).size(), 2048u);
  }
  TUse use(Dir.Path());
  TDataCursor& a = use.Open("A");
  EXPECT_NE(Image(a).find("=40:"), std::string::npos);
}

TEST_F(TJournalReuseTest, AnOpenerNeitherWaitsForNorRemovesTheFileOfATableInUse) {
  TShortLockWaits shortWaits;
  Populate();
  const std::string journal = Dir.File("A.JNL");
  TUse writer(Dir.Path());
  TDataCursor& a = writer.Open("A");
  Step(a, 1);
  writer.Database->StartTransaction();
  Step(a, 3);
  ASSERT_EQ(ProbeJournal(CurrentFileSystem(), journal), TJournalPresence::Idle);
  {
    // The transaction holds the table's transaction byte: an idle journal is no reason to wait.
    TUse reader(Dir.Path());
    TDataCursor& b = reader.Open("A");
    EXPECT_EQ(b.RecordCount(), 13);
  }
  EXPECT_TRUE(FileExists(journal));
  writer.Database->Commit(true, false);
  {
    TUse reader(Dir.Path());
    EXPECT_EQ(reader.Open("A").RecordCount(), 14);
  }
  // The writer keeps the file: nobody else removes it.
  EXPECT_TRUE(FileExists(journal));
  // Should it go all the same, the writer's next write makes it again under the name (not in
  // the file it held open), so a write stopped dead there leaves its journal to be found.
  ASSERT_EQ(::unlink(journal.c_str()), 0);
  const std::string before = Image(a);
  Faults.CrashAfter(1);  // the journal is written, nothing after it
  EXPECT_NE(CodeOf([&] { Step(a, 2); }), VELDOR_NONE);
  Faults.ClearFaults();
  EXPECT_EQ(ProbeJournal(CurrentFileSystem(), journal), TJournalPresence::Busy);
  {
    TUse reader(Dir.Path());
    EXPECT_EQ(Image(reader.Open("A")), before);
  }
  EXPECT_NE(ProbeJournal(CurrentFileSystem(), journal), TJournalPresence::Busy);
  Step(a, 2);
  EXPECT_EQ(ProbeJournal(CurrentFileSystem(), journal), TJournalPresence::Idle);
}

TEST_F(TJournalReuseTest, ARetiredFileLeftByADeadWriterGoesAtTheNextOpen) {
  Populate();
  const std::string journal = Dir.File("A.JNL");
  const auto start = SaveFiles();
  const std::vector<std::string> prefixes = Prefixes(start);
  RestoreFiles(start);
  {
    TUse use(Dir.Path());
    TDataCursor& a = use.Open("A");
    Step(a, 0);
    Step(a, 1);
    Faults.CrashAfter(0);  // dies before its close removes the file
  }
  Faults.ClearFaults();
  ASSERT_EQ(ProbeJournal(CurrentFileSystem(), journal), TJournalPresence::Idle);
  // The journal's old bytes lie past a zero header: nothing of them is played back.
  EXPECT_EQ(Inspect("after a dead writer"), prefixes[2]);
}

// Every step of the run stopped dead in turn: the table is always some prefix of the run, at
// least the steps that returned.
TEST_F(TJournalReuseTest, ARunOfWritesStoppedAtAnyChangeLeavesAPrefixOfIt) {
  Populate();
  const auto start = SaveFiles();
  const std::vector<std::string> prefixes = Prefixes(start);
  std::vector<int> reached(Steps + 1, 0);
  for (std::int64_t n = 0;; ++n) {
    RestoreFiles(start);
    int done = 0;
    {
      TUse use(Dir.Path());
      TDataCursor& a = use.Open("A");
      Faults.CrashAfter(n);
      try {
        for (int s = 0; s < Steps; ++s) {
          Step(a, s);
          ++done;
        }
      } catch (const EVELDOREngineError&) {
      }
    }
    const bool crashed = Faults.Crashed();
    Faults.ClearFaults();
    const std::string context = "stopped after " + std::to_string(n) + " changes";
    const int k = PrefixOf(prefixes, Inspect(context));
    ASSERT_GE(k, 0) << context;
    EXPECT_GE(k, done) << context;
    EXPECT_LE(k, done + 1) << context;
    ++reached[static_cast<std::size_t>(k)];
    if (!crashed) break;
    ASSERT_LT(n, 1000);
  }
  // Every step was interrupted somewhere, so every prefix was seen.
  for (int k = 0; k <= Steps; ++k)
    EXPECT_GT(reached[static_cast<std::size_t>(k)], 0) << k;
}

// The same run with every write flushed, the power lost at every change in turn: what was not
// synced is gone, and still no step is half there, and none that returned is lost.
// A flushed write makes the journal's name durable by flushing the folder; the kept file's
// name needs that once, not at every write: again only when the file was opened anew, and a
// file first written without a flush gets its folder flush at the first flushed write.
TEST_F(TJournalReuseTest, TheFolderIsFlushedOncePerJournalFileNotPerFlushedWrite) {
  Populate();
  auto folderSyncs = [&] { return Faults.SyncsOf(Dir.Path()) + Faults.SyncsOf(Dir.Path() + "/"); };
  const std::string journal = Dir.File("A.JNL");
  {
    TUse use(Dir.Path());
    TDataCursor& a = use.Open("A");
    const std::int64_t before = folderSyncs();
    Step(a, 0);  // not flushed: the journal file is made, its folder left alone
    ASSERT_TRUE(FileExists(journal));
    EXPECT_EQ(folderSyncs(), before);
    TSessionSettings s = use.Session->Settings();
    s.ForceBufferFlush = true;
    use.Session->SetSettings(s);
    Step(a, 1);
    EXPECT_EQ(folderSyncs(), before + 1);
    Step(a, 2);
    Step(a, 3);
    EXPECT_EQ(folderSyncs(), before + 1);
    // Removed behind the table's back: the next write makes the file again and flushes its folder.
    ASSERT_EQ(::unlink(journal.c_str()), 0);
    Step(a, 4);
    EXPECT_EQ(folderSyncs(), before + 2);
  }
  const std::string image = Inspect("after the flushed writes");
  EXPECT_NE(image.find("short again"), std::string::npos);
}

TEST_F(TJournalReuseTest, APowerLossDuringARunOfFlushedWritesKeepsEveryStepThatReturned) {
  Populate();
  const auto start = SaveFiles();
  const std::vector<std::string> prefixes = Prefixes(start);
  for (std::int64_t n = 0;; ++n) {
    RestoreFiles(start);
    Faults.ForgetUnsynced();
    int done = 0;
    bool crashed = false;
    {
      TUse use(Dir.Path(), false, true);
      TDataCursor& a = use.Open("A");
      Faults.CrashAfter(n);
      try {
        for (int s = 0; s < Steps; ++s) {
          Step(a, s);
          ++done;
        }
      } catch (const EVELDOREngineError&) {
      }
      crashed = Faults.Crashed();
      if (crashed) Faults.SimulateCrash();
    }
    Faults.ClearFaults();
    const std::string context = "power lost after " + std::to_string(n) + " changes";
    const int k = PrefixOf(prefixes, Inspect(context));
    ASSERT_GE(k, 0) << context;
    EXPECT_GE(k, done) << context;
    EXPECT_LE(k, done + 1) << context;
    if (!crashed) break;
    ASSERT_LT(n, 2000);
  }
}

// A flushed write of the table on its own flushes its journal once: the retirement is not
// flushed, and marked so. Should the disk lose it, the journal comes back valid, and since the
// files hold the write whole (its digests), the next open keeps the write and removes the
// journal; a file that differs by one byte or in its length is played back instead.
TEST_F(TJournalReuseTest, AFlushedWriteStandsWhenTheDiskLosesItsUnflushedRetirement) {
  Populate();
  const auto start = SaveFiles();
  const std::vector<std::string> prefixes = Prefixes(start);
  const std::string journal = Dir.File("A.JNL");
  const std::string retired = std::string(48, '\0') + "ZVJRNLUF";
  for (const char* damage : {"none", "byte", "length"}) {
    RestoreFiles(start);
    Faults.ForgetUnsynced();
    TJournalContent content;
    {
      TUse use(Dir.Path(), false, true);
      TDataCursor& a = use.Open("A");
      Step(a, 0);
      const std::int64_t syncs = Faults.SyncsOf(journal);
      Step(a, 1);
      EXPECT_EQ(Faults.SyncsOf(journal), syncs + 1) << damage;
      EXPECT_EQ(Head(journal, 56), retired) << damage;
      EXPECT_EQ(ProbeJournal(CurrentFileSystem(), journal), TJournalPresence::Idle);
      Faults.SimulateCrash();  // the table files were flushed, the retirement was not
      ASSERT_EQ(ReadJournal(CurrentFileSystem(), journal, &content), TJournalState::Valid)
          << damage;
      EXPECT_TRUE(content.HasDigests);
      EXPECT_TRUE(JournalWriteComplete(CurrentFileSystem(), Dir.Path() + "/", content)) << damage;
    }
    const std::string dat = Dir.File("A.DAT");
    std::string bytes = ReadWholeFile(dat);
    if (std::string(damage) == "byte") {
      // A byte of the write the disk did not take.
      const TJournalFileImage& image = content.Files.front();
      ASSERT_FALSE(image.Ranges.empty());
      const std::int64_t at = image.Ranges.back().Offset;
      bytes[static_cast<std::size_t>(at)] =
          static_cast<char>(image.Ranges.back().Bytes.front() ^ 1);
    } else if (std::string(damage) == "length") {
      bytes.push_back('\0');
    }
    WriteWholeFile(dat, bytes);
    EXPECT_EQ(JournalWriteComplete(CurrentFileSystem(), Dir.Path() + "/", content),
              std::string(damage) == "none")
        << damage;
    if (std::string(damage) == "none") {
      EXPECT_EQ(PrefixOf(prefixes, Inspect(damage)), 2);
    } else {
      // Played back: the step's old bytes, the old length. The byte changed may lie in the
      // part the step left alone, so only the playback itself is checked here.
      TUse use(Dir.Path());
      use.Open("A");
      EXPECT_FALSE(FileExists(journal)) << damage;
      EXPECT_EQ(static_cast<std::int64_t>(ReadWholeFile(dat).size()),
                content.Files.front().OriginalSize)
          << damage;
    }
  }
  // The digest sees a change of any one bit, and the length.
  std::string block(100, 'x');
  const std::uint64_t digest =
      ContentDigest(reinterpret_cast<const std::uint8_t*>(block.data()), block.size());
  for (std::size_t i = 0; i < block.size() * 8; ++i) {
    std::string changed = block;
    changed[i / 8] = static_cast<char>(changed[i / 8] ^ (1 << (i % 8)));
    EXPECT_NE(ContentDigest(reinterpret_cast<const std::uint8_t*>(changed.data()), changed.size()),
              digest)
        << i;
  }
  std::string zeros(7, '\0');
  EXPECT_NE(ContentDigest(reinterpret_cast<const std::uint8_t*>(zeros.data()), 7),
            ContentDigest(reinterpret_cast<const std::uint8_t*>(zeros.data()), 6));
}

// A write that does not flush, after a flushed one whose retirement may not be on the disk,
// flushes its own journal over it before it changes the table (once: the next one does not),
// whether the table object that writes knows of the mark or finds it. A power loss that keeps
// what the second write put into the table files but not the journal's retirement then plays
// back the second write's journal, not the first's: the flushed write stays, the unflushed
// ones go.
TEST_F(TJournalReuseTest, AWriteAfterAnUnflushedRetirementFlushesItsJournalOverIt) {
  Populate();
  const auto start = SaveFiles();
  const std::vector<std::string> prefixes = Prefixes(start);
  const std::string journal = Dir.File("A.JNL");
  for (bool otherSession : {false, true}) {
    const std::string context = otherSession ? "another session" : "the same session";
    RestoreFiles(start);
    Faults.ForgetUnsynced();
    {
      TUse use(Dir.Path(), false, true);
      TDataCursor& a = use.Open("A");
      Step(a, 0);
      TUse other(Dir.Path());
      TDataCursor& b = otherSession ? other.Open("A") : a;
      TSessionSettings s = use.Session->Settings();
      s.ForceBufferFlush = false;
      use.Session->SetSettings(s);
      const std::int64_t syncs = Faults.Syncs();
      const std::int64_t journalSyncs = Faults.SyncsOf(journal);
      Step(b, 1);
      EXPECT_EQ(Faults.Syncs(), syncs + 1) << context;
      EXPECT_EQ(Faults.SyncsOf(journal), journalSyncs + 1) << context;
      // The system writes the table files back on its own, the journal's last bytes not.
      SyncTableFiles();
      const std::int64_t later = Faults.Syncs();
      Step(b, 2);
      EXPECT_EQ(Faults.Syncs(), later) << context;
      Faults.SimulateCrash();
    }
    Faults.ClearFaults();
    EXPECT_EQ(PrefixOf(prefixes, Inspect(context)), 1) << context;
  }
}

// A large commit writes its new records and pages past the files' old ends before its
// journal, but not over a journal file whose retirement the disk may not have yet: a power loss
// could bring that journal back valid, and the files, longer than its digests say, would have
// it played back, losing the flushed write. Stopped at each of its first changes, with the
// table files written back by the system and the rest lost, the flushed write stands.
TEST_F(TJournalReuseTest, ALargeCommitAfterAnUnflushedRetirementHoldsItsNewBytesBack) {
  Populate();
  const auto start = SaveFiles();
  const std::vector<std::string> prefixes = Prefixes(start);
  for (std::int64_t n = 0; n < 6; ++n) {
    const std::string context = "stopped after " + std::to_string(n) + " changes";
    RestoreFiles(start);
    Faults.ForgetUnsynced();
    {
      TUse use(Dir.Path(), false, true);
      TDataCursor& a = use.Open("A");
      Step(a, 0);
      TSessionSettings s = use.Session->Settings();
      s.ForceBufferFlush = false;
      use.Session->SetSettings(s);
      use.Database->StartTransaction();
      TRec r(a);
      for (int v = 0; v < 1500; ++v) {
        r.Init().Int("Value", 7000 + v);
        a.InsertRecord(r.Bytes());
      }
      Faults.CrashAfter(n);
      try {
        use.Database->Commit(true, false);
      } catch (const EVELDOREngineError&) {
      }
      Faults.ClearFaults();
      SyncTableFiles();
      Faults.CrashAfter(0);
      Faults.SimulateCrash();  // the session dies with the power
    }
    Faults.ClearFaults();
    EXPECT_EQ(PrefixOf(prefixes, Inspect(context)), 1) << context;
  }
}

// The file goes with the last user of the table: a marked one is flushed first, so that a
// removal the disk loses brings back a retired file, not the journal under it.
TEST_F(TJournalReuseTest, AnUnflushedRetirementIsFlushedBeforeItsFileIsRemoved) {
  Populate();
  const std::string journal = Dir.File("A.JNL");
  std::int64_t syncs = 0;
  {
    TUse use(Dir.Path(), false, true);
    TDataCursor& a = use.Open("A");
    Step(a, 0);
    syncs = Faults.Syncs();
  }
  EXPECT_FALSE(FileExists(journal));
  EXPECT_EQ(Faults.Syncs(), syncs + 1);
  // A plain write's retirement is left to the system as before.
  {
    TUse use(Dir.Path());
    TDataCursor& a = use.Open("A");
    Step(a, 1);
    syncs = Faults.Syncs();
    EXPECT_NE(Head(journal, 56).substr(48), "ZVJRNLUF");
  }
  EXPECT_FALSE(FileExists(journal));
  EXPECT_EQ(Faults.Syncs(), syncs);
  // A marked file that a keeper holds stays, but an exclusive opener flushes it all the same:
  // it is about to write the table without this journal.
  WriteWholeFile(journal, std::string(48, '\0') + "ZVJRNLUF" + std::string(100, 'b'));
  TFileSystem& fs = CurrentFileSystem();
  const int keeper = fs.Open(journal, O_RDWR, 0);
  ASSERT_GE(keeper, 0);
  ASSERT_EQ(fs.LockRange(keeper, false, 0, 1), 0);
  syncs = Faults.Syncs();
  EXPECT_FALSE(RemoveIdleJournal(fs, journal));
  EXPECT_EQ(Faults.Syncs(), syncs);
  {
    TUse use(Dir.Path());
    use.Open("A", true);
    EXPECT_EQ(Faults.Syncs(), syncs + 1);
  }
  EXPECT_TRUE(FileExists(journal));
  fs.UnlockRange(keeper, 0, 1);
  fs.Close(keeper);
  WriteWholeFile(journal, std::string(148, '\0'));
  syncs = Faults.Syncs();
  EXPECT_FALSE(FlushUnflushedRetirement(fs, journal));
  EXPECT_TRUE(RemoveIdleJournal(fs, journal));
  EXPECT_EQ(Faults.Syncs(), syncs);
}

// Writer processes killed at random moments of a run of single inserts (value i is the i-th):
// the rows are always 1..m with nothing torn, the journal never survives the next open.
TEST_F(TJournalReuseTest, WriterProcessesKilledMidRunLeaveWholeRows) {
  Populate();
  InstallFileSystem(nullptr);  // the children and the checks use the real file system
  int next = 1000;
  for (int round = 0; round < 6; ++round) {
    const int first = next;
    const pid_t child = ForkChild([&] {
      TUse use(Dir.Path());
      TDataCursor& a = use.Open("A");
      for (int v = first;; ++v) {
        TRec r(a);
        r.Init().Int("Value", v);
        SetMemo(a, r, MemoText(v, 3));
        a.InsertRecord(r.Bytes());
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + 17 * round));
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    WaitChild(child);
    TUse use(Dir.Path());
    TDataCursor& a = use.Open("A");
    EXPECT_EQ(CheckTable(a.Table()), std::vector<std::string>{}) << round;
    // The rows of this round are first, first + 1, ... with no gap and whole memos.
    TRec r(a);
    std::vector<int> values;
    a.First();
    while (a.GetNext(r.Bytes()) == VELDOR_NONE) {
      const int v = static_cast<int>(r.GetInt("Value"));
      if (v < first) continue;
      EXPECT_EQ(GetMemo(a, r), MemoText(v, 3)) << round;
      values.push_back(v);
    }
    std::sort(values.begin(), values.end());
    for (std::size_t i = 0; i < values.size(); ++i)
      EXPECT_EQ(values[i], first + static_cast<int>(i)) << round;
    next = first + static_cast<int>(values.size()) + 1000;
    EXPECT_NE(ProbeJournal(RealFileSystem(), Dir.File("A.JNL")), TJournalPresence::Busy);
  }
  EXPECT_FALSE(FileExists(Dir.File("A.JNL")));
  InstallFileSystem(&Faults);
}

}  // namespace
}  // namespace zorvic::engine::testing
