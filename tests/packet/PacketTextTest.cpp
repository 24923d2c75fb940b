// The packet's text: the exact bytes clients parse, the escapes, and reading it back.
#include "packet/PacketTestSupport.h"

namespace zorvic::testing {
namespace {

cLiteXMLPacket Packet(std::vector<std::pair<std::string, std::string>> fields,
                      std::vector<std::vector<std::string>> rows) {
  cLiteXMLPacket p;
  p.SetDimensions(fields.size(), rows.size());
  for (std::size_t j = 0; j < fields.size(); ++j)
    p.SetField(j, fields[j].first, fields[j].second);
  for (std::size_t r = 0; r < rows.size(); ++r)
    for (std::size_t j = 0; j < fields.size(); ++j)
      p.SetValue(r, j, rows[r][j]);
  return p;
}

TEST(PacketTextTest, IniSectionPacketHasTheExactBytes) {
  TFakeIni ini;
  ini.WriteString("ServerOptions", "SMTPServer", "mail.local");
  ini.WriteString("ServerOptions", "EnableLogging", "1");
  ini.WriteString("Other", "X", "y");
  cLiteXMLPacket p;
  p.LoadFromIniSection(ini, "ServerOptions");
  EXPECT_EQ(p.GetXml(),
            "<?xml version=\"1.0\" standalone=\"yes\" ?><LiteDataPacket version=\"1.0\">"
            "<metadata><field name=\"SMTPServer\" type=\"string\" />"
            "<field name=\"EnableLogging\" type=\"string\" /></metadata>"
            "<data><row SMTPServer=\"mail.local\" EnableLogging=\"1\" /></data>"
            "</LiteDataPacket>");
  ASSERT_EQ(p.FieldCount(), 2u);
  EXPECT_EQ(p.GetValue("EnableLogging", 0, "?"), "1");
}

TEST(PacketTextTest, EmptySectionGivesEmptyMetadataAndOneEmptyRow) {
  TFakeIni ini;
  cLiteXMLPacket p;
  p.LoadFromIniSection(ini, "ServerOptions");
  EXPECT_EQ(p.GetXml(), Document("", "<row />"));
  EXPECT_EQ(p.RowCount(), 1u);
  // Its round trip stores nothing.
  cLiteXMLPacket back;
  ASSERT_TRUE(back.LoadFromXml(p.GetXml()));
  TFakeIni target;
  back.SaveToIniSection(target, "ServerOptions");
  EXPECT_EQ(target.Writes, 0);
}

TEST(PacketTextTest, IniKeysThatCannotNameAnAttributeAreLeftOut) {
  cLiteXMLPacket p;
  p.LoadFromKeyValues({{"Good", "1"},
                       {"Two Words", "2"},
                       {"9Lives", "3"},
                       {"a\"b", "4"},
                       {"Good", "again"},
                       {"Also.ok-1", "5"}});
  EXPECT_EQ(p.GetXml(), Document("<field name=\"Good\" type=\"string\" />"
                                 "<field name=\"Also.ok-1\" type=\"string\" />",
                                 "<row Good=\"1\" Also.ok-1=\"5\" />"));
}

TEST(PacketTextTest, ValuesEscapeOnlyWhatWouldBreakTheDocument) {
  const std::string hostile = "a\"b&c<d>e'f\r\ng\th\x01i";
  cLiteXMLPacket p =
      Packet({{"V", "string"}, {"Plain", "string"}}, {{hostile, "O'Brien > 5 % ; -- /* x"}});
  p.WriteXml();
  EXPECT_EQ(p.GetXml(),
            Document("<field name=\"V\" type=\"string\" /><field name=\"Plain\" type=\"string\" />",
                     "<row V=\"a&quot;b&amp;c&lt;d>e'f&#13;&#10;g&#9;h&#1;i\" "
                     "Plain=\"O'Brien > 5 % ; -- /* x\" />"));
  // The reader gives back exactly what was stored, line breaks and tabs included.
  cLiteXMLPacket back;
  ASSERT_TRUE(back.LoadFromXml(p.GetXml()));
  EXPECT_EQ(back.GetValue("V", 0, ""), hostile);
  EXPECT_EQ(back.GetValue("Plain", 0, ""), "O'Brien > 5 % ; -- /* x");
}

TEST(PacketTextTest, RoundTripKeepsBytesOfEveryKindOfValue) {
  std::string allBytes;
  for (int c = 1; c < 256; ++c)
    allBytes += static_cast<char>(c);
  const std::vector<std::string> values = {
      "", " ", "  lead and trail  ", "ÄÖÜ ß € 日本", allBytes, std::string(100000, 'x'), "&amp;"};
  cLiteXMLPacket p;
  p.SetDimensions(values.size(), 2);
  for (std::size_t j = 0; j < values.size(); ++j) {
    p.SetField(j, "F" + std::to_string(j), "string");
    p.SetValue(0, j, values[j]);
    p.SetValue(1, j, values[values.size() - 1 - j]);
  }
  p.WriteXml();
  cLiteXMLPacket back;
  ASSERT_TRUE(back.LoadFromXml(p.GetXml()));
  ASSERT_EQ(back.FieldCount(), values.size());
  ASSERT_EQ(back.RowCount(), 2u);
  for (std::size_t j = 0; j < values.size(); ++j) {
    EXPECT_EQ(back.Field(j).Name, "F" + std::to_string(j));
    EXPECT_EQ(back.Field(j).TypeText, "string");
    EXPECT_EQ(back.Value(0, j), values[j]) << "field " << j;
    EXPECT_EQ(back.Value(1, j), values[values.size() - 1 - j]) << "field " << j;
  }
}

TEST(PacketTextTest, NulBytesAreWrittenAsReferencesAndEndTheValueWhenRead) {
  // XML cannot carry a NUL character at all; the writer still keeps the document well-formed
  // for lenient readers, and our reader hands back the value up to the NUL.
  cLiteXMLPacket p;
  p.SetDimensions(2, 1);
  p.SetField(0, "A", "string");
  p.SetField(1, "B", "string");
  p.SetValue(0, 0, std::string("a\0b", 3));
  p.SetValue(0, 1, "after");
  p.WriteXml();
  EXPECT_NE(p.GetXml().find("A=\"a&#0;b\" B=\"after\""), std::string::npos);
  cLiteXMLPacket back;
  ASSERT_TRUE(back.LoadFromXml(p.GetXml()));
  EXPECT_EQ(back.GetValue("A", 0, "?"), "a");
  EXPECT_EQ(back.GetValue("B", 0, "?"), "after");
}

TEST(PacketTextTest, WriterRefusesNamesARowCannotCarry) {
  for (const std::string bad :
       {"", "Two Words", "1st", "a=b", "a\"b", "<x", "-a", "x:b", "xmlns"}) {
    cLiteXMLPacket p = Packet({{"Ok", "string"}, {bad, "string"}}, {{"1", "2"}});
    EXPECT_NE(PacketErrorOf([&] { p.WriteXml(); }), "") << bad;
    EXPECT_EQ(p.GetXml(), "");
  }
  cLiteXMLPacket twice = Packet({{"A", "string"}, {"A", "string"}}, {{"1", "2"}});
  EXPECT_EQ(PacketErrorOf([&] { twice.WriteXml(); }), "Field name 'A' appears twice in a packet");
  // Names differing in case are two attributes.
  cLiteXMLPacket cases = Packet({{"A", "string"}, {"a", "string"}}, {{"1", "2"}});
  EXPECT_EQ(PacketErrorOf([&] { cases.WriteXml(); }), "");
}

TEST(PacketTextTest, ReaderTakesFieldAttributesByPosition) {
  // type before name: the type's text becomes the name, the name's text the type.
  const std::string xml = Document(
      "<field type=\"string\" name=\"UserName\" />"
      "<field name=\"Flag\" type=\"boolean\" />"
      "<field name=\"W\" type='\"string\" WIDTH=\"32\"' />"
      "<field name=\"Lonely\" /><field />",
      "<row string=\"by position\" UserName=\"ignored\" Flag=\"1\" Extra=\"x\" />");
  cLiteXMLPacket p;
  ASSERT_TRUE(p.LoadFromXml(xml));
  ASSERT_EQ(p.FieldCount(), 5u);
  EXPECT_EQ(p.Field(0).Name, "string");
  EXPECT_EQ(p.Field(0).TypeText, "UserName");
  EXPECT_EQ(p.Field(1).TypeText, "boolean");
  EXPECT_EQ(p.Field(2).TypeText, "string WIDTH=32");  // every quote removed
  EXPECT_EQ(p.Field(3).TypeText, "");
  EXPECT_EQ(p.Field(4).Name, "");
  EXPECT_EQ(p.GetValue("string", 0, "?"), "by position");
  EXPECT_EQ(p.GetValue("Flag", 0, "?"), "1");
  EXPECT_EQ(p.GetValue("Lonely", 0, "?"), "");              // not in the row: empty
  EXPECT_EQ(p.GetValue("Extra", 0, "default"), "default");  // no such field
  EXPECT_EQ(p.GetValue("flag", 0, "default"), "default");   // names are case-sensitive
  EXPECT_EQ(p.GetValue("Flag", 5, "default"), "default");   // no such row
}

TEST(PacketTextTest, ReaderFindsElementsAnywhereInDocumentOrder) {
  const std::string xml =
      "<?xml version=\"1.0\"?><a><row F=\"r1\" /><b><field name=\"F\" type=\"string\"/>"
      "<c><row F=\"r2\" G=\"g\"/></c></b><field name=\"G\" type=\"integer\"/><Row F=\"no\"/>"
      "<x:row F=\"no\"/><row F=\"r3\"></row></a>";
  cLiteXMLPacket p;
  ASSERT_TRUE(p.LoadFromXml(xml));
  ASSERT_EQ(p.FieldCount(), 2u);
  ASSERT_EQ(p.RowCount(), 3u);
  EXPECT_EQ(p.Value(0, 0), "r1");
  EXPECT_EQ(p.Value(1, 0), "r2");
  EXPECT_EQ(p.Value(1, 1), "g");
  EXPECT_EQ(p.Value(2, 0), "r3");
  EXPECT_EQ(p.Value(2, 1), "");
  EXPECT_EQ(p.GetXml(), xml);
}

TEST(PacketTextTest, MalformedTextReturnsFalseAndChangesNothing) {
  cLiteXMLPacket p;
  ASSERT_TRUE(p.LoadFromXml(Document("<field name=\"A\" type=\"string\" />", "<row A=\"1\" />")));
  const std::string before = p.GetXml();
  const std::vector<std::string> bad = {
      "",
      "   ",
      "not xml at all",
      "<?xml version=\"1.0\"?>",
      Document("<field name=\"A\" type=\"string\" />", "<row A=\"1\" />").substr(0, 120),
      "<a><b></a></b>",
      "<row A=\"unterminated />",
      "<row A=1 />",
      "<row A=\"1\"",
      "<" + std::string(1 << 20, 'a'),
  };
  for (const auto& text : bad) {
    EXPECT_FALSE(p.LoadFromXml(text)) << text.substr(0, 60);
    EXPECT_EQ(p.GetXml(), before);
    EXPECT_EQ(p.GetValue("A", 0, ""), "1");
  }
}

TEST(PacketTextTest, HostileButBoundedPacketsNeverCrash) {
  // A huge attribute value.
  cLiteXMLPacket big;
  ASSERT_TRUE(big.LoadFromXml(Document("<field name=\"A\" type=\"string\" />",
                                       "<row A=\"" + std::string(4 << 20, 'v') + "\" />")));
  EXPECT_EQ(big.Value(0, 0).size(), 4u << 20);

  // Nesting far deeper than any call stack would survive if the walk recursed.
  const int depth = 200000;
  std::string deep;
  for (int i = 0; i < depth; ++i)
    deep += "<d>";
  deep += "<field name=\"A\" type=\"string\"/><row A=\"deep\"/>";
  for (int i = 0; i < depth; ++i)
    deep += "</d>";
  cLiteXMLPacket p;
  ASSERT_TRUE(p.LoadFromXml(deep));
  EXPECT_EQ(p.GetValue("A", 0, ""), "deep");

  // NUL bytes inside the text: whatever the outcome, no crash and no read beyond the text.
  for (const std::string& withNul : {std::string("<row A=\"1\0\" />", 14),
                                     std::string("\0<row/>", 7), std::string("<row/>\0\0\0", 9)}) {
    cLiteXMLPacket q;
    (void)q.LoadFromXml(withNul);
  }

  // Entities: only the predefined ones and character references are resolved; a document
  // type cannot make the reader expand anything.
  const std::string entities =
      "<!DOCTYPE x [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;\">]>"
      "<x><field name=\"A\" type=\"string\"/><row A=\"&b;&#65;&#x42;&apos;\"/></x>";
  ASSERT_TRUE(p.LoadFromXml(entities));
  EXPECT_EQ(p.GetValue("A", 0, ""), "&b;AB'");
}

TEST(PacketTextTest, ReaderRefusesPacketsBeyondItsLimits) {
  std::string fields;
  for (int i = 0; i < 1025; ++i)
    fields += "<field name=\"F" + std::to_string(i) + "\" type=\"string\"/>";
  cLiteXMLPacket p;
  EXPECT_NE(PacketErrorOf([&] { p.LoadFromXml(Document(fields, "<row/>")); }), "");
  EXPECT_EQ(p.FieldCount(), 0u);

  // 1000 fields and 2000 empty rows: only a few kilobytes of text, but two million cells.
  std::string some;
  for (int i = 0; i < 1000; ++i)
    some += "<field name=\"F" + std::to_string(i) + "\"/>";
  std::string rows;
  for (int i = 0; i < 2000; ++i)
    rows += "<row/>";
  EXPECT_NE(PacketErrorOf([&] { p.LoadFromXml(Document(some, rows)); }), "");
  EXPECT_EQ(p.RowCount(), 0u);
  // Within the limits the same shape reads.
  EXPECT_TRUE(p.LoadFromXml(Document(some, "<row/><row/>")));
  EXPECT_EQ(p.RowCount(), 2u);
  EXPECT_EQ(p.Value(1, 999), "");
}

TEST(PacketTextTest, SaveToIniSectionWritesRowZeroOrRefusesAPacketWithoutIt) {
  cLiteXMLPacket p;
  ASSERT_TRUE(p.LoadFromXml(
      Document("<field name=\"A\" type=\"string\"/><field name=\"B\" type=\"string\"/>",
               "<row A=\"first\" B=\"x&#10;y\"/><row A=\"second\" B=\"z\"/>")));
  TFakeIni ini;
  ini.WriteString("S", "Keep", "me");
  p.SaveToIniSection(ini, "S");
  EXPECT_EQ(ini.ReadString("S", "A", ""), "first");
  EXPECT_EQ(ini.ReadString("S", "B", ""), "x\ny");
  EXPECT_EQ(ini.ReadString("S", "Keep", ""), "me");

  cLiteXMLPacket noRow;
  ASSERT_TRUE(noRow.LoadFromXml(Document("<field name=\"A\" type=\"string\"/>", "")));
  TFakeIni untouched;
  EXPECT_EQ(PacketErrorOf([&] { noRow.SaveToIniSection(untouched, "S"); }),
            "The packet holds no row to store");
  EXPECT_EQ(untouched.Writes, 0);

  // One key that could break the file refuses the whole packet before anything is written.
  for (const char* bad : {"", "a=b", "[Other]", ";comment", "two words"}) {
    cLiteXMLPacket mixed;
    ASSERT_TRUE(mixed.LoadFromXml(Document("<field name=\"Good\" type=\"string\"/><field name=\"" +
                                               std::string(bad) + "\" type=\"string\"/>",
                                           "<row Good=\"1\"/>")));
    EXPECT_NE(PacketErrorOf([&] { mixed.SaveToIniSection(untouched, "S"); }), "") << bad;
    EXPECT_EQ(untouched.Writes, 0) << bad;
  }
}

TEST(PacketTextTest, AccessorsCheckTheirIndexes) {
  cLiteXMLPacket p;
  p.SetDimensions(2, 1);
  EXPECT_NE(PacketErrorOf([&] { p.Field(2); }), "");
  EXPECT_NE(PacketErrorOf([&] { p.Value(1, 0); }), "");
  EXPECT_NE(PacketErrorOf([&] { p.SetValue(0, 2, "x"); }), "");
  p.SetDimensions(3, 2);  // rows grow with the fields
  EXPECT_EQ(p.Value(1, 2), "");
  EXPECT_EQ(PacketErrorOf([&] { p.WriteXml(); }),
            "Field name '' cannot name an attribute of a packet row");
  for (std::size_t j = 0; j < 3; ++j)
    p.SetField(j, "F" + std::to_string(j), "string");
  p.WriteXml();
  const std::string taken = p.TakeXml();
  EXPECT_TRUE(p.GetXml().empty());
  EXPECT_EQ(taken, Document("<field name=\"F0\" type=\"string\" /><field name=\"F1\" "
                            "type=\"string\" /><field name=\"F2\" type=\"string\" />",
                            "<row F0=\"\" F1=\"\" F2=\"\" /><row F0=\"\" F1=\"\" F2=\"\" />"));
}

}  // namespace
}  // namespace zorvic::testing
