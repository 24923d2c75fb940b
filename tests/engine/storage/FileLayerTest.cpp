// The file layer through its C++ API: sharing rules, in-memory files, truncation, read-only files,
// the name resolver, temporary names and whole-file copies.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <thread>

#include "FileTestSupport.h"
#include "engine/storage/files/FileLayer.h"

using namespace zorvic::engine;
using namespace zorvic::engine::testing;

namespace {

std::string Bytes(std::int64_t n, char seed = 'a') {
  std::string s(static_cast<std::size_t>(n), '\0');
  for (std::int64_t i = 0; i < n; ++i)
    s[i] = static_cast<char>(seed + i % 23);
  return s;
}

// Creates a file through the layer with the given content and closes it.
void MakeFile(TFileList& list, const std::string& name, bool inMemory, const std::string& bytes) {
  TFileHandler h(name, inMemory, list);
  h.CreateFile();
  h.WriteAt(0, bytes.data(), static_cast<std::int64_t>(bytes.size()));
  h.Close();
}

std::string ReadAll(TFileHandler& h) {
  std::string s(static_cast<std::size_t>(h.FileSize()), '\0');
  h.ReadAt(0, s.data(), static_cast<std::int64_t>(s.size()));
  return s;
}

class FileLayerKinds : public ::testing::TestWithParam<bool> {
 protected:
  bool InMemory() const { return GetParam(); }
  std::string Name(const std::string& base) const {
    return InMemory() ? "mem/" + base : Dir.File(base);
  }
  TTempDir Dir;
  TFileList List;
};

}  // namespace

TEST_P(FileLayerKinds, TwoOpensShareOneObjectWithTheirOwnHandlesAndPositions) {
  std::string name = Name("T.DAT");
  MakeFile(List, name, InMemory(), "0123456789");
  TFileHandler a(name, InMemory(), List);
  TFileHandler b(name, InMemory(), List);
  a.Open(false);
  b.Open(false);
  EXPECT_NE(a.Handle(), b.Handle());
  EXPECT_EQ(List.Count(), 1u);

  char x[4] = {};
  a.Seek(2);
  a.Read(x, 3);
  EXPECT_EQ(std::string(x, 3), "234");
  EXPECT_EQ(a.Position(), 5);
  EXPECT_EQ(b.Position(), 0);  // positions are per handle
  b.Read(x, 2);
  EXPECT_EQ(std::string(x, 2), "01");

  a.Close();
  EXPECT_EQ(List.Count(), 1u);  // b keeps it open
  EXPECT_EQ(ReadAll(b), "0123456789");
  b.WriteAt(10, "ab", 2);
  EXPECT_EQ(b.FileSize(), 12);
}

TEST_P(FileLayerKinds, ExclusiveAndSharedOpensConflict) {
  std::string name = Name("X.DAT");
  MakeFile(List, name, InMemory(), "x");
  TFileHandler shared(name, InMemory(), List);
  TFileHandler other(name, InMemory(), List);
  shared.Open(false);
  auto e = CatchEngineError([&] { other.Open(true); });
  EXPECT_EQ(e.ErrorCode, VELDOR_OSEACCES);
  EXPECT_EQ(e.ErrorTable, NormalizeFileName(name));
  EXPECT_EQ(std::string(e.what()),
            "VELDOR Engine Error # 11013 Access denied to table '" + NormalizeFileName(name) + "'");
  shared.Close();

  TFileHandler exclusive(name, InMemory(), List);
  exclusive.Open(true);
  EXPECT_ENGINE_ERROR(other.Open(false), VELDOR_OSEACCES);
  EXPECT_ENGINE_ERROR(other.Open(true), VELDOR_OSEACCES);
  // Neither renaming nor deleting nor re-creating a file that is open.
  EXPECT_EQ(List.Rename(name, InMemory(), Name("Y.DAT")), -VELDOR_OSEACCES);
  EXPECT_EQ(List.Delete(name, InMemory()), -VELDOR_OSEACCES);
  TFileRef ignored;
  EXPECT_EQ(List.Create(name, InMemory(), false, &ignored), -VELDOR_OSEACCES);
  exclusive.Close();
  other.Open(false);  // free again
}

