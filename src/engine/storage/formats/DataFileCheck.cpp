// The whole-file consistency check of a data file (the table tool's verify).
#include <vector>

#include "engine/storage/formats/Collation.h"
#include "engine/storage/formats/DataFile.h"
#include "engine/storage/formats/Record.h"

namespace zorvic::engine {

std::vector<std::string> TDataFile::CheckFile() {
  RequireOpen();
  std::vector<std::string> problems;
  const auto add = [&problems](std::string text) { problems.push_back(std::move(text)); };
  if (FHeader.FormatVersion != kDataFormatVersion) add("header: format version is not 5");
  if ((FHeader.LocaleLanguage != 0 || FHeader.LocaleSort != 0) &&
      !IsInstalledCollation(FHeader.LocaleLanguage, FHeader.LocaleSort))
    add("header: collation is not installed");
  if (const std::string bad = CheckFieldDescs(FHeader, FFields); !bad.empty()) {
    add("descriptors: " + bad);
    return problems;  // records cannot be read without sound descriptors
  }
  const std::int32_t slots = FHeader.NextRecordNo - 1;
  if (slots < 0) {
    add("header: NextRecordNo below 1");
    return problems;
  }
  const std::int64_t size = FileSize();
  if (size < ExpectedFileSize()) {
    add("header: NextRecordNo " + std::to_string(FHeader.NextRecordNo) + " needs " +
        std::to_string(ExpectedFileSize()) + " bytes but the file holds " + std::to_string(size));
    return problems;
  }
  if (FHeader.FirstDeleted < 0 || FHeader.FirstDeleted > slots)
    add("header: FirstDeleted " + std::to_string(FHeader.FirstDeleted) + " outside the file");

  std::vector<std::uint8_t> status(static_cast<std::size_t>(slots) + 1, 0);
  for (std::int32_t n = 1; n <= slots; ++n) {
    TRecord* record = nullptr;
    try {
      record = GetRecord(n);
    } catch (const EVELDOREngineError& e) {
      add("record " + std::to_string(n) + ": " + e.what());
      return problems;
    }
    if (!record) {
      add("record " + std::to_string(n) + ": table changed while checking");
      return problems;
    }
    const std::uint8_t* bytes = record->Bytes();
    status[static_cast<std::size_t>(n)] = RecStatus(bytes);
    const std::string where = "record " + std::to_string(n) + ": ";
    if (RecStatus(bytes) > kRecDeleted) {
      add(where + "status byte is neither 0 nor 1");
    } else if (RecStatus(bytes) == kRecActive) {
      const std::int32_t rowId = RecRowId(bytes);
      if (rowId < 1 || rowId > FHeader.LastAutoInc)
        add(where + "RowId " + std::to_string(rowId) + " outside 1.." +
            std::to_string(FHeader.LastAutoInc));
      for (const TFieldDesc& f : FFields) {
        std::string why;
        if (!CheckStoredField(f, bytes, &why)) add(where + "field " + f.Name() + ": " + why);
      }
    }
    ReleaseRecord(record);
    if (problems.size() > 1000) {
      add("too many problems; checking stopped");
      return problems;
    }
  }

  // The deleted-slot chain: in range, deleted slots only, no cycle.
  std::vector<bool> seen(static_cast<std::size_t>(slots) + 1, false);
  std::int32_t n = FHeader.FirstDeleted;
  while (n != 0 && n >= 1 && n <= slots) {
    if (seen[static_cast<std::size_t>(n)]) {
      add("deleted-slot chain: cycle at record " + std::to_string(n));
      break;
    }
    seen[static_cast<std::size_t>(n)] = true;
    if (status[static_cast<std::size_t>(n)] != kRecDeleted) {
      add("deleted-slot chain: record " + std::to_string(n) + " is not deleted");
      break;
    }
    TRecord* record = GetRecord(n, false);
    if (!record) break;
    const std::int32_t next = RecLink(record->Bytes());
    ReleaseRecord(record);
    if (next < 0 || next > slots) {
      add("deleted-slot chain: record " + std::to_string(n) + " links to " + std::to_string(next) +
          ", outside the file");
      break;
    }
    n = next;
  }
  return problems;
}

}  // namespace zorvic::engine
