#include "engine/sql/parse/ExpToken.h"

#include <algorithm>

#include "engine/EngineLimits.h"

namespace zorvic::engine {

// --- value cell ---------------------------------------------------------------------------

std::uint8_t* TExpToken::ReserveValue(std::size_t length) {
  // One spare byte keeps every value NUL-terminated, so a String can be read as text even
  // when a caller forgot the terminator.
  if (Value_.size() < length + 1) Value_.resize(length + 1);
  Value_[length] = 0;
  ValueLength_ = length;
  return Value_.data();
}

void TExpToken::SetNullValue() {
  DataType = dtNull;
  SubType = stNone;
  Size = 0;
  Scale = 0;
  IsNull = true;
  ValueLength_ = 0;
}

void TExpToken::SetStringValue(std::string_view text) {
  std::uint8_t* data = ReserveValue(text.size() + 1);
  if (!text.empty()) std::memcpy(data, text.data(), text.size());
  data[text.size()] = 0;
  IsNull = false;
}

std::string_view TExpToken::StringValue() const {
  if (ValueLength_ == 0) return {};
  const char* data = reinterpret_cast<const char*>(Value_.data());
  return std::string_view(data, strnlen(data, ValueLength_));
}

void TExpToken::SetBytesValue(const void* data, std::size_t length) {
  std::uint8_t* target = ReserveValue(length);
  if (length != 0) std::memcpy(target, data, length);
  IsNull = false;
}

void TExpToken::ReleaseValue() {
  std::vector<std::uint8_t>().swap(Value_);
  ValueLength_ = 0;
}

void TExpToken::SetBooleanConstant(bool value) {
  DataType = dtBoolean;
  Size = BooleanSize;
  SetScalar<std::int16_t>(value ? 1 : 0);
}

void TExpToken::SetIntegerConstant(std::int32_t value) {
  DataType = dtInteger;
  Size = 4;
  SetScalar(value);
}

void TExpToken::SetLargeIntConstant(std::int64_t value) {
  DataType = dtLargeInt;
  Size = 8;
  SetScalar(value);
}

void TExpToken::SetFloatConstant(double value) {
  DataType = dtFloat;
  Size = 8;
  SetScalar(value);
}

void TExpToken::SetStringConstant(std::string_view text) {
  DataType = dtString;
  Size = static_cast<std::int32_t>(text.size() + 1);
  SetStringValue(text);
}

void TExpToken::SetDateConstant(std::int32_t days) {
  DataType = dtDate;
  Size = 4;
  SetScalar(days);
}

void TExpToken::SetTimeConstant(std::int32_t milliseconds) {
  DataType = dtTime;
  Size = 4;
  SetScalar(milliseconds);
}

void TExpToken::SetTimeStampConstant(double milliseconds) {
  DataType = dtTimeStamp;
  Size = 8;
  SetScalar(milliseconds);
}

void TExpToken::Clear() {
  Text.clear();
  NodeClass = ncNone;
  OperatorCode = opNone;
  CorrelationName.clear();
  ColumnName.clear();
  FieldNumber = -1;
  SourceTable = nullptr;
  SubSelect = nullptr;
  DataType = dtNull;
  SubType = stNone;
  Size = 0;
  Scale = 0;
  IsNull = false;
  IsParameter = false;
  DoubleQuoted = false;
  WasString = false;
  SavedDataType = dtNull;
  SavedSubType = stNone;
  SavedSize = 0;
  SavedScale = 0;
  PrefixLength = 0;
  CaseInsensitive = false;
  Left.reset();
  Right.reset();
  Arguments.clear();
  Parent = nullptr;
  Height = 1;
  ValueLength_ = 0;
}

// --- pool -----------------------------------------------------------------------------------

TExpTokenStack& TExpTokenStack::Instance() {
  // Never destroyed: nodes may be given back by threads still running at process exit.
  static TExpTokenStack* const stack = new TExpTokenStack;
  return *stack;
}

TExpTokenPtr TExpTokenStack::Take() {
  TExpToken* node = nullptr;
  {
    std::lock_guard<std::mutex> guard(Lock_);
    if (!Free_.empty()) {
      node = Free_.back();
      Free_.pop_back();
    }
  }
  if (node == nullptr) node = new TExpToken;
  return TExpTokenPtr(node);
}

void TExpTokenStack::Give(TExpToken* node) noexcept {
  node->Clear();
  {
    std::lock_guard<std::mutex> guard(Lock_);
    if (Free_.size() < ExpTokenPoolCapacity) {
      if (Free_.capacity() < ExpTokenPoolCapacity) Free_.reserve(ExpTokenPoolCapacity);
      Free_.push_back(node);
      return;
    }
  }
  delete node;
}

std::size_t TExpTokenStack::FreeCount() {
  std::lock_guard<std::mutex> guard(Lock_);
  return Free_.size();
}

void TExpTokenReturn::operator()(TExpToken* root) const noexcept {
  if (root == nullptr) return;
  // A leaf (most values of evaluation) goes straight back.
  if (!root->Left && !root->Right && root->Arguments.empty()) {
    TExpTokenStack::Instance().Give(root);
    return;
  }
  // Depth-first without recursion: release each node's operands onto a work list before the
  // node goes back, so no destructor ever recurses into a subtree.
  std::vector<TExpToken*> work;
  work.push_back(root);
  while (!work.empty()) {
    TExpToken* node = work.back();
    work.pop_back();
    if (node == nullptr) continue;
    for (auto it = node->Arguments.rbegin(); it != node->Arguments.rend(); ++it) {
      work.push_back(it->release());
    }
    node->Arguments.clear();
    work.push_back(node->Right.release());
    work.push_back(node->Left.release());
    TExpTokenStack::Instance().Give(node);
  }
}

// --- trees ----------------------------------------------------------------------------------

void UpdateHeight(TExpToken& node) {
  int height = 0;
  if (node.Left) height = std::max(height, node.Left->Height);
  if (node.Right) height = std::max(height, node.Right->Height);
  for (const TExpTokenPtr& argument : node.Arguments) {
    if (argument) height = std::max(height, argument->Height);
  }
  node.Height = height + 1;
}

void AssignExpTree(TExpTokenPtr& slot, const TExpToken& node) {
  if (!slot) slot = NewExpToken();
  TExpToken& copy = *slot;
  copy.Text = node.Text;
  copy.NodeClass = node.NodeClass;
  copy.OperatorCode = node.OperatorCode;
  copy.CorrelationName = node.CorrelationName;
  copy.ColumnName = node.ColumnName;
  copy.FieldNumber = node.FieldNumber;
  copy.SourceTable = node.SourceTable;
  copy.SubSelect = node.SubSelect;
  copy.DataType = node.DataType;
  copy.SubType = node.SubType;
  copy.Size = node.Size;
  copy.Scale = node.Scale;
  copy.IsParameter = node.IsParameter;
  copy.DoubleQuoted = node.DoubleQuoted;
  copy.WasString = node.WasString;
  copy.SavedDataType = node.SavedDataType;
  copy.SavedSubType = node.SavedSubType;
  copy.SavedSize = node.SavedSize;
  copy.SavedScale = node.SavedScale;
  copy.PrefixLength = node.PrefixLength;
  copy.CaseInsensitive = node.CaseInsensitive;
  copy.Height = node.Height;
  copy.Parent = nullptr;
  copy.SetBytesValue(node.ValueData(), node.ValueLength());
  copy.IsNull = node.IsNull;
  auto operand = [&copy](TExpTokenPtr& to, const TExpTokenPtr& from) {
    if (!from) {
      to.reset();
      return;
    }
    AssignExpTree(to, *from);
    to->Parent = &copy;
  };
  operand(copy.Left, node.Left);
  operand(copy.Right, node.Right);
  copy.Arguments.resize(node.Arguments.size());
  for (std::size_t i = 0; i < node.Arguments.size(); ++i)
    operand(copy.Arguments[i], node.Arguments[i]);
}

TExpTokenPtr CopyExpTree(const TExpToken& node) {
  TExpTokenPtr copy;
  AssignExpTree(copy, node);
  return copy;
}

}  // namespace zorvic::engine
