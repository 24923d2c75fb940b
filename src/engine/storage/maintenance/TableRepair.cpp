#include "engine/storage/maintenance/TableRepair.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <stdexcept>
#include <unordered_map>

#include "engine/EngineLimits.h"
#include "engine/storage/EngineError.h"
#include "engine/storage/formats/Collation.h"
#include "engine/storage/formats/DataFile.h"
#include "engine/storage/formats/Record.h"
#include "engine/storage/formats/Scramble.h"
#include "engine/storage/locks/Journal.h"
#include "engine/storage/locks/UndoJournal.h"
#include "engine/storage/sessions/DataTable.h"

namespace zorvic::engine {
namespace {

using repair_detail::TBlobRef;

constexpr std::int64_t RunBytes = 1 << 20;

[[noreturn]] void RaiseIo(TErrorCode code, const std::string& file) {
  RaiseTableError(code, file);
}

void ReadAll(TFileSystem& fs, int fd, void* buffer, std::int64_t count, std::int64_t offset,
             const std::string& file) {
  auto* p = static_cast<std::uint8_t*>(buffer);
  while (count > 0) {
    const ssize_t n = fs.PRead(fd, p, static_cast<std::size_t>(count), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) RaiseIo(VELDOR_READERR, file);
    p += n;
    count -= n;
    offset += n;
  }
}

void WriteAll(TFileSystem& fs, int fd, const void* buffer, std::int64_t count, std::int64_t offset,
              const std::string& file) {
  const auto* p = static_cast<const std::uint8_t*>(buffer);
  while (count > 0) {
    const ssize_t n = fs.PWrite(fd, p, static_cast<std::size_t>(count), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) RaiseIo(VELDOR_WRITEERR, file);
    p += n;
    count -= n;
    offset += n;
  }
}

// A file descriptor closed at the end of its scope.
class TFd {
 public:
  TFd(TFileSystem& fs, int fd) : FFs(fs), FFd(fd) {}
  ~TFd() {
    if (FFd >= 0) FFs.Close(FFd);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return FFd; }
  void Close() {
    if (FFd >= 0) FFs.Close(FFd);
    FFd = -1;
  }

