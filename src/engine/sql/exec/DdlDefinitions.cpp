#include "engine/sql/exec/DdlDefinitions.h"

#include "engine/EngineLimits.h"
#include "engine/storage/EngineError.h"
#include "engine/storage/formats/IndexFile.h"

namespace zorvic::engine {
namespace {

std::string Cut(const std::string& text, std::size_t limit) {
  return text.size() > limit ? text.substr(0, limit) : text;
}

bool TakesSize(TDataType type) {
  return type == dtString || type == dtBytes;
}

TIndexDefinition IndexOfDescriptor(const TIndexDescriptor& d) {
  TIndexDefinition def;
  def.Name = d.IndexName;
  for (int i = 0; i < d.KeyFieldCount && i < MaxIndexKeyFields; ++i) {
    def.Fields.push_back(d.KeyFields[static_cast<std::size_t>(i)]);
    def.FieldDescending.push_back(d.FieldDescending[static_cast<std::size_t>(i)] != 0);
  }
  def.Unique = d.Unique;
  def.Descending = d.Descending;
  def.NoCase = d.NoCase;
  def.Compression = d.Compression;
  return def;
}

}  // namespace

TFieldDefinition FieldDefinitionOf(const TCreateField& column) {
  TFieldDefinition f;
  f.Name = Cut(column.Name, 30);
  f.Description = Cut(column.Description, 50);
  f.DataType = static_cast<std::uint8_t>(column.DataType);
  f.SubType = static_cast<std::uint8_t>(column.SubType);
  f.Size = TakesSize(column.DataType) ? static_cast<std::uint32_t>(column.Size) : 0;
  f.Scale = column.DataType == dtBCD ? static_cast<std::uint32_t>(column.Scale) : 0;
  f.Required = column.NotNull;
  f.CharCase = static_cast<std::uint8_t>(column.CharCase);
  f.DefaultValue = Cut(column.DefaultText, 50);
  f.MinValue = Cut(column.MinText, 50);
  f.MaxValue = Cut(column.MaxText, 50);
  return f;
}

TIndexDefinition IndexDefinitionOf(const TCreateIndex& index) {
  TIndexDefinition def;
  def.Name = index.PrimaryKey ? std::string() : Cut(index.Name, 30);
  for (int no : index.FieldNumbers)
    def.Fields.push_back(static_cast<std::uint16_t>(no));
  def.Unique = index.Unique || index.PrimaryKey;
  def.Descending = index.Descending;
  def.NoCase = index.NoCase;
  def.Compression = static_cast<std::uint8_t>(index.Compression);
  return def;
}

TTableLayout TableDefinitionOf(TDataTable& table) {
  TTableLayout layout;
  TTableDefinition& def = layout.Creation.Table;
  TDataFile& data = table.Data();
  for (const TFieldDesc& d : data.Fields()) {
    TFieldDefinition f;
    f.Name = d.Name();
    f.Description = d.FieldDescription.Text();
    f.DataType = d.DataType;
    f.SubType = d.SubType;
    f.Size = (d.DataType == ftString || d.DataType == ftBytes) ? d.FieldSize : 0;
    f.Scale = d.DataType == ftBCD ? d.FieldScale : 0;
    f.Required = d.Required != 0;
    f.CharCase = d.CharCase;
    f.MinValue = d.MinValue.Text();
    f.MaxValue = d.MaxValue.Text();
    f.DefaultValue = d.DefaultValue.Text();
    def.Fields.push_back(f);
    layout.SourceFields.push_back(d.FieldNo);
  }
  const TTableHeader& h = data.Header();
  def.LanguageId = h.LocaleLanguage;
  def.SortId = h.LocaleSort;
  def.BlobBlockSize = h.EffectiveBlobBlockSize();
  def.Description = h.Description();
  def.Encrypted = h.Encrypted != 0;
  def.Password = def.Encrypted ? h.Password() : std::string();
  def.UserMajorVersion = h.UserMajorVersion;
  def.UserMinorVersion = h.UserMinorVersion;
  def.LastAutoInc = h.LastAutoInc;

  TIndexFile& index = table.Index();
  const TIndexHeader& ih = index.Header();
  if (table.HasPrimaryIndex()) layout.Creation.Primary = IndexOfDescriptor(ih.Descriptor(0));
  for (int slot = 1; slot <= ih.SecondaryCount(); ++slot)
    layout.Creation.Secondary.push_back(IndexOfDescriptor(ih.Descriptor(slot)));
  return layout;
}

std::shared_ptr<TTableSchema> SchemaOfTable(TDataTable& table) {
  auto schema = std::make_shared<TTableSchema>();
  schema->Name = table.Name();
  for (const TFieldDesc& d : table.Data().Fields()) {
    TSchemaField f;
    f.Name = d.Name();
    f.DataType = d.DataType;
    f.SubType = d.SubType;
    f.Size = (d.DataType == ftString || d.DataType == ftBytes) ? d.FieldSize : 0;
    f.Scale = d.DataType == ftBCD ? d.FieldScale : 0;
    f.Required = d.Required != 0;
    schema->Fields.push_back(f);
  }
  schema->HasPrimaryKey = table.HasPrimaryIndex();
  const TIndexHeader& ih = table.Index().Header();
  for (int slot = 1; slot <= ih.SecondaryCount(); ++slot)
    schema->IndexNames.push_back(ih.Descriptor(slot).IndexName);
  return schema;
}

}  // namespace zorvic::engine