TEST_P(FileLayerKinds, WriteOfZeroBytesTruncatesAtThePosition) {
  TFileHandler h(Name("Z.DAT"), InMemory(), List);
  h.CreateFile();
  std::string data = Bytes(10000);
  h.WriteAt(0, data.data(), 10000);
  h.Seek(4097);
  h.Write(nullptr, 0);
  EXPECT_EQ(h.FileSize(), 4097);
  // Growing again past a truncation reads zeros, not the old bytes.
  h.WriteAt(6000, "z", 1);
  std::string all = ReadAll(h);
  ASSERT_EQ(all.size(), 6001u);
  EXPECT_EQ(all.substr(0, 4097), data.substr(0, 4097));
  EXPECT_EQ(all.substr(4097, 1903), std::string(1903, '\0'));
  h.Truncate(0);
  EXPECT_EQ(h.FileSize(), 0);
}

TEST_P(FileLayerKinds, ShortReadsRaiseUnlessAllowed) {
  TFileHandler h(Name("S.DAT"), InMemory(), List);
  h.CreateFile();
  h.WriteAt(0, "abcdef", 6);
  char buffer[16];
  EXPECT_EQ(h.ReadAt(4, buffer, 10, true), 2);
  EXPECT_EQ(h.ReadAt(100, buffer, 10, true), 0);
  auto e = CatchEngineError([&] { h.ReadAt(4, buffer, 10); });
  EXPECT_EQ(e.ErrorCode, VELDOR_READERR);
  EXPECT_EQ(e.ErrorTable, NormalizeFileName(Name("S.DAT")));
}

TEST_P(FileLayerKinds, SeekModes) {
  TFileHandler h(Name("K.DAT"), InMemory(), List);
  h.CreateFile();
  h.WriteAt(0, "0123456789", 10);
  TFileRef file;
  TOpenInfo info;
  h.Close();
  std::int32_t handle = List.Open(Name("K.DAT"), InMemory(), false, false, &info);
  ASSERT_GT(handle, 0);
  EXPECT_EQ(info.File->Seek(handle, 3, 0), 3);
  EXPECT_EQ(info.File->Seek(handle, 4, 1), 7);
  EXPECT_EQ(info.File->Seek(handle, 2, 2), 8);  // back from the end
  EXPECT_LT(info.File->Seek(handle, -1, 0), 0);
  EXPECT_LT(info.File->Seek(handle + 100, 0, 0), 0);  // unknown handle
  EXPECT_EQ(List.Close(info.File, handle), 0);
  EXPECT_LT(List.Close(info.File, handle), 0);  // closed twice
}

TEST_P(FileLayerKinds, CopiesRoundTripPlainAndCompressed) {
  TFileHandler h(Name("C.DAT"), InMemory(), List);
  h.CreateFile();
  // Three chunks and a bit, compressible and not.
  std::string data = Bytes(65536) + std::string(65536, 'q') + Bytes(65536, 'A') + "tail";
  h.WriteAt(0, data.data(), static_cast<std::int64_t>(data.size()));

  std::vector<int> reported;
  h.CopyToFile(
      Name("C.BAK"), true, [&](int p) { reported.push_back(p); }, 20);
  ASSERT_FALSE(reported.empty());
  EXPECT_TRUE(std::is_sorted(reported.begin(), reported.end()));
  EXPECT_EQ(reported.back(), 99);  // 3 chunks and 4 bytes: the last chunk adds less than 20
  for (std::size_t i = 1; i < reported.size(); ++i)
    EXPECT_GE(reported[i] - reported[i - 1], 20);

  h.CopyToFile(Name("C.RAW"), false);
  TFileHandler restored(Name("C.NEW"), InMemory(), List);
  restored.CreateFile();
  restored.WriteAt(0, std::string(300000, 'x').data(), 300000);  // longer than the copy
  restored.CopyFromFile(Name("C.BAK"), true);
  EXPECT_EQ(ReadAll(restored), data);
  restored.CopyFromFile(Name("C.RAW"), false);
  EXPECT_EQ(ReadAll(restored), data);

  TFileHandler packed(Name("C.BAK"), InMemory(), List);
  packed.Open(false);
  EXPECT_LT(packed.FileSize(), static_cast<std::int64_t>(data.size()));
  // A damaged frame is an uncompress error, never a crash or an over-long read.
  packed.WriteAt(0, "\xff\xff\xff\x7f", 4);
  packed.Close();
  EXPECT_ENGINE_ERROR(restored.CopyFromFile(Name("C.BAK"), true), VELDOR_UNCOMPRESS);
  packed.Open(false);
  packed.WriteAt(0, "\x00\x00\x01\x00", 4);  // a correct length again
  packed.WriteAt(20, "garbage!", 8);
  packed.Close();
  EXPECT_ENGINE_ERROR(restored.CopyFromFile(Name("C.BAK"), true), VELDOR_UNCOMPRESS);
}

