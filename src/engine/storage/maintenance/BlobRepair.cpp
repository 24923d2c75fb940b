// The BLOB half of a table repair: chains followed from the records, cut at the first block that
// cannot belong to them, every other block on a new free list, the header from the file's size.
//
// Memory: one small entry per block of the file; the blocks themselves are copied in runs.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/EngineLimits.h"
#include "engine/storage/EngineError.h"
#include "engine/storage/formats/BlobFile.h"
#include "engine/storage/formats/BlobFileInternal.h"
#include "engine/storage/formats/Scramble.h"
#include "engine/storage/maintenance/TableRepair.h"

namespace zorvic::engine::repair_detail {
namespace {

using blobfile_internal::GetI32;
using blobfile_internal::PutI32;

constexpr std::int64_t RunBytes = 1 << 20;

struct TInfo {
  std::int32_t Prev = 0;
  std::int32_t Next = 0;
  std::uint16_t Used = 0;
  std::int32_t Owner = 0;
  std::int32_t Total = 0;
  bool WasFree = false;
  std::int32_t Claim = 0;  // record whose chain holds it; 0 none
  bool Dirty = false;      // header to be rewritten
};

void HeaderOf(const std::uint8_t* p, bool encrypted, TInfo& info) {
  std::uint8_t h[BlobBlockHeaderSize];
  std::memcpy(h, p, BlobBlockHeaderSize);
  if (encrypted) Scramble(h, BlobBlockHeaderSize, DataSeed);
  info.Prev = GetI32(h);
  info.Next = GetI32(h + 4);
  info.Used = static_cast<std::uint16_t>(h[8] | h[9] << 8);
  info.Owner = GetI32(h + 10);
  info.Total = GetI32(h + 14);
}

void PutHeader(std::uint8_t* p, bool encrypted, const TInfo& info) {
  std::uint8_t h[BlobBlockHeaderSize];
  PutI32(h, info.Prev);
  PutI32(h + 4, info.Next);
  h[8] = static_cast<std::uint8_t>(info.Used & 0xFF);
  h[9] = static_cast<std::uint8_t>(info.Used >> 8);
  PutI32(h + 10, info.Owner);
  PutI32(h + 14, info.Total);
  if (encrypted) Scramble(h, BlobBlockHeaderSize, DataSeed);
  std::memcpy(p, h, BlobBlockHeaderSize);
}

void ReadAll(TFileSystem& fs, int fd, void* buffer, std::int64_t count, std::int64_t offset) {
  auto* p = static_cast<std::uint8_t*>(buffer);
  while (count > 0) {
    const ssize_t n = fs.PRead(fd, p, static_cast<std::size_t>(count), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) RaiseTableError(VELDOR_READERR, "BLOB file");
    p += n;
    count -= n;
    offset += n;
  }
}

void WriteAll(TFileSystem& fs, int fd, const void* buffer, std::int64_t count,
              std::int64_t offset) {
  const auto* p = static_cast<const std::uint8_t*>(buffer);
  while (count > 0) {
    const ssize_t n = fs.PWrite(fd, p, static_cast<std::size_t>(count), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) RaiseTableError(VELDOR_WRITEERR, "BLOB file");
    p += n;
    count -= n;
    offset += n;
  }
}

std::string ValueName(const TBlobRef& ref) {
  return "record " + std::to_string(ref.RecordNo) + " field " + std::to_string(ref.FieldNo);
}

}  // namespace

void RepairBlobFile(TFileSystem& fs, int inFd, std::int64_t inSize, int outFd,
                    std::int64_t blockSize, bool encrypted, std::vector<TBlobRef>& refs,
                    std::vector<std::string>& changes) {
  const std::int64_t capacity = blockSize - BlobBlockHeaderSize;
  TBlobHeader old;
  bool headerRead = false;
  if (inFd >= 0 && inSize >= BlobHeaderSize) {
    std::uint8_t bytes[BlobHeaderSize];
    ReadAll(fs, inFd, bytes, BlobHeaderSize, 0);
    old = TBlobFile::DecodeHeader(bytes, encrypted);
    headerRead = true;
  } else {
    changes.push_back(inFd < 0 ? "BLOB file: missing; made anew without blocks"
                               : "BLOB file: shorter than its header; made anew without blocks");
  }
  std::int64_t count = headerRead ? (inSize - BlobHeaderSize) / blockSize : 0;
  count = std::min(count, MaxBlobBlockNo);
  if (headerRead) {
    const std::int64_t cut = inSize - BlobHeaderSize - count * blockSize;
    if (cut > 0)
      changes.push_back("BLOB file: " + std::to_string(cut) +
                        " bytes of a partial block at the end cut off");
  }

  // Every block header.
  std::vector<TInfo> blocks(static_cast<std::size_t>(count + 1));
  std::vector<std::uint8_t> run;
  const std::int64_t perRun = std::max<std::int64_t>(1, RunBytes / blockSize);
  for (std::int64_t first = 1; first <= count; first += perRun) {
    const std::int64_t n = std::min(perRun, count - first + 1);
    run.resize(static_cast<std::size_t>(n * blockSize));
    ReadAll(fs, inFd, run.data(), n * blockSize, BlobHeaderSize + (first - 1) * blockSize);
    for (std::int64_t i = 0; i < n; ++i)
      HeaderOf(run.data() + i * blockSize, encrypted, blocks[static_cast<std::size_t>(first + i)]);
  }
  const auto inRange = [count](std::int64_t no) { return no >= 1 && no <= count; };
  // The old free list, as far as it is sound.
  std::int64_t oldFree = 0;
  for (std::int64_t no = headerRead ? old.FirstFreeBlock : 0; inRange(no);) {
    TInfo& info = blocks[static_cast<std::size_t>(no)];
    if (info.WasFree) break;
    info.WasFree = true;
    ++oldFree;
    no = info.Next;
  }

  // Chains whose first block names their record go first: a damaged reference elsewhere must
  // not take the blocks of a sound chain.
  std::vector<std::size_t> order(refs.size());
  for (std::size_t i = 0; i < refs.size(); ++i)
    order[i] = i;
  const auto sound = [&](const TBlobRef& r) {
    return inRange(r.FirstBlock) &&
           blocks[static_cast<std::size_t>(r.FirstBlock)].Owner == r.RecordNo &&
           blocks[static_cast<std::size_t>(r.FirstBlock)].Prev == 0;
  };
  std::stable_partition(order.begin(), order.end(), [&](std::size_t i) { return sound(refs[i]); });

  for (const std::size_t i : order) {
    TBlobRef& ref = refs[i];
    const std::string value = ValueName(ref);
    ref.NewFirst = 0;
    ref.Length = 0;
    if (!ref.Flagged && !sound(ref)) {
      changes.push_back(value + ": NULL, with stray reference bytes; cleared");
      continue;
    }
    if (!inRange(ref.FirstBlock)) {
      changes.push_back(value + ": its value begins at block " + std::to_string(ref.FirstBlock) +
                        ", outside the file; set to NULL");
      continue;
    }
    if (blocks[static_cast<std::size_t>(ref.FirstBlock)].Claim != 0) {
      changes.push_back(value + ": its value begins at block " + std::to_string(ref.FirstBlock) +
                        ", which belongs to the value of record " +
                        std::to_string(blocks[static_cast<std::size_t>(ref.FirstBlock)].Claim) +
                        "; set to NULL");
      continue;
    }
    TInfo& head = blocks[static_cast<std::size_t>(ref.FirstBlock)];
    const std::int64_t length = head.Total >= 1 && head.Total <= count * capacity ? head.Total : -1;
    std::vector<std::int32_t> chain{ref.FirstBlock};
    std::vector<std::int64_t> used;
    std::int64_t bytes = 0;
    auto take = [&](const TInfo& b) {
      return length >= 0 ? std::min(capacity, length - bytes)
                         : std::min<std::int64_t>(capacity, b.Used);
    };
    used.push_back(take(head));
    bytes += used.back();
    head.Claim = ref.RecordNo;
    std::string cutReason;
    for (std::int32_t cur = ref.FirstBlock; length < 0 || bytes < length;) {
      const std::int32_t next = blocks[static_cast<std::size_t>(cur)].Next;
      if (next == 0) {
        if (length >= 0) cutReason = "the chain ends at block " + std::to_string(cur);
        break;
      }
      if (!inRange(next)) {
        cutReason = "block " + std::to_string(cur) + " points outside the file";
        break;
      }
      TInfo& b = blocks[static_cast<std::size_t>(next)];
      if (b.Claim != 0) {
        cutReason = "block " + std::to_string(next) + " belongs to the value of record " +
                    std::to_string(b.Claim);
        break;
      }
      if (b.Prev != cur && b.Owner != ref.RecordNo) {
        cutReason =
            "block " + std::to_string(next) + " belongs to neither the chain nor the record";
        break;
      }
      b.Claim = ref.RecordNo;
      chain.push_back(next);
      used.push_back(take(b));
      bytes += used.back();
      cur = next;
    }
    // Trailing blocks that carry nothing (a value read by its blocks' counts) are not kept.
    while (chain.size() > 1 && used.back() == 0) {
      blocks[static_cast<std::size_t>(chain.back())].Claim = 0;
      chain.pop_back();
      used.pop_back();
    }
    if (bytes == 0) {
      for (const std::int32_t no : chain)
        blocks[static_cast<std::size_t>(no)].Claim = 0;
      changes.push_back(value + ": nothing of its value is readable" +
                        (cutReason.empty() ? "" : " (" + cutReason + ")") + "; set to NULL");
      continue;
    }
    if (length < 0) {
      changes.push_back(value + ": the length " + std::to_string(head.Total) + " in block " +
                        std::to_string(ref.FirstBlock) + " replaced by " + std::to_string(bytes) +
                        ", the bytes its chain holds");
    } else if (bytes < length) {
      changes.push_back(value + ": value cut from " + std::to_string(length) + " to " +
                        std::to_string(bytes) + " bytes: " + cutReason);
    }
    int corrected = 0;
    for (std::size_t k = 0; k < chain.size(); ++k) {
      TInfo& b = blocks[static_cast<std::size_t>(chain[k])];
      TInfo want = b;
      want.Prev = k == 0 ? 0 : chain[k - 1];
      want.Next = k + 1 < chain.size() ? chain[k + 1] : 0;
      want.Used = static_cast<std::uint16_t>(used[k]);
      want.Owner = ref.RecordNo;
      want.Total = k == 0 ? static_cast<std::int32_t>(bytes) : 0;
      if (want.Prev != b.Prev || want.Next != b.Next || want.Used != b.Used ||
          want.Owner != b.Owner || want.Total != b.Total) {
        if (!(k + 1 == chain.size() && bytes < length && want.Prev == b.Prev &&
              want.Owner == b.Owner))
          ++corrected;
        want.Dirty = true;
        b = want;
      }
    }
    if (corrected > 0)
      changes.push_back(value + ": links, counts or owner of " + std::to_string(corrected) +
                        " block" + (corrected == 1 ? "" : "s") + " corrected");
    ref.NewFirst = ref.FirstBlock;
    ref.Length = bytes;
  }

  // Everything else goes to the free list, in ascending order.
  std::int32_t firstFree = 0;
  std::int64_t freeCount = 0;
  std::int64_t newlyFree = 0;
  TInfo* last = nullptr;
  for (std::int64_t no = 1; no <= count; ++no) {
    TInfo& b = blocks[static_cast<std::size_t>(no)];
    if (b.Claim != 0) continue;
    ++freeCount;
    if (!b.WasFree) ++newlyFree;
    if (last) {
      last->Next = static_cast<std::int32_t>(no);
    } else {
      firstFree = static_cast<std::int32_t>(no);
    }
    b.Prev = 0;
    b.Next = 0;
    b.Used = 0;
    b.Owner = 0;
    b.Total = 0;
    b.Dirty = true;
    last = &b;
  }
  if (newlyFree > 0)
    changes.push_back("BLOB file: " + std::to_string(newlyFree) + " block" +
                      (newlyFree == 1 ? "" : "s") + " in no chain returned to the free list");
  if (headerRead && (freeCount != oldFree || newlyFree > 0 || old.FirstFreeBlock != firstFree))
    changes.push_back("BLOB file: free list rebuilt with " + std::to_string(freeCount) +
                      " blocks (it held " + std::to_string(oldFree) + " reachable ones)");

  TBlobHeader header = old;
  header.ChangeCount = headerRead ? old.ChangeCount + 1 : 0;
  header.FormatVersion = BlobFormatVersion;
  header.FirstFreeBlock = firstFree;
  header.NextBlockNo = static_cast<std::int32_t>(count + 1);
  header.HeaderModified = 0;
  if (headerRead && old.FormatVersion != BlobFormatVersion)
    changes.push_back("BLOB header: FormatVersion " + std::to_string(old.FormatVersion) +
                      " set to " + std::to_string(BlobFormatVersion));
  if (headerRead && old.NextBlockNo != header.NextBlockNo)
    changes.push_back("BLOB header: NextBlockNo " + std::to_string(old.NextBlockNo) + " set to " +
                      std::to_string(header.NextBlockNo) + " (the blocks the file holds)");
  if (headerRead && old.FirstFreeBlock != firstFree)
    changes.push_back("BLOB header: FirstFreeBlock " + std::to_string(old.FirstFreeBlock) +
                      " set to " + std::to_string(firstFree));

  std::uint8_t headerBytes[BlobHeaderSize];
  TBlobFile::EncodeHeader(header, headerBytes, encrypted);
  WriteAll(fs, outFd, headerBytes, BlobHeaderSize, 0);
  for (std::int64_t first = 1; first <= count; first += perRun) {
    const std::int64_t n = std::min(perRun, count - first + 1);
    run.resize(static_cast<std::size_t>(n * blockSize));
    const std::int64_t offset = BlobHeaderSize + (first - 1) * blockSize;
    ReadAll(fs, inFd, run.data(), n * blockSize, offset);
    for (std::int64_t i = 0; i < n; ++i) {
      const TInfo& b = blocks[static_cast<std::size_t>(first + i)];
      if (b.Dirty) PutHeader(run.data() + i * blockSize, encrypted, b);
    }
    WriteAll(fs, outFd, run.data(), n * blockSize, offset);
  }
}

}  // namespace zorvic::engine::repair_detail
