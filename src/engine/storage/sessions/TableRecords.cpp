#include "engine/storage/sessions/TableRecords.h"

#include <cstring>
#include <utility>

#include "engine/storage/EngineError.h"
#include "engine/storage/formats/Record.h"

namespace zorvic::engine {

std::vector<TIndexFieldInfo> IndexFieldsOf(const std::vector<TFieldDesc>& fields) {
  std::vector<TIndexFieldInfo> out;
  out.reserve(fields.size());
  for (const TFieldDesc& f : fields) {
    TIndexFieldInfo info;
    info.FieldNo = f.FieldNo;
    info.DataType = f.DataType;
    info.SubType = f.SubType;
    info.PhysSize = f.PhysSize;
    info.Offset = f.FieldOffset;
    info.Name = f.Name();
    out.push_back(std::move(info));
  }
  return out;
}

const std::uint8_t* TDataFileRecords::Record(std::int32_t recordNo) {
  TRecord* r = FData.GetRecord(recordNo);
  if (!r) RaiseTableError(VELDOR_LOCKTIMEOUT, FData.TableName());
  std::memcpy(FBytes.data(), r->Bytes(), FBytes.size());
  FData.ReleaseRecord(r);
  return FBytes.data();
}

}  // namespace zorvic::engine
