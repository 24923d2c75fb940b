// VerifyBlobFile: a BLOB file checked against the records that reference it, as it is on disk.
//
// Memory: one small entry per block that exists in the file (the file size bounds it, whatever
// the header claims).
#include <algorithm>
#include <string>

#include "engine/storage/formats/BlobFile.h"
#include "engine/storage/formats/BlobFileInternal.h"

namespace zorvic::engine {
namespace {

// Reported one by one up to this many; the rest are counted.
constexpr std::size_t MaxLostBlocksListed = 20;
// Bytes read from the file at once.
constexpr std::int64_t VerifyReadBytes = 1 << 20;

enum class TBlockState : std::uint8_t { Unseen, Free, Chained };

struct TBlockInfo {
  std::int32_t Prev = 0;
  std::int32_t Next = 0;
  std::uint16_t Used = 0;
  std::int32_t Owner = 0;
  std::int32_t TotalLength = 0;
  TBlockState State = TBlockState::Unseen;
};

std::string BlockText(std::int64_t no) {
  return "block " + std::to_string(no);
}

std::string ValueText(const TBlobReference& ref) {
  return "record " + std::to_string(ref.RecordNo) + " field " + std::to_string(ref.FieldNo);
}

}  // namespace

std::vector<std::string> VerifyBlobFile(TBlobFile& file,
                                        const std::vector<TBlobReference>& references) {
  std::vector<std::string> problems;
  const std::int64_t blockSize = file.BlockSize();
  const std::int64_t capacity = file.Capacity();
  const std::int64_t fileSize = file.FileSize();
  if (fileSize < BlobHeaderSize) {
    problems.push_back("the file is shorter than its header (" + std::to_string(fileSize) +
                       " bytes)");
    return problems;
  }
  std::uint8_t headerBytes[BlobHeaderSize];
  file.ReadAt(0, headerBytes, BlobHeaderSize);
  TBlobHeader header = TBlobFile::DecodeHeader(headerBytes, file.Encrypted());
  if (header.FormatVersion != BlobFormatVersion) {
    problems.push_back("format version " + std::to_string(header.FormatVersion) + " is not " +
                       std::to_string(BlobFormatVersion));
  }
  std::int64_t claimed = static_cast<std::int64_t>(header.NextBlockNo) - 1;
  if (claimed < 0 || claimed > MaxBlobBlockNo) {
    problems.push_back("next block number " + std::to_string(header.NextBlockNo) +
                       " is out of range");
    claimed = std::max<std::int64_t>(claimed, 0);
  }
  std::int64_t present = (fileSize - BlobHeaderSize) / blockSize;
  if (claimed > present) {
    problems.push_back("the header counts " + std::to_string(claimed) +
                       " blocks but the file holds " + std::to_string(present));
  }
  const std::int64_t count = std::min(claimed, present);
  if (header.FirstFreeBlock < 0 || header.FirstFreeBlock > claimed) {
    problems.push_back("first free block " + std::to_string(header.FirstFreeBlock) +
                       " is out of range");
  }

  // Every block header, read in large runs.
  std::vector<TBlockInfo> blocks(static_cast<std::size_t>(count + 1));
  std::vector<std::uint8_t> run;
  TBlock scratch;
  const std::int64_t perRun = std::max<std::int64_t>(1, VerifyReadBytes / blockSize);
  for (std::int64_t first = 1; first <= count; first += perRun) {
    std::int64_t n = std::min(perRun, count - first + 1);
    run.resize(static_cast<std::size_t>(n * blockSize));
    file.ReadAt(file.BlockOffset(static_cast<std::int32_t>(first)), run.data(), n * blockSize);
    for (std::int64_t i = 0; i < n; ++i) {
      file.DecodeBlock(run.data() + i * blockSize, scratch);
      TBlockInfo& info = blocks[static_cast<std::size_t>(first + i)];
      info.Prev = scratch.Prev;
      info.Next = scratch.Next;
      info.Used = scratch.Used;
      info.Owner = scratch.Owner;
      info.TotalLength = scratch.TotalLength;
    }
  }
  auto inRange = [&](std::int64_t no) { return no >= 1 && no <= count; };

  // The free list.
  for (std::int64_t no = header.FirstFreeBlock; no != 0;) {
    if (!inRange(no)) {
      problems.push_back("the free list points outside the file at " + BlockText(no));
      break;
    }
    TBlockInfo& info = blocks[static_cast<std::size_t>(no)];
    if (info.State == TBlockState::Free) {
      problems.push_back("the free list loops at " + BlockText(no));
      break;
    }
    info.State = TBlockState::Free;
    no = info.Next;
  }

  // The chains, in record order.
  std::vector<TBlobReference> refs = references;
  std::sort(refs.begin(), refs.end(), [](const TBlobReference& a, const TBlobReference& b) {
    return a.RecordNo != b.RecordNo ? a.RecordNo < b.RecordNo : a.FieldNo < b.FieldNo;
  });
  for (const TBlobReference& ref : refs) {
    if (ref.FirstBlock == 0) continue;
    const std::string value = ValueText(ref);
    if (!inRange(ref.FirstBlock)) {
      problems.push_back(value + " refers to " + BlockText(ref.FirstBlock) + " outside the file");
      continue;
    }
    const TBlockInfo& head = blocks[static_cast<std::size_t>(ref.FirstBlock)];
    std::int64_t remaining = head.TotalLength;
    if (remaining <= 0) {
      problems.push_back(value + " has the length " + std::to_string(head.TotalLength));
      remaining = 0;
    }
    std::int64_t no = ref.FirstBlock;
    std::int64_t prev = 0;
    while (true) {
      TBlockInfo& info = blocks[static_cast<std::size_t>(no)];
      if (info.State == TBlockState::Free) {
        problems.push_back(value + " uses " + BlockText(no) + ", which is on the free list");
        break;
      }
      if (info.State == TBlockState::Chained) {
        problems.push_back(value + " uses " + BlockText(no) + ", which another chain uses");
        break;
      }
      info.State = TBlockState::Chained;
      if (info.Owner != ref.RecordNo) {
        problems.push_back(value + ": " + BlockText(no) + " belongs to record " +
                           std::to_string(info.Owner));
      }
      if (info.Prev != prev) {
        problems.push_back(value + ": " + BlockText(no) + " links back to " +
                           std::to_string(info.Prev) + " instead of " + std::to_string(prev));
      }
      if (no != ref.FirstBlock && info.TotalLength != 0) {
        problems.push_back(value + ": " + BlockText(no) + " carries a length but is not first");
      }
      std::int64_t take = std::min(capacity, remaining);
      if (info.Used != take) {
        problems.push_back(value + ": " + BlockText(no) + " uses " + std::to_string(info.Used) +
                           " bytes instead of " + std::to_string(take));
      }
      remaining -= take;
      if (remaining == 0) {
        if (info.Next != 0) {
          problems.push_back(value + ": the chain goes on after its length at " + BlockText(no));
        }
        break;
      }
      if (info.Next == 0) {
        problems.push_back(value + ": the chain ends " + std::to_string(remaining) +
                           " bytes early");
        break;
      }
      if (!inRange(info.Next)) {
        problems.push_back(value + ": " + BlockText(no) + " points outside the file");
        break;
      }
      prev = no;
      no = info.Next;
    }
  }

  // Blocks that nothing reaches.
  std::size_t lost = 0;
  for (std::int64_t no = 1; no <= count; ++no) {
    if (blocks[static_cast<std::size_t>(no)].State != TBlockState::Unseen) continue;
    if (++lost <= MaxLostBlocksListed) {
      problems.push_back(BlockText(no) + " is neither in a chain nor on the free list");
    }
  }
  if (lost > MaxLostBlocksListed) {
    problems.push_back(std::to_string(lost - MaxLostBlocksListed) + " more blocks are lost");
  }
  return problems;
}

}  // namespace zorvic::engine
