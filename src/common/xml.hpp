#pragma once
// A small XML reader for the annotation tools' exchange files, and the
// escaping their writer needs. It reads elements, attributes, character
// data, CDATA sections, comments and processing instructions. It refuses
// document type declarations outright: files from other machines are read,
// and a declaration is where entity expansion (billion laughs) and external
// entities live. Only the five predefined entities and character references
// are expanded, so the document takes no more memory than its text.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mirelo {

/// One element: its name, its attributes in document order, its child
/// elements and its own character data (the text directly inside it, pieces
/// between children joined).
struct XmlElement {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;
  std::vector<XmlElement> children;
  std::string text;
  int64_t line = 0;  ///< line of the start tag, from 1

  /// The attribute `key`, or nullptr.
  const std::string* attribute(std::string_view key) const;
  /// The first child element named `child`, or nullptr.
  const XmlElement* child(std::string_view child) const;
};

/// Parses a UTF-8 XML document (a leading byte-order mark skipped) and
/// returns its root element. Throws ValueError "<source>, line N: ..." for
/// malformed text, a document type declaration, an unknown entity, a
/// character XML does not allow, or elements nested more than 256 deep.
XmlElement parse_xml(std::string_view text, const std::string& source);

/// `text` escaped for an attribute value or character data: &, <, >, " and
/// ' as entities, tab, line feed and carriage return as character
/// references (so attribute values keep them), other control characters
/// (which XML cannot hold) dropped.
std::string xml_escape(std::string_view text);

}  // namespace mirelo