INSTANTIATE_TEST_SUITE_P(PhysicalAndInMemory, FileLayerKinds, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "InMemory" : "Physical";
                         });

TEST(FileLayer, InMemoryFilesOutliveTheirHandlesUntilDeleted) {
  TFileList list;
  TFileHandler never("Memory/NEVER.DAT", true, list);
  auto e = CatchEngineError([&] { never.Open(false); });
  EXPECT_EQ(e.ErrorCode, VELDOR_OSENOENT);
  EXPECT_EQ(std::string(e.what()),
            "VELDOR Engine Error # 11010 Table 'Memory/NEVER.DAT' does not exist");
  TOpenInfo info;
  EXPECT_EQ(list.Open("Memory/NEVER.DAT", true, false, false, &info), -VELDOR_OSENOENT);

  MakeFile(list, "Memory/Keep.DAT", true, "kept bytes");
  EXPECT_TRUE(list.Exists("memory/keep.dat", true));
  EXPECT_FALSE(list.Exists("memory/keep.dat", false));  // a physical file of that name is another
  TFileHandler again(" Memory\\KEEP.dat ", true, list);
  again.Open(false);
  EXPECT_EQ(ReadAll(again), "kept bytes");
  again.Close();
  EXPECT_EQ(list.Rename("Memory/Keep.DAT", true, "Memory/Kept.DAT"), 0);
  EXPECT_FALSE(list.Exists("Memory/Keep.DAT", true));
  EXPECT_EQ(list.Delete("Memory/Kept.DAT", true), 0);
  EXPECT_FALSE(list.Exists("Memory/Kept.DAT", true));
  EXPECT_EQ(list.Delete("Memory/Kept.DAT", true), -VELDOR_OSENOENT);
  EXPECT_EQ(list.Count(), 0u);

  // A temporary in-memory file vanishes with its last handle.
  TFileHandler temp("Memory/TMP.DAT", true, list);
  temp.CreateFile(true);
  temp.Close();
  EXPECT_FALSE(list.Exists("Memory/TMP.DAT", true));
}

TEST(FileLayer, InMemoryFileRefusesAbsurdLengths) {
  TFileList list;
  TFileHandler h("Memory/BIG.DAT", true, list);
  h.CreateFile();
  EXPECT_ENGINE_ERROR(h.WriteAt(1LL << 40, "x", 1), VELDOR_WRITEERR);
  EXPECT_EQ(h.FileSize(), 0);
}

TEST(FileLayer, MissingPhysicalFileNamesTheFile) {
  TTempDir dir;
  TFileHandler h(dir.File("NOPE.DAT"), false);
  auto e = CatchEngineError([&] { h.Open(false); });
  EXPECT_EQ(e.ErrorCode, VELDOR_OSENOENT);
  EXPECT_EQ(e.ErrorTable, dir.File("NOPE.DAT"));
  EXPECT_FALSE(h.IsOpen());
}

TEST(FileLayer, ReadsLeaveTheAccessTimeOfAFileAlone) {
  // An access time older than the last write would be brought up to date by the next read of
  // a file opened the usual way; the layer's reads leave it.
  TTempDir dir;
  TFileList list;
  const std::string name = dir.File("AT.DAT");
  MakeFile(list, name, false, "content");
  TFileHandler h(name, false, list);
  h.Open(false);
  h.WriteAt(0, "C", 1);
  const struct timespec times[2] = {{1000000, 0}, {0, UTIME_OMIT}};
  ASSERT_EQ(::utimensat(AT_FDCWD, name.c_str(), times, 0), 0);
  EXPECT_EQ(ReadAll(h), "Content");
  struct stat st {};
  ASSERT_EQ(::stat(name.c_str(), &st), 0);
  EXPECT_EQ(st.st_atim.tv_sec, 1000000);
  h.Close();
}

