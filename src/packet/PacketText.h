// The pieces of a packet's XML text, shared by the writers of this folder (not part of the
// packet's interface; see LiteXMLPacket.h for the format).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "packet/LiteXMLPacket.h"

namespace zorvic::packet_text {

// The document up to and including the start tag of `metadata`.
inline constexpr std::string_view kDocumentHead =
    "<?xml version=\"1.0\" standalone=\"yes\" ?><LiteDataPacket version=\"1.0\"><metadata>";
// Between the field elements and the row elements.
inline constexpr std::string_view kMetadataEnd = "</metadata><data>";
inline constexpr std::string_view kDocumentTail = "</data></LiteDataPacket>";

// Appends `value` with '&', '<', '"' and control characters replaced by references.
void AppendEscaped(std::string& out, std::string_view value);
// The quoted form of an attribute: name="value" and a blank (the value escaped).
void AppendQuotedAttribute(std::string& out, std::string_view name, std::string_view value);
// A field element; the type attribute in raw form (the type text written as it is, carrying
// its own quotes) or in quoted form.
void AppendFieldElement(std::string& out, const cPacketField& field, bool rawType);
// "<row " and "/>" around the row's attributes; AppendQuotedAttribute in between.
inline void AppendRowStart(std::string& out) {
  out += "<row ";
}
inline void AppendElementEnd(std::string& out) {
  out += "/>";
}
// Raises EPacketError unless every field name is an XML name and no name repeats.
void CheckFieldNames(const std::vector<cPacketField>& fields);
// A value shortened for an error message (hostile values can be long).
std::string Excerpt(std::string_view value);

}  // namespace zorvic::packet_text