 private:
  TFileSystem& FFs;
  int FFd;
};

int CreateOutput(TFileSystem& fs, const std::string& name) {
  const int fd = fs.Open(name, O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) RaiseIo(errno == EACCES ? VELDOR_OSEACCES : VELDOR_WRITEERR, name);
  return fd;
}

void SyncFd(TFileSystem& fs, int fd, const std::string& name) {
  if (fs.Sync(fd) != 0) RaiseIo(VELDOR_WRITEERR, name);
}

bool Exists(TFileSystem& fs, const std::string& name) {
  TFileStatus status;
  return fs.Stat(name, &status) == 0 && status.Exists;
}

// Copies a file to a backup name, synced.
void CopyFile(TFileSystem& fs, const std::string& from, const std::string& to) {
  TFd in(fs, fs.Open(from, O_RDONLY, 0));
  if (in.Get() < 0) RaiseIo(VELDOR_OSENOENT, from);
  std::int64_t size = 0;
  if (fs.Size(in.Get(), &size) != 0) RaiseIo(VELDOR_READERR, from);
  TFd out(fs, CreateOutput(fs, to));
  std::vector<std::uint8_t> run;
  for (std::int64_t at = 0; at < size; at += RunBytes) {
    const std::int64_t n = std::min(RunBytes, size - at);
    run.resize(static_cast<std::size_t>(n));
    ReadAll(fs, in.Get(), run.data(), n, at, from);
    WriteAll(fs, out.Get(), run.data(), n, at, to);
  }
  SyncFd(fs, out.Get(), to);
}

void SyncDirectory(TFileSystem& fs, const std::string& directory) {
  TFd fd(fs, fs.Open(directory.empty() ? "." : directory, O_RDONLY | O_DIRECTORY, 0));
  if (fd.Get() < 0 || fs.Sync(fd.Get()) != 0) RaiseIo(VELDOR_WRITEERR, directory);
}

void Rename(TFileSystem& fs, const std::string& from, const std::string& to) {
  if (fs.Rename(from, to) != 0) RaiseIo(VELDOR_WRITEERR, to);
}

// What pass one learned of a slot.
enum TSlotFix : std::uint8_t {
  kKeep = 0,
  kDrop = 1,  // a bad record dropped: becomes deleted
};

struct TScan {
  std::int32_t Slots = 0;            // slots of the new file
  std::int32_t PartialSlot = 0;      // slot cut by the end of the file (0 none)
  std::int64_t PartialBytes = 0;     // bytes of it present
  std::vector<std::uint8_t> Status;  // per slot (index n): status in the new file
  std::vector<std::uint8_t> Fix;
  std::map<std::int32_t, std::int32_t> NewRowIds;
  std::int32_t LastAutoInc = 0;
  bool RebuildChain = false;
};

std::string RecordText(std::int32_t n) {
  return "record " + std::to_string(n);
}

}  // namespace

TTableRepairResult RepairTableFiles(const std::string& directory, const std::string& table,
                                    const TTableRepairOptions& options) {
  TTableRepairResult result;
  std::vector<std::string>& changes = result.Changes;
  TFileSystem& fs = CurrentFileSystem();
  if (ReadJournal(fs, JournalFileName(directory, table), nullptr) != TJournalState::None ||
      UndoJournalPresent(fs, UndoJournalFileName(directory, table)))
    throw std::runtime_error("a journal of an interrupted write lies beside the table '" + table +
                             "'; open the table once to play it back before repairing");
  const std::string datName = TDataTable::FileNameIn(directory, table, ".DAT");
  const std::string blbName = TDataTable::FileNameIn(directory, table, ".BLB");
  const std::string idxName = TDataTable::FileNameIn(directory, table, ".IDX");
  const std::string datNew = datName + ".repair";
  const std::string blbNew = blbName + ".repair";

  // The table to ourselves: the data file opened exclusively shuts every other user out.
  TDataFile data(datName, table);
  data.Open(true);
  TTableHeader header = data.Header();
  const std::vector<TFieldDesc> fields = data.Fields();
  if (const std::string bad = CheckFieldDescs(header, fields); !bad.empty()) {
    data.Close();
    throw std::runtime_error("the field descriptors of the table '" + table + "' are damaged (" +
                             bad + "); it cannot be repaired");
  }
  if ((header.LocaleLanguage != 0 || header.LocaleSort != 0) &&
      !IsInstalledCollation(header.LocaleLanguage, header.LocaleSort)) {
    data.Close();
    RaiseTableError(VELDOR_CANNOTLOADLDDRV, table);
  }
  const bool encrypted = data.Encrypted();
  const std::int64_t recordSize = header.RecordSize;
  const std::int64_t h = data.HeaderBytes();
  const std::int64_t size = data.FileSize();
  if (header.FormatVersion != kDataFormatVersion) {
    changes.push_back("header: FormatVersion " + std::to_string(header.FormatVersion) + " set to " +
                      std::to_string(kDataFormatVersion));
    header.FormatVersion = kDataFormatVersion;
  }

  // ---- pass one: what the slots hold ----
  const std::int64_t whole = std::min<std::int64_t>((size - h) / recordSize, MaxRecordNo);
  const std::int64_t partial = whole < MaxRecordNo ? (size - h) % recordSize : 0;
  std::int64_t claimed = static_cast<std::int64_t>(header.NextRecordNo) - 1;
  if (claimed < 0 || claimed > MaxRecordNo) {
    changes.push_back("header: NextRecordNo " + std::to_string(header.NextRecordNo) +
                      " is out of range; the slots the file holds are counted");
    claimed = whole + (partial > 0 ? 1 : 0);
  }
  TScan scan;
  scan.LastAutoInc = header.LastAutoInc;
  std::int64_t slots = std::min(claimed, whole);
  std::vector<std::uint8_t> rec(static_cast<std::size_t>(recordSize));
  auto readSlot = [&](std::int64_t n, std::int64_t bytes) {
    std::fill(rec.begin(), rec.end(), 0);
    data.ReadAt(h + (n - 1) * recordSize, rec.data(), bytes);
    if (encrypted) Scramble(rec.data(), static_cast<std::size_t>(bytes), DataSeed);
  };
  // Whole slots past NextRecordNo count only when they look like records the header knew.
  if (whole > claimed) {
    std::int64_t n = claimed + 1;
    for (; n <= whole; ++n) {
      readSlot(n, recordSize);
      const std::int32_t rowId = RecRowId(rec.data());
      if (RecStatus(rec.data()) != kRecActive || RecLink(rec.data()) != n || rowId < 1 ||
          rowId > header.LastAutoInc)
        break;
    }
    if (n > claimed + 1)
      changes.push_back(std::to_string(n - claimed - 1) +
                        " record slots past NextRecordNo kept: their records were counted by "
                        "the header's LastAutoInc");
    slots = n - 1;
    const std::int64_t cut = size - h - slots * recordSize;
    if (cut > 0)
      changes.push_back(std::to_string(cut) +
                        " bytes past the last record (an interrupted append) cut off");
  } else if (claimed > whole) {
    if (partial >= kRecordHeaderSize) {
      scan.PartialSlot = static_cast<std::int32_t>(whole + 1);
      scan.PartialBytes = partial;
      slots = whole + 1;
      changes.push_back("record slot " + std::to_string(slots) +
                        " is cut by the end of the file (" + std::to_string(partial) + " of " +
                        std::to_string(recordSize) + " bytes); completed");
    } else if (partial > 0) {
      changes.push_back(std::to_string(partial) +
                        " bytes of a record slot cut by the end of the file removed");
    }
    if (slots != claimed)
      changes.push_back("header: NextRecordNo " + std::to_string(header.NextRecordNo) +
                        " but the file holds " + std::to_string(slots) +
                        " record slots; NextRecordNo set to " + std::to_string(slots + 1));
  }
  scan.Slots = static_cast<std::int32_t>(slots);
  scan.Status.assign(static_cast<std::size_t>(slots) + 1, kRecDeleted);
  scan.Fix.assign(static_cast<std::size_t>(slots) + 1, kKeep);

  std::vector<TBlobRef> refs;
  std::unordered_map<std::int32_t, std::int32_t> deletedLinks;
  std::int32_t maxRowId = 0;
  std::vector<std::int32_t> missingRowIds;
  for (std::int64_t n = 1; n <= slots; ++n) {
    const bool cut = n == scan.PartialSlot;
    readSlot(n, cut ? scan.PartialBytes : recordSize);
    const std::uint8_t status = RecStatus(rec.data());
    const std::string where = RecordText(static_cast<std::int32_t>(n));
    if (status == kRecDeleted) {
      deletedLinks[static_cast<std::int32_t>(n)] = RecLink(rec.data());
      continue;
    }
    std::string bad;
    if (status != kRecActive) bad = "status byte " + std::to_string(status) + " is neither 0 nor 1";
    // The chains of a record kept despite its faults stay its own.
    for (const TFieldDesc& f : fields) {
      if (f.IsAutoInc()) continue;
      if (cut && f.FieldOffset + 1 + f.PhysSize > scan.PartialBytes) continue;  // made NULL
      if (f.IsBlob()) {
        const std::int32_t first = GetI32(rec.data() + f.FieldOffset + 1);
        if (first > 0)
          refs.push_back(TBlobRef{static_cast<std::int32_t>(n), f.FieldNo, first, 0, 0,
                                  rec[f.FieldOffset] != 0});
        continue;
      }
      std::string why;
      if (bad.empty() && !CheckStoredField(f, rec.data(), &why))
        bad = "field " + f.Name() + ": " + why;
    }
    if (!bad.empty()) {
      if (options.DropBadRecords) {
        scan.Fix[static_cast<std::size_t>(n)] = kDrop;
        changes.push_back(where + " removed: " + bad);
        while (!refs.empty() && refs.back().RecordNo == n)
          refs.pop_back();
        continue;
      }
      ++result.BadRecordsKept;
      result.BadRecords.push_back(where + ": " + bad);
      scan.Status[static_cast<std::size_t>(n)] = status;
      continue;
    }
    scan.Status[static_cast<std::size_t>(n)] = kRecActive;
    const std::int32_t rowId = RecRowId(rec.data());
    if (rowId < 1)
      missingRowIds.push_back(static_cast<std::int32_t>(n));
    else
      maxRowId = std::max(maxRowId, rowId);
  }
  if (maxRowId > scan.LastAutoInc) {
    changes.push_back("header: LastAutoInc " + std::to_string(scan.LastAutoInc) + " raised to " +
                      std::to_string(maxRowId) + ", the highest RowId");
    scan.LastAutoInc = maxRowId;
  }
  for (const std::int32_t n : missingRowIds) {
    if (scan.LastAutoInc >= MaxAutoIncValue) scan.LastAutoInc = 0;
    scan.NewRowIds[n] = ++scan.LastAutoInc;
    changes.push_back(RecordText(n) + ": RowId below 1 replaced by " +
                      std::to_string(scan.LastAutoInc));
  }
  // The deleted-slot chain is kept when it is sound over the new slots.
  {
    std::int32_t n = header.FirstDeleted;
    std::size_t steps = 0;
    bool sound = n >= 0 && n <= slots;
    while (sound && n != 0) {
      const auto it = deletedLinks.find(n);
      if (it == deletedLinks.end() || scan.Status[static_cast<std::size_t>(n)] != kRecDeleted ||
          scan.Fix[static_cast<std::size_t>(n)] != kKeep || ++steps > deletedLinks.size()) {
        sound = false;
        break;
      }
      n = it->second;
      sound = n >= 0 && n <= slots;
    }
    bool dropped = false;
    for (std::int64_t k = 1; k <= slots; ++k)
      dropped = dropped || scan.Fix[static_cast<std::size_t>(k)] == kDrop;
    scan.RebuildChain = !sound || dropped || scan.PartialSlot != 0;
  }

  // ---- the BLOB file ----
  const bool hasBlob = header.BlobFieldCount > 0;
  std::sort(refs.begin(), refs.end(), [](const TBlobRef& a, const TBlobRef& b) {
    return a.RecordNo != b.RecordNo ? a.RecordNo < b.RecordNo : a.FieldNo < b.FieldNo;
  });
  try {
    if (hasBlob) {
      TFd blbIn(fs, Exists(fs, blbName) ? fs.Open(blbName, O_RDONLY, 0) : -1);
      std::int64_t blbSize = 0;
      if (blbIn.Get() >= 0 && fs.Size(blbIn.Get(), &blbSize) != 0) RaiseIo(VELDOR_READERR, blbName);
      TFd blbOut(fs, CreateOutput(fs, blbNew));
      repair_detail::RepairBlobFile(fs, blbIn.Get(), blbSize, blbOut.Get(),
                                    header.EffectiveBlobBlockSize(), encrypted, refs, changes);
      SyncFd(fs, blbOut.Get(), blbNew);
    }

    // ---- pass two: the new data file ----
    TFd datOut(fs, CreateOutput(fs, datNew));
    std::vector<std::uint8_t> descriptors(static_cast<std::size_t>(h - kTableHeaderSize));
    data.ReadAt(static_cast<std::int64_t>(kTableHeaderSize), descriptors.data(),
                static_cast<std::int64_t>(descriptors.size()));
    WriteAll(fs, datOut.Get(), descriptors.data(), static_cast<std::int64_t>(descriptors.size()),
             static_cast<std::int64_t>(kTableHeaderSize), datNew);
    std::size_t nextRef = 0;
    std::int32_t lastDeleted = 0;
    std::int64_t deletedCount = 0;
    std::vector<std::uint8_t> out;
    const std::int64_t perRun = std::max<std::int64_t>(1, RunBytes / recordSize);
    std::int64_t runFirst = 1;
    auto flushRun = [&] {
      if (out.empty()) return;
      WriteAll(fs, datOut.Get(), out.data(), static_cast<std::int64_t>(out.size()),
               h + (runFirst - 1) * recordSize, datNew);
      runFirst += static_cast<std::int64_t>(out.size()) / recordSize;
      out.clear();
    };
    for (std::int64_t n = 1; n <= slots; ++n) {
      const bool cut = n == scan.PartialSlot;
      readSlot(n, cut ? scan.PartialBytes : recordSize);
      const auto slot = static_cast<std::int32_t>(n);
      const std::string where = RecordText(slot);
      if (cut) {
        for (const TFieldDesc& f : fields) {
          if (f.IsAutoInc() || f.FieldOffset + 1 + f.PhysSize <= scan.PartialBytes) continue;
          const bool had = rec[f.FieldOffset] != 0 && f.FieldOffset < scan.PartialBytes;
          std::fill(rec.begin() + f.FieldOffset, rec.begin() + f.FieldOffset + 1 + f.PhysSize, 0);
          if (had && RecStatus(rec.data()) == kRecActive)
            changes.push_back(where + ": field " + f.Name() +
                              " was cut by the end of the file; set to NULL");
        }
      }
      if (scan.Fix[static_cast<std::size_t>(n)] == kDrop) {
        SetRecStatus(rec.data(), kRecDeleted);
        SetRecLink(rec.data(), 0);
      }
      if (RecStatus(rec.data()) == kRecActive &&
          scan.Status[static_cast<std::size_t>(n)] == kRecActive) {
        if (RecLink(rec.data()) != slot) {
          changes.push_back(where + ": link " + std::to_string(RecLink(rec.data())) +
                            " set to its own number");
          SetRecLink(rec.data(), slot);
        }
        if (const auto it = scan.NewRowIds.find(slot); it != scan.NewRowIds.end())
          SetRecRowId(rec.data(), it->second);
        for (const TFieldDesc& f : fields) {
          if (!f.IsBlob() || f.IsAutoInc()) continue;
          if (cut && f.FieldOffset + 1 + f.PhysSize > scan.PartialBytes) continue;
          std::uint8_t* v = rec.data() + f.FieldOffset + 1;
          const std::int32_t first = GetI32(v);
          std::int32_t want = 0;
          if (first > 0) {
            while (nextRef < refs.size() &&
                   (refs[nextRef].RecordNo < slot ||
                    (refs[nextRef].RecordNo == slot && refs[nextRef].FieldNo < f.FieldNo)))
              ++nextRef;
            if (nextRef < refs.size() && refs[nextRef].RecordNo == slot &&
                refs[nextRef].FieldNo == f.FieldNo)
              want = refs[nextRef].NewFirst;
          }
          const bool wasNull = rec[f.FieldOffset] == 0;
          bool otherBytes = false;
          for (std::uint32_t i = 4; i < f.PhysSize; ++i)
            otherBytes = otherBytes || v[i] != 0;
          if (want != first || otherBytes || rec[f.FieldOffset] != (want != 0 ? 1 : 0)) {
            if (first <= 0 && !(wasNull && first == 0))
              changes.push_back(where + ": field " + f.Name() +
                                " held no usable reference; set to NULL");
            else if (want == first && first != 0 && wasNull)
              changes.push_back(where + ": field " + f.Name() +
                                " was flagged NULL but its value's chain is whole; value kept");
            else if (want == first && first != 0)
              changes.push_back(where + ": field " + f.Name() + ": reference bytes corrected");
            WriteBlobField(f, rec.data(), want);
          }
        }
      }
      if (RecStatus(rec.data()) == kRecDeleted) {
        ++deletedCount;
        if (scan.RebuildChain) SetRecLink(rec.data(), lastDeleted);
        lastDeleted = slot;
      }
      if (encrypted) Scramble(rec.data(), rec.size(), DataSeed);
      out.insert(out.end(), rec.begin(), rec.end());
      if (static_cast<std::int64_t>(out.size()) >= perRun * recordSize) flushRun();
    }
    flushRun();
    TTableHeader next = header;
    next.NextRecordNo = static_cast<std::int32_t>(slots + 1);
    next.LastAutoInc = scan.LastAutoInc;
    if (scan.RebuildChain) {
      next.FirstDeleted = lastDeleted;
      if (deletedCount > 0 || header.FirstDeleted != lastDeleted)
        changes.push_back("deleted-slot chain rebuilt over " + std::to_string(deletedCount) +
                          " deleted slots (FirstDeleted " + std::to_string(lastDeleted) + ")");
    }
    next.ChangeCount = header.ChangeCount + 1;
    next.HeaderModified = 0;
    std::uint8_t headerBytes[kTableHeaderSize];
    next.Encode(headerBytes);
    WriteAll(fs, datOut.Get(), headerBytes, kTableHeaderSize, 0, datNew);
    if (fs.Truncate(datOut.Get(), h + slots * recordSize) != 0) RaiseIo(VELDOR_WRITEERR, datNew);
    SyncFd(fs, datOut.Get(), datNew);
    datOut.Close();
  } catch (...) {
    data.Close();
    fs.Unlink(datNew);
    if (hasBlob) fs.Unlink(blbNew);
    throw;
  }
  data.Close();

  // ---- the old files to their backups, the new ones in their place ----
  CopyFile(fs, datName, TDataTable::FileNameIn(directory, table, ".DBK"));
  if (hasBlob && Exists(fs, blbName))
    CopyFile(fs, blbName, TDataTable::FileNameIn(directory, table, ".BBK"));
  if (Exists(fs, idxName)) CopyFile(fs, idxName, TDataTable::FileNameIn(directory, table, ".IBK"));
  SyncDirectory(fs, directory);
  if (hasBlob) Rename(fs, blbNew, blbName);
  Rename(fs, datNew, datName);
  SyncDirectory(fs, directory);

  result.Index = RebuildIndexFile(directory, table);
  return result;
}

}  // namespace zorvic::engine
