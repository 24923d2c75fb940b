#include "engine/storage/sessions/TableAccess.h"

#include "engine/EngineLimits.h"
#include "engine/storage/formats/Collation.h"
#include "engine/storage/formats/FieldValidation.h"
#include "engine/storage/formats/Record.h"

namespace zorvic::engine {

TTableAccess::TTableAccess(std::string directory, std::string table, bool inMemory)
    : FDirectory(std::move(directory)), FTable(std::move(table)), FInMemory(inMemory) {}

TTableAccess::~TTableAccess() {
  Close();
}

std::string TTableAccess::DataFileName() const {
  return MakeTableFileName(FDirectory, FTable, ".DAT");
}
std::string TTableAccess::BlobFileName() const {
  return MakeTableFileName(FDirectory, FTable, ".BLB");
}

const TCollation& TTableAccess::Collation() const {
  if (const TCollation* c = TCollation::Get(FData->LanguageId(), FData->SortId())) return *c;
  return TCollation::Binary();
}

void TTableAccess::SetCacheScale(std::int64_t factor) {
  FCacheScale = factor < 1 ? 1 : factor;
  if (FData) {
    TDataFileSettings settings = FData->Settings();
    settings.CacheBytes = RecordCacheBytes * FCacheScale;
    FData->SetSettings(settings);
  }
  if (FBlob) FBlob->SetCacheSettings(BlobCacheBytes * FCacheScale, CacheMaxUnits);
}

void TTableAccess::Create(const TTableDefinition& definition) {
  Close();
  TFileList& list = TFileList::Instance();
  if (list.Exists(DataFileName(), FInMemory)) RaiseTableError(VELDOR_TABLEEXISTS, FTable);
  FData = std::make_unique<TDataFile>(DataFileName(), FTable, FInMemory);
  bool created = false;
  try {
    // The definition is checked before any file is made.
    BuildTableHeader(definition, BuildFieldDescs(definition, FTable), FTable);
    created = true;
    FData->Create(definition);
    if (FData->BlobFieldCount() > 0) {
      FBlob = std::make_unique<TBlobFile>(BlobFileName(), FInMemory, FData->Header().BlobBlockSize,
                                          FData->Encrypted());
      FBlob->CreateFile();
    }
    SetCacheScale(FCacheScale);
  } catch (...) {
    FBlob.reset();
    FData.reset();
    if (created) {
      list.Delete(DataFileName(), FInMemory);
      list.Delete(BlobFileName(), FInMemory);
    }
    throw;
  }
}

void TTableAccess::Open(bool exclusive) {
  Close();
  FData = std::make_unique<TDataFile>(DataFileName(), FTable, FInMemory);
  try {
    FData->Open(exclusive);
    FData->Verify();
    if (FData->BlobFieldCount() > 0) {
      FBlob = std::make_unique<TBlobFile>(BlobFileName(), FInMemory, FData->Header().BlobBlockSize,
                                          FData->Encrypted());
      FBlob->Open(exclusive);
      FBlob->VerifyHeader();
    }
    SetCacheScale(FCacheScale);
  } catch (...) {
    FBlob.reset();
    FData.reset();
    throw;
  }
}

void TTableAccess::Close() {
  if (FBlob) FBlob->Close();
  if (FData) FData->Close();
  FBlob.reset();
  FData.reset();
  FWriteDepth = 0;
}

// ---- writes ----------------------------------------------------------------------------

void TTableAccess::BeginWrite() {
  if (FWriteDepth++ > 0) return;
  FData->Locks().TakeWriteLock();
  FData->BeginChange();
  if (FBlob) FBlob->BeginChange();
}

void TTableAccess::EndWrite() {
  if (--FWriteDepth > 0) return;
  try {
    if (FBlob) FBlob->EndChange();
    FData->EndChange();
    // Values before the records that refer to them, records before the header.
    if (FBlob) FBlob->Flush(FData->Settings().ForceBufferFlush);
    FData->Flush();
  } catch (...) {
    ++FWriteDepth;
    AbandonWrite();
    throw;
  }
  FData->Locks().ReleaseWriteLock();
}

void TTableAccess::AbandonWrite() noexcept {
  if (FWriteDepth > 0) --FWriteDepth;
  try {
    if (FBlob) {
      FBlob->EndChange();
      FBlob->DropCache();
      FBlob->ReadHeader();
    }
    FData->AbandonChange();
  } catch (...) {
    // The caches are dropped whatever happened; the next open re-reads the headers.
  }
  if (FWriteDepth == 0) FData->Locks().ReleaseWriteLock();
}

TTableAccess::TWriteBatch::TWriteBatch(TTableAccess& table) : FTable(table) {
  FTable.BeginWrite();
}

TTableAccess::TWriteBatch::~TWriteBatch() {
  if (!FDone) FTable.AbandonWrite();
}

void TTableAccess::TWriteBatch::Commit() {
  FDone = true;
  FTable.EndWrite();
}

// ---- records ---------------------------------------------------------------------------

bool TTableAccess::ReadRecord(std::int32_t recordNo, TRecordValues& values, bool readAhead) {
  TRecord* record = nullptr;
  for (int attempt = 0; !record; ++attempt) {
    record = FData->GetRecord(recordNo, readAhead);
    if (!record && attempt > 100) RaiseTableError(VELDOR_LOCKTIMEOUT, FTable);
  }
  const std::vector<std::uint8_t> bytes(record->Bytes(), record->Bytes() + record->Size());
  FData->ReleaseRecord(record);
  if (RecStatus(bytes.data()) != kRecActive) return false;
  values.assign(FData->FieldCount(), TFieldValue{});
  for (const TFieldDesc& f : FData->Fields()) {
    TFieldValue& v = values[f.FieldNo - 1];
    if (IsFieldNull(f, bytes.data())) continue;
    v.IsNull = false;
    if (f.DataType == ftString) {
      v.Bytes = ReadStringField(f, bytes.data());
    } else if (f.IsBlob()) {
      const std::int32_t first = ReadBlobField(f, bytes.data());
      if (!FBlob) RaiseTableError(VELDOR_MEMOCORRUPT, FTable);
      const std::vector<std::uint8_t> value = FBlob->ReadValue(first, recordNo);
      v.Bytes.assign(value.begin(), value.end());
    } else {
      v.Bytes.resize(f.ValueSize());
      ReadFieldBytes(f, bytes.data(), reinterpret_cast<std::uint8_t*>(v.Bytes.data()));
    }
  }
  return true;
}

std::vector<std::uint8_t> TTableAccess::BuildImage(const TRecordValues& values,
                                                   std::int32_t* suppliedRowId) {
  const std::vector<TFieldDesc>& fields = FData->Fields();
  if (values.size() != fields.size())
    RaiseFieldError(VELDOR_OUTOFRANGE, std::to_string(values.size() + 1), FTable);
  std::vector<std::uint8_t> image(FData->RecordSize(), 0);
  *suppliedRowId = 0;
  for (const TFieldDesc& f : fields) {
    const TFieldValue& v = values[f.FieldNo - 1];
    if (f.IsAutoInc()) {
      if (!v.IsNull) {
        if (v.Bytes.size() != 4) RaiseFieldError(VELDOR_INVALIDFLDTYPE, f.Name(), FTable);
        *suppliedRowId = GetI32(reinterpret_cast<const std::uint8_t*>(v.Bytes.data()));
        if (*suppliedRowId <= 0) RaiseFieldError(VELDOR_MINVALERR, f.Name(), FTable);
        SetRecRowId(image.data(), *suppliedRowId);
      }
      continue;
    }
    if (v.IsNull) continue;
    if (f.DataType == ftString) {
      WriteStringField(f, image.data(), v.Bytes,
                       CaseCollationFor(FData->LanguageId(), FData->SortId()));
    } else if (f.IsBlob()) {
      WriteBlobField(f, image.data(), v.Bytes.empty() ? 0 : -1);  // the chain comes later
    } else {
      if (v.Bytes.size() != f.PhysSize) RaiseFieldError(VELDOR_INVALIDFLDTYPE, f.Name(), FTable);
      WriteFieldBytes(f, image.data(), reinterpret_cast<const std::uint8_t*>(v.Bytes.data()));
    }
  }
  CheckRecordConstraints(fields, image.data(), Collation(), FTable);
  return image;
}

void TTableAccess::CheckValues(const TRecordValues& values) {
  std::int32_t rowId = 0;
  BuildImage(values, &rowId);
}

std::int32_t TTableAccess::Insert(const TRecordValues& values, bool hasPrimaryIndex) {
  const std::vector<TFieldDesc>& fields = FData->Fields();
  // The record image is built and checked before anything in the files changes.
  std::int32_t suppliedRowId = 0;
  const std::vector<std::uint8_t> image = BuildImage(values, &suppliedRowId);

  BeginWrite();
  std::int32_t recordNo = 0;
  try {
    TRecord* record = FData->AllocateRecord(hasPrimaryIndex, suppliedRowId);
    recordNo = record->RecordNo();
    std::copy(image.begin() + kRecordHeaderSize, image.end(), record->Bytes() + kRecordHeaderSize);
    for (const TFieldDesc& f : fields) {
      const TFieldValue& v = values[f.FieldNo - 1];
      if (!f.IsBlob() || v.IsNull || v.Bytes.empty()) continue;
      if (!FBlob) RaiseTableError(VELDOR_MEMOCORRUPT, FTable);
      const std::int32_t first =
          FBlob->WriteValue(recordNo, v.Bytes.data(), static_cast<std::int64_t>(v.Bytes.size()), 0);
      WriteBlobField(f, record->Bytes(), first);
    }
    FData->MarkRecordModified(record);
    FData->ReleaseRecord(record);
  } catch (...) {
    AbandonWrite();
    throw;
  }
  EndWrite();
  return recordNo;
}

void TTableAccess::Delete(std::int32_t recordNo, bool hasPrimaryIndex) {
  BeginWrite();
  try {
    TRecord* record = FData->GetRecord(recordNo, false);
    if (!record) RaiseTableError(VELDOR_KEYORRECDELETED, FTable);
    const bool active = RecStatus(record->Bytes()) == kRecActive;
    std::vector<std::int32_t> chains;
    for (const TFieldDesc& f : FData->Fields()) {
      if (f.IsBlob() && active) {
        if (const std::int32_t first = ReadBlobField(f, record->Bytes())) chains.push_back(first);
      }
    }
    FData->ReleaseRecord(record);
    if (!active) RaiseTableError(VELDOR_KEYORRECDELETED, FTable);
    if (FBlob && !chains.empty()) FBlob->FreeRecordChains(recordNo, chains);
    FData->DeleteRecord(recordNo, hasPrimaryIndex);
  } catch (...) {
    AbandonWrite();
    throw;
  }
  EndWrite();
}

// ---- checks ----------------------------------------------------------------------------

std::vector<std::string> TTableAccess::Check() {
  std::vector<std::string> problems = FData->CheckFile();
  if (!FBlob) return problems;
  for (const std::string& p : problems)
    if (p.rfind("descriptors:", 0) == 0 || p.rfind("header:", 0) == 0) return problems;
  try {
    FBlob->VerifyHeader();
  } catch (const EVELDOREngineError& e) {
    problems.push_back(std::string("BLOB header: ") + e.what());
    return problems;
  }
  std::vector<TBlobReference> references;
  for (std::int32_t n = 1; n <= FData->PhysicalRecordCount(); ++n) {
    TRecord* record = FData->GetRecord(n);
    if (!record) break;
    if (RecStatus(record->Bytes()) == kRecActive) {
      for (const TFieldDesc& f : FData->Fields()) {
        if (!f.IsBlob()) continue;
        if (const std::int32_t first = ReadBlobField(f, record->Bytes()))
          references.push_back(TBlobReference{n, f.FieldNo, first});
      }
    }
    FData->ReleaseRecord(record);
  }
  for (std::string& p : VerifyBlobFile(*FBlob, references))
    problems.push_back(std::move(p));
  return problems;
}

std::int64_t TTableAccess::TrailingBytes() {
  const std::int64_t expected =
      FData->HeaderBytes() +
      static_cast<std::int64_t>(FData->PhysicalRecordCount()) * FData->RecordSize();
  return FData->FileSize() - expected;
}

}  // namespace zorvic::engine