TEST(FileLayer, ReadOnlyAttributeOpensReadOnly) {
  TTempDir dir;
  TFileList list;
  std::string name = dir.File("RO.DAT");
  MakeFile(list, name, false, "frozen");
  ASSERT_EQ(::chmod(name.c_str(), 0444), 0);
  TFileHandler h(name, false, list);
  h.Open(false);
  EXPECT_TRUE(h.OpenedReadOnly());
  EXPECT_TRUE(h.ReadOnlyAttribute());
  EXPECT_EQ(ReadAll(h), "frozen");
  EXPECT_ENGINE_ERROR(h.WriteAt(0, "x", 1), VELDOR_WRITEERR);
  EXPECT_ENGINE_ERROR(h.Truncate(0), VELDOR_WRITEERR);
  // Range locks still work (as shared locks towards other processes).
  EXPECT_TRUE(h.LockRange(0xFFFFFFFE, 1));
  EXPECT_FALSE(h.LockRange(0xFFFFFFFE, 1));
  EXPECT_TRUE(h.UnlockRange(0xFFFFFFFE, 1));
  h.Close();
  // Re-creating a read-only file is refused rather than emptying it.
  TFileHandler c(name, false, list);
  EXPECT_ENGINE_ERROR(c.CreateFile(), VELDOR_OSEACCES);
  EXPECT_EQ(ReadWholeFile(name), "frozen");
}

TEST(FileLayer, NamesResolveExactlyFirstThenCaseInsensitively) {
  TTempDir dir;
  WriteWholeFile(dir.File("Users.dat"), "lower");
  EXPECT_EQ(ResolveTableFileName(dir.File("USERS.DAT")), dir.File("Users.dat"));
  EXPECT_EQ(ResolveTableFileName("  " + dir.Path() + "\\users.DAT\t"), dir.File("Users.dat"));
  WriteWholeFile(dir.File("USERS.DAT"), "upper");
  EXPECT_EQ(ResolveTableFileName(dir.File("USERS.DAT")), dir.File("USERS.DAT"));
  EXPECT_EQ(ResolveTableFileName(dir.File("Users.dat")), dir.File("Users.dat"));
  // Several case-insensitive matches and no exact one: the first in byte order.
  EXPECT_EQ(ResolveTableFileName(dir.File("users.Dat")), dir.File("USERS.DAT"));
  // No match: the name as given (files are created as named).
  EXPECT_EQ(ResolveTableFileName(dir.File("New.DAT")), dir.File("New.DAT"));

  TFileList list;
  TFileHandler h(dir.Path() + "\\uSERS.dAT", false, list);
  h.Open(false);
  EXPECT_EQ(ReadAll(h), "upper");
  h.Close();
  EXPECT_TRUE(list.Exists(dir.File("users.dat"), false));
  EXPECT_FALSE(list.Exists(dir.Path(), false));  // a folder is not a file
  EXPECT_EQ(list.Delete(dir.File("users.dat"), false), 0);
  EXPECT_EQ(ReadWholeFile(dir.File("Users.dat")), "lower");  // only one of them went

  // Creating over a file that differs only in case empties that file instead of adding another.
  TFileHandler c(dir.File("USERS.DAT"), false, list);
  c.CreateFile();
  c.WriteAt(0, "new", 3);
  c.Close();
  EXPECT_EQ(ReadWholeFile(dir.File("Users.dat")), "new");
  EXPECT_FALSE(std::filesystem::exists(dir.File("USERS.DAT")));

  EXPECT_EQ(MakeTableFileName(dir.Path(), "Mail.box", ".DAT"), dir.File("Mail.DAT"));
  EXPECT_EQ(MakeTableFileName(dir.Path() + "/", "Messages", ".BLB"), dir.File("Messages.BLB"));
  EXPECT_EQ(MakeTableFileName("Data\\", "Users", ".IDX"), "Data/Users.IDX");
  EXPECT_EQ(MakeTableFileName("", "T", ".DAT"), "T.DAT");
}

