// The compiler of expression-text filters (a table component's Filter, TDataCursor::AddFilter).
#include <mutex>

#include "engine/sql/SchemaSource.h"
#include "engine/sql/bind/Binder.h"
#include "engine/sql/bind/StatementBinder.h"
#include "engine/sql/filter/ConditionFilter.h"
#include "engine/sql/filter/IndexAnalysis.h"
#include "engine/sql/parse/ExpressionParser.h"
#include "engine/sql/parse/Lexer.h"
#include "engine/storage/EngineError.h"
#include "engine/storage/cursors/DataCursor.h"
#include "engine/storage/formats/Collation.h"
#include "engine/storage/formats/FieldDefs.h"
#include "engine/storage/formats/ValueText.h"

namespace zorvic::engine {
namespace {

constexpr const char* kFilterContext = "filter expression";

[[noreturn]] void RaiseFilterError(const std::string& table, const std::string& text) {
  TErrorTexts texts;
  texts.Table = table;
  texts.Text = text;
  RaiseEngineError(VELDOR_INVALIDFILTER, texts);
}

// Names in a filter are the fields of the cursor's table, optionally qualified by the table's
// name; a column node carries the field number.
class TFieldResolver : public ColumnResolver {
 public:
  explicit TFieldResolver(TDataCursor& cursor) : FCursor(cursor) {}

  TResolveResult ResolveColumn(std::string_view correlation, std::string_view column,
                               TColumnInfo& info) override {
    if (!correlation.empty() && !SameTextIgnoringCase(correlation, FCursor.TableName()))
      return TResolveResult::NotFound;
    const TFieldDesc* field = FCursor.FindField(std::string(column));
    if (!field) return TResolveResult::NotFound;
    TSchemaField schema;
    schema.Name = field->Name();
    schema.DataType = field->DataType;
    schema.SubType = field->SubType;
    schema.Size = field->FieldSize;
    schema.Scale = field->FieldScale;
    info.SourceTable = &FCursor;
    info.FieldNumber = field->FieldNo;
    info.CorrelationName = FCursor.TableName();
    info.ColumnName = schema.Name;
    info.DataType = static_cast<TDataType>(schema.DataType);
    info.SubType = static_cast<TSubType>(schema.SubType);
    info.Size = ExpressionSizeOf(schema);
    info.Scale = schema.Scale;
    return TResolveResult::Found;
  }

 private:
  TDataCursor& FCursor;
};

}  // namespace

TExpTokenPtr CompileFilterCondition(TDataCursor& cursor, const std::string& text) {
  const std::string table = cursor.TableName();
  TExpressionParser lexer;
  lexer.ErrorCode = VELDOR_INVALIDFILTER;
  lexer.ErrorTableName = table;
  lexer.SetParseContext(kFilterContext);
  lexer.Load(text);
  if (lexer.Next() == tkEnd) RaiseFilterError(table, "filter expression is empty");
  TExpTokenPtr tree = ParseExpressionText(lexer, text, efExtendedPredicates, kFilterContext);
  if (!tree) RaiseFilterError(table, "filter expression is empty");

  TFieldResolver resolver(cursor);
  TBindOptions options;
  options.ErrorCode = VELDOR_INVALIDFILTER;
  options.ErrorTableName = table;
  options.Context = kFilterContext;
  options.BooleanRewrite = true;
  Bind(tree, resolver, options);
  if (!tree || tree->DataType != dtBoolean)
    RaiseFilterError(table, "filter expression must be a boolean expression");

  TEvalContext context;
  context.LanguageId = cursor.Collation().LanguageId();
  context.SortId = cursor.Collation().SortId();
  TExpTokenPtr prepared;
  try {
    prepared =
        PrepareCondition(*tree, /*noPartialCompare=*/false, /*caseInsensitive=*/false, context);
  } catch (const EConvertError& e) {
    RaiseFilterError(table, e.what());
  }
  return prepared;
}

namespace {

std::unique_ptr<TFilterExpression> CompileExpressionFilter(const std::string& text,
                                                           TDataCursor& cursor) {
  TExpTokenPtr prepared = CompileFilterCondition(cursor, text);
  TEvalContext context;
  context.LanguageId = cursor.Collation().LanguageId();
  context.SortId = cursor.Collation().SortId();
  return filter::MakeConditionFilter(cursor, std::move(prepared), context, {});
}

}  // namespace

void InstallExpressionFilters() {
  static std::once_flag once;
  std::call_once(once, [] { TDataCursor::SetFilterCompiler(CompileExpressionFilter); });
}

}  // namespace zorvic::engine
