// The packet reader: a packet a client sent, parsed into fields and rows.
#include <pugixml.hpp>

#include <cstring>
#include <unordered_map>

#include "packet/LiteXMLPacket.h"
#include "packet/PacketLimits.h"

namespace zorvic {

namespace {

// Every element named `field` and every element named `row`, anywhere in the document, in
// document order. The walk keeps no stack of its own beyond the tree's links, so a hostile
// nesting depth costs no recursion.
void CollectElements(const pugi::xml_document& doc, std::vector<pugi::xml_node>& fields,
                     std::vector<pugi::xml_node>& rows) {
  pugi::xml_node node = doc.first_child();
  while (node) {
    if (node.type() == pugi::node_element) {
      if (std::strcmp(node.name(), "field") == 0) {
        fields.push_back(node);
      } else if (std::strcmp(node.name(), "row") == 0) {
        rows.push_back(node);
      }
    }
    if (pugi::xml_node child = node.first_child()) {
      node = child;
      continue;
    }
    while (node && node != doc && !node.next_sibling())
      node = node.parent();
    if (!node || node == doc) break;
    node = node.next_sibling();
  }
}

std::string WithoutQuotes(const char* text) {
  std::string out;
  for (const char* p = text; *p; ++p)
    if (*p != '"' && *p != '\'') out += *p;
  return out;
}

}  // namespace

bool cLiteXMLPacket::LoadFromXml(std::string_view xml) {
  pugi::xml_document doc;
  const pugi::xml_parse_result parsed =
      doc.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_auto);
  if (!parsed) return false;

  std::vector<pugi::xml_node> fieldNodes;
  std::vector<pugi::xml_node> rowNodes;
  CollectElements(doc, fieldNodes, rowNodes);
  if (fieldNodes.size() > kPacketMaxFields)
    throw EPacketError("The packet holds more than " + std::to_string(kPacketMaxFields) +
                       " fields");
  // An empty row still costs a vector; bound rows on their own as well as cells.
  const std::size_t perRow = fieldNodes.empty() ? 1 : fieldNodes.size();
  if (rowNodes.size() > kPacketMaxCells / perRow)
    throw EPacketError("The packet holds more than " + std::to_string(kPacketMaxCells) + " values");

  // Fields: attributes by position, the first is the name, the second the type.
  std::vector<cPacketField> fields(fieldNodes.size());
  std::unordered_map<std::string, std::vector<std::size_t>> byName;
  for (std::size_t i = 0; i < fieldNodes.size(); ++i) {
    pugi::xml_attribute first = fieldNodes[i].first_attribute();
    if (first) {
      fields[i].Name = first.value();
      if (pugi::xml_attribute second = first.next_attribute())
        fields[i].TypeText = WithoutQuotes(second.value());
    }
    byName[fields[i].Name].push_back(i);
  }

  // Rows: attributes by name; the first attribute of a name counts, names of no field are
  // ignored, and a field the row does not name stays empty.
  std::vector<std::vector<std::string>> rows(rowNodes.size());
  std::vector<bool> filled(fields.size());
  for (std::size_t r = 0; r < rowNodes.size(); ++r) {
    rows[r].resize(fields.size());
    filled.assign(fields.size(), false);
    for (pugi::xml_attribute a = rowNodes[r].first_attribute(); a; a = a.next_attribute()) {
      auto it = byName.find(a.name());
      if (it == byName.end()) continue;
      for (std::size_t j : it->second) {
        if (filled[j]) continue;
        filled[j] = true;
        rows[r][j] = a.value();
      }
    }
  }

  fFields = std::move(fields);
  fRows = std::move(rows);
  fXml.assign(xml);
  return true;
}

}  // namespace zorvic