TEST(FileLayer, RenameAndDeleteOnDisk) {
  TTempDir dir;
  TFileList list;
  MakeFile(list, dir.File("A.DAT"), false, "a");
  MakeFile(list, dir.File("B.DAT"), false, "b");
  EXPECT_EQ(list.Rename(dir.File("a.dat"), false, dir.File("B.DAT")), -VELDOR_OSEACCES);
  EXPECT_EQ(ReadWholeFile(dir.File("B.DAT")), "b");  // never replaced
  EXPECT_EQ(list.Rename(dir.File("a.dat"), false, dir.File("C.DAT")), 0);
  EXPECT_EQ(ReadWholeFile(dir.File("C.DAT")), "a");
  EXPECT_EQ(list.Rename(dir.File("missing.dat"), false, dir.File("D.DAT")), -VELDOR_OSENOENT);
  TFileHandler h(dir.File("C.DAT"), false, list);
  h.RenameFile(dir.File("c2.DAT"));
  EXPECT_EQ(h.FileName(), dir.File("c2.DAT"));
  h.DeleteFile();
  EXPECT_FALSE(h.Exists());
  EXPECT_ENGINE_ERROR(h.DeleteFile(), VELDOR_OSENOENT);
}

TEST(FileLayer, TemporaryFilesGetFreshNamesAndVanishAtLastClose) {
  TTempDir dir;
  TFileList list;
  // A name another process already uses is skipped, never overwritten.
  TFileHandler probe("", false, list);
  probe.CreateTemporaryFile(dir.Path(), ".DAT");
  std::string first = probe.FileName();
  probe.Close();
  EXPECT_FALSE(std::filesystem::exists(first));
  WriteWholeFile(first, "someone else's");

  TFileHandler a("", false, list);
  TFileHandler b("", false, list);
  a.CreateTemporaryFile(dir.Path(), ".DAT");
  b.CreateTemporaryFile(dir.Path(), ".DAT");
  EXPECT_NE(a.FileName(), first);
  EXPECT_NE(a.FileName(), b.FileName());
  EXPECT_EQ(ReadWholeFile(first), "someone else's");
  EXPECT_TRUE(a.Temporary());
  a.WriteAt(0, "tmp", 3);
  std::string aName = a.FileName();
  EXPECT_TRUE(std::filesystem::exists(aName));
  a.Close();
  EXPECT_FALSE(std::filesystem::exists(aName));

  // Many threads at once never get the same name.
  std::vector<std::unique_ptr<TFileHandler>> open(16);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 4; ++i) {
        auto h = std::make_unique<TFileHandler>("", false);
        h->CreateTemporaryFile(dir.Path(), ".TMP");
        open[t * 4 + i] = std::move(h);
      }
    });
  }
  for (auto& t : threads)
    t.join();
  std::vector<std::string> names;
  for (auto& h : open)
    names.push_back(h->FileName());
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size());
}

TEST(FileLayer, ErrnoMapping) {
  EXPECT_EQ(MapOSError(ENOENT), -11010);
  EXPECT_EQ(MapOSError(ENOTDIR), -11010);
  EXPECT_EQ(MapOSError(EMFILE), -11012);
  EXPECT_EQ(MapOSError(ENFILE), -11012);
  for (int e : {EACCES, EPERM, EROFS, EBUSY, EAGAIN})
    EXPECT_EQ(MapOSError(e), -11013);
  EXPECT_EQ(MapOSError(EBADF), -11014);
  EXPECT_EQ(MapOSError(ENOMEM), -11016);
  EXPECT_EQ(MapOSError(ENODEV), -11023);
  EXPECT_EQ(MapOSError(ENXIO), -11023);
  EXPECT_EQ(MapOSError(EXDEV), -11025);
  EXPECT_EQ(MapOSError(EIO), -11047);
  EXPECT_EQ(MapOSError(ENOSPC), -11047);
}
