#include "xml/xmlHelpers.h"

#include <cstring>

namespace vorlan {

XmlDocPtr parseXmlText(const char* text) {
  if (text == nullptr) return nullptr;
  // Errors are silenced per parse, leaving the host's libxml2 error
  // handlers alone.
  return XmlDocPtr(
      xmlReadDoc(reinterpret_cast<const xmlChar*>(text), nullptr, nullptr,
                 XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
}

xmlNode* findFirstElement(xmlNode* from, const char* name) {
  if (from == nullptr) return nullptr;
  // Iterative pre-order walk: a deep document must not exhaust the stack.
  xmlNode* const stop = from->parent;
  xmlNode* node = from;
  while (node != nullptr) {
    if (node->type == XML_ELEMENT_NODE &&
        std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0)
      return node;
    if (node->type == XML_ELEMENT_NODE && node->children != nullptr) {
      node = node->children;
      continue;
    }
    while (node->next == nullptr) {
      node = node->parent;
      if (node == stop || node == nullptr) return nullptr;
    }
    node = node->next;
  }
  return nullptr;
}

std::optional<std::string> elementText(xmlDoc* doc, xmlNode* element) {
  if (element == nullptr || element->children == nullptr) return std::nullopt;
  XmlCharPtr text(xmlNodeListGetString(doc, element->children, 1));
  if (text == nullptr) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(text.get()));
}

}  // namespace vorlan
