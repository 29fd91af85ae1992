// Helpers over libxml2: owners for its objects, safe parsing, the
// first-match element lookup used for every keyed document, number
// conversions, serialisation and fixed-path lookups in records. None holds
// state or takes a lock; each may be called from any thread on a document
// that no other thread changes meanwhile.
#ifndef VORLAN_XML_XMLHELPERS_H
#define VORLAN_XML_XMLHELPERS_H

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

struct LogContext;

namespace vorlan {

struct XmlDocDeleter {
  void operator()(xmlDoc* d) const noexcept { xmlFreeDoc(d); }
};
using XmlDocPtr = std::unique_ptr<xmlDoc, XmlDocDeleter>;

struct XmlCharDeleter {
  void operator()(xmlChar* s) const noexcept { xmlFree(s); }
};
using XmlCharPtr = std::unique_ptr<xmlChar, XmlCharDeleter>;

// Parses a NUL-terminated UTF-8 text. Never reaches the network, loads no
// external DTD or entity, substitutes no entities and prints nothing. Null
// when the text is not well-formed or declares entities.
XmlDocPtr parseXmlText(const char* text);

// The first element named `name` in document order at or below `from`
// (depth first, `from` itself first), then among the later siblings of
// `from` and their descendants. Null when there is none.
xmlNode* findFirstElement(xmlNode* from, const char* name);

// The element's text with entity references replaced; nullopt when the
// element has no content.
std::optional<std::string> elementText(xmlDoc* doc, xmlNode* element);

// *out gets the first element named `name`, searched from the root. 0;
// -6003 when there is none. A document without root gives 0 and null.
int findXmlElement(xmlDoc* doc, const char* name, xmlNode** out,
                   LogContext* log);

// *out gets the value of the first element named `tag` at or after `start`
// (null: the root). 0; -6003 (out empty) when it is missing or has no
// content. A document without root gives 0 and an empty out.
int getXmlString(std::optional<std::string>* out, const char* tag, xmlDoc* doc,
                 xmlNode* start, LogContext* log);

// As getXmlString, converted by strToUint: -6010 (out 0) when the value is
// not a number; a document without root gives 0 and 0.
int getXmlUint(std::uint32_t* out, const char* tag, xmlDoc* doc, xmlNode* start,
               LogContext* log);

// Decimal text to a number with the C library's long conversions: leading
// white space and a sign are accepted, the rest must be consumed, and the
// result is truncated to 32 bits. 0, or -6010 with *out 0. A null text
// gives 0 and 0; "" is a valid 0.
int strToInt(const char* text, std::int32_t* out, LogContext* log);
int strToUint(const char* text, std::uint32_t* out, LogContext* log);
// The same, 64 bits wide and unsigned (strtoull).
int strToUint64(const char* text, std::uint64_t* out, LogContext* log);

// *out gets the document written as formatted UTF-8 with its declaration;
// empty when nothing results. Always 0.
int xmlToText(std::string* out, xmlDoc* doc, LogContext* log);

// Parses `length` bytes of `text` (as parseXmlText does). Documents with a
// document type declaration are refused: none of ours has one, and internal
// entities referenced many times would expand without bound when read.
// 0; -6008 when the text does not parse or is refused.
int textToXml(const char* text, std::size_t length, XmlDocPtr* out,
              LogContext* log);

// The value of the first node selected by "/vorlanserver/SECTION/NAME", or
// an empty out (no such node, no content, or a bad expression). Always 0.
int getRecordValue(xmlDoc* doc, const char* section, const char* name,
                   std::optional<std::string>* out, LogContext* log);
// getRecordValue with the section "location".
int getLocationValue(xmlDoc* doc, const char* name,
                     std::optional<std::string>* out, LogContext* log);

}  // namespace vorlan

#endif
