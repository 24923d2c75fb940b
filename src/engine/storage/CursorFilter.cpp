// TDataCursor: filters and the bitmap of the records that pass them.
#include <mutex>

#include "engine/storage/CursorOperation.h"
#include "engine/storage/FileLayer.h"
#include "engine/storage/Record.h"

namespace zorvic::engine {
namespace {

[[noreturn]] void RaiseFilterError(const std::string& table, const std::string& text) {
  TErrorTexts texts;
  texts.Table = table;
  texts.Text = text;
  RaiseEngineError(VELDOR_INVALIDFILTER, texts);
}

}  // namespace

// Declared in CursorOpen.cpp.
TFilterCompiler CurrentFilterCompiler();

TDataCursor::TFilter* TDataCursor::FindFilter(int handle) {
  for (TFilter& f : FFilters)
    if (f.Handle == handle) return &f;
  return nullptr;
}

int TDataCursor::AddFilter(TRecordFilter callback) {
  RequireOpen();
  if (!callback) RaiseFilterError(FTable->Name(), "filter expression is invalid");
  if (static_cast<int>(FFilters.size()) >= kMaxFilters) Raise(VELDOR_INTERNALLIMIT);
  TFilter f;
  f.Handle = FNextFilterHandle++;
  f.Callback = std::move(callback);
  FFilters.push_back(std::move(f));
  FiltersChanged();
  return FFilters.back().Handle;
}

int TDataCursor::AddFilter(const std::string& expression) {
  RequireOpen();
  if (NormalizeFileName(expression).empty())
    RaiseFilterError(FTable->Name(), "filter expression is empty");
  if (static_cast<int>(FFilters.size()) >= kMaxFilters) Raise(VELDOR_INTERNALLIMIT);
  TFilterCompiler compiler = CurrentFilterCompiler();
  if (!compiler) RaiseFilterError(FTable->Name(), "filter expressions are not available");
  std::unique_ptr<TFilterExpression> compiled = compiler(expression, *this);
  if (!compiled) RaiseFilterError(FTable->Name(), "filter expression is invalid");
  TFilter f;
  f.Handle = FNextFilterHandle++;
  f.Expression = std::move(compiled);
  FFilters.push_back(std::move(f));
  FiltersChanged();
  return FFilters.back().Handle;
}

void TDataCursor::DropFilter(int handle) {
  RequireOpen();
  for (auto it = FFilters.begin(); it != FFilters.end(); ++it) {
    if (it->Handle == handle) {
      FFilters.erase(it);
      FiltersChanged();
      return;
    }
  }
  Raise(VELDOR_NOSUCHFILTER);
}

void TDataCursor::DropAllFilters() {
  RequireOpen();
  FFilters.clear();
  FiltersChanged();
}

void TDataCursor::ActivateFilter(int handle) {
  RequireOpen();
  TFilter* f = FindFilter(handle);
  if (!f) Raise(VELDOR_NOSUCHFILTER);
  if (f->Active) return;
  f->Active = true;
  FiltersChanged();
}

void TDataCursor::DeactivateFilter(int handle) {
  RequireOpen();
  TFilter* f = FindFilter(handle);
  if (!f) Raise(VELDOR_NOSUCHFILTER);
  if (!f->Active) return;
  f->Active = false;
  FiltersChanged();
}

int TDataCursor::FilterOptimisationLevel() const {
  int level = 2;
  bool any = false;
  for (const TFilter& f : FFilters) {
    if (!f.Active) continue;
    any = true;
    level = std::min(level, f.Expression ? f.Expression->OptimisationLevel() : 0);
  }
  return any ? level : 0;
}

void TDataCursor::FiltersChanged() {
  bool active = false;
  for (const TFilter& f : FFilters)
    active = active || f.Active;
  FFiltered = active;
  if (!active) {
    FFilterBits.ClearAll();
    return;
  }
  Run([&] {
    RebuildFilterBits();
    // A record that does not pass is left: the cursor stays in its gap.
    if (FPos.State == TState::OnRecord && !Passes(FPos.RecordNo)) {
      FPos.State = TState::Between;
      FPos.StepValid = false;
      FHaveRecord = false;
    }
    return 0;
  });
}

void TDataCursor::RebuildFilterBits() {
  std::unique_ptr<TRecordsBitmap> bits = FBitmapPool.Take(FTable->Data().PhysicalRecordCount() + 1);
  const TRecordsBitmap active = FTable->ActiveRecords();
  std::vector<std::uint8_t> record(FTable->Data().RecordSize());
  for (std::int64_t n = active.First(); n != TRecordsBitmap::kNone; n = active.Next(n)) {
    ReadRecordInto(static_cast<std::int32_t>(n), record.data());
    bool pass = true;
    for (TFilter& f : FFilters) {
      if (!f.Active) continue;
      pass = f.Expression ? f.Expression->Matches(record.data()) : f.Callback(record.data());
      if (!pass) break;
    }
    if (pass) bits->Set(n);
  }
  std::swap(FFilterBits, *bits);
  FBitmapPool.Give(std::move(bits));
  FFilterEpoch = FTable->Epoch();
}

void TDataCursor::RetestRecord(std::int32_t recordNo, const std::uint8_t* record) {
  if (!FFiltered) return;
  bool pass = true;
  for (TFilter& f : FFilters) {
    if (!f.Active) continue;
    pass = f.Expression ? f.Expression->Matches(record) : f.Callback(record);
    if (!pass) break;
  }
  FFilterBits.Assign(recordNo, pass);
}

}  // namespace zorvic::engine
