// Small helpers over libxml2: owners for its objects, safe parsing, and the
// first-match element lookup used for every keyed document.
#ifndef VORLAN_XML_XMLHELPERS_H
#define VORLAN_XML_XMLHELPERS_H

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>
#include <optional>
#include <string>

namespace vorlan {

struct XmlDocDeleter {
  void operator()(xmlDoc* d) const noexcept { xmlFreeDoc(d); }
};
using XmlDocPtr = std::unique_ptr<xmlDoc, XmlDocDeleter>;

struct XmlCharDeleter {
  void operator()(xmlChar* s) const noexcept { xmlFree(s); }
};
using XmlCharPtr = std::unique_ptr<xmlChar, XmlCharDeleter>;

// Parses a UTF-8 text. Never reaches the network, loads no DTD, substitutes
// no entities and prints nothing. Null when the text is not well-formed.
XmlDocPtr parseXmlText(const char* text);

// The first element named `name` in document order at or below `from`
// (depth first, `from` itself first), then among the later siblings of
// `from` and their descendants. Null when there is none.
xmlNode* findFirstElement(xmlNode* from, const char* name);

// The element's text with entity references replaced; nullopt when the
// element has no content.
std::optional<std::string> elementText(xmlDoc* doc, xmlNode* element);

}  // namespace vorlan

#endif
