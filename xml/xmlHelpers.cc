#include "xml/xmlHelpers.h"

#include <libxml/xpath.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "runtime/logging.h"

namespace vorlan {
namespace {

constexpr const char* kUnit = "xmlHelpers";

// No external DTD or entity is loaded and none is substituted; errors are
// silenced per parse, leaving the host's libxml2 error handlers alone.
constexpr int kParseOptions =
    XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

void ignoreXmlError(void*, xmlErrorPtr) {}

struct XPathContextDeleter {
  void operator()(xmlXPathContext* c) const noexcept { xmlXPathFreeContext(c); }
};
struct XPathObjectDeleter {
  void operator()(xmlXPathObject* o) const noexcept { xmlXPathFreeObject(o); }
};

// Converts with `convert` (strtol and the like), requiring the whole text.
template <class Long, class Convert>
bool convertWhole(const char* text, Convert convert, Long* value) {
  errno = 0;
  char* end = nullptr;
  *value = convert(text, &end, 10);
  return *end == '\0';
}

template <class Out, class Long, class Convert>
int convertNumber(const char* text, Out* out, Convert convert,
                  const char* message, LogContext* log) {
  *out = 0;
  logEntry(log, kUnit, __LINE__);
  if (text == nullptr) {
    writeLog(kLogExit | kLogInfo, log, "Empty value %s: %d", kUnit, __LINE__);
    return 0;
  }
  Long value = 0;
  if (!convertWhole(text, convert, &value)) {
    writeLog(kLogError, log, message, kUnit, __LINE__);
    return logExit(log, -6010, kUnit, __LINE__);
  }
  *out = static_cast<Out>(value);
  return logExit(log, 0, kUnit, __LINE__);
}

}  // namespace

XmlDocPtr parseXmlText(const char* text) {
  if (text == nullptr) return nullptr;
  XmlDocPtr doc(xmlReadDoc(reinterpret_cast<const xmlChar*>(text), nullptr,
                           nullptr, kParseOptions));
  // Declared entities would be expanded, without the parser's limits, when
  // values are read, and would carry their text around any redaction.
  if (doc != nullptr && doc->intSubset != nullptr &&
      (doc->intSubset->entities != nullptr ||
       doc->intSubset->pentities != nullptr))
    return nullptr;
  return doc;
}

xmlNode* findFirstElement(xmlNode* from, const char* name) {
  if (from == nullptr || name == nullptr) return nullptr;
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

int findXmlElement(xmlDoc* doc, const char* name, xmlNode** out,
                   LogContext* log) {
  *out = nullptr;
  logEntry(log, kUnit, __LINE__);
  xmlNode* root = doc != nullptr ? xmlDocGetRootElement(doc) : nullptr;
  if (root == nullptr) {
    writeLog(kLogWarning, log, "Empty XML %s: %d", kUnit, __LINE__);
    return logExit(log, 0, kUnit, __LINE__);
  }
  *out = findFirstElement(root, name);
  return logExit(log, *out != nullptr ? 0 : -6003, kUnit, __LINE__);
}

int getXmlString(std::optional<std::string>* out, const char* tag, xmlDoc* doc,
                 xmlNode* start, LogContext* log) {
  out->reset();
  logEntry(log, kUnit, __LINE__);
  xmlNode* from = start;
  if (from == nullptr) {
    from = doc != nullptr ? xmlDocGetRootElement(doc) : nullptr;
    if (from == nullptr) {
      writeLog(kLogWarning, log, "Empty XML %s: %d", kUnit, __LINE__);
      return logExit(log, 0, kUnit, __LINE__);
    }
  }
  *out = elementText(doc, findFirstElement(from, tag));
  return logExit(log, *out ? 0 : -6003, kUnit, __LINE__);
}

int getXmlUint(std::uint32_t* out, const char* tag, xmlDoc* doc, xmlNode* start,
               LogContext* log) {
  *out = 0;
  std::optional<std::string> text;
  if (int rc = getXmlString(&text, tag, doc, start, log); rc != 0) return rc;
  return strToUint(text ? text->c_str() : nullptr, out, log);
}

int strToInt(const char* text, std::int32_t* out, LogContext* log) {
  return convertNumber<std::int32_t, long>(
      text, out, std::strtol, "string to int conversion error %s: %d", log);
}

int strToUint(const char* text, std::uint32_t* out, LogContext* log) {
  return convertNumber<std::uint32_t, unsigned long>(
      text, out, std::strtoul, "string to uint conversion error %s: %d", log);
}

int strToUint64(const char* text, std::uint64_t* out, LogContext* log) {
  return convertNumber<std::uint64_t, unsigned long long>(
      text, out, std::strtoull, "string to uint conversion error %s: %d", log);
}

int xmlToText(std::string* out, xmlDoc* doc, LogContext* log) {
  out->clear();
  logEntry(log, kUnit, __LINE__);
  if (doc != nullptr) {
    xmlChar* dump = nullptr;
    int size = 0;
    xmlDocDumpFormatMemoryEnc(doc, &dump, &size, "UTF-8", 1);
    XmlCharPtr owner(dump);
    if (dump != nullptr && size > 0)
      out->assign(reinterpret_cast<const char*>(dump),
                  static_cast<std::size_t>(size));
  }
  return logExit(log, 0, kUnit, __LINE__);
}

int textToXml(const char* text, std::size_t length, XmlDocPtr* out,
              LogContext* log) {
  out->reset();
  logEntry(log, kUnit, __LINE__);
  if (text == nullptr || length == 0 || length > INT_MAX) {
    writeLog(kLogError, log, "Unable to read buf %s: %d", kUnit, __LINE__);
    return logExit(log, -6008, kUnit, __LINE__);
  }
  XmlDocPtr doc(xmlReadMemory(text, static_cast<int>(length), "kest.xml",
                              nullptr, kParseOptions));
  if (doc == nullptr || doc->intSubset != nullptr ||
      doc->extSubset != nullptr) {
    writeLog(kLogError, log, "Unable to read buf %s: %d", kUnit, __LINE__);
    return logExit(log, -6008, kUnit, __LINE__);
  }
  *out = std::move(doc);
  return logExit(log, 0, kUnit, __LINE__);
}

int getRecordValue(xmlDoc* doc, const char* section, const char* name,
                   std::optional<std::string>* out, LogContext* log) {
  out->reset();
  logEntry(log, kUnit, __LINE__);
  if (doc == nullptr || section == nullptr || name == nullptr)
    return logExit(log, 0, kUnit, __LINE__);
  std::string path = std::string("/vorlanserver/") + section + "/" + name;
  std::unique_ptr<xmlXPathContext, XPathContextDeleter> context(
      xmlXPathNewContext(doc));
  if (context == nullptr) return logExit(log, 0, kUnit, __LINE__);
  context->error = ignoreXmlError;  // a bad expression must not print
  std::unique_ptr<xmlXPathObject, XPathObjectDeleter> result(
      xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(path.c_str()),
                             context.get()));
  if (result != nullptr && result->type == XPATH_NODESET &&
      result->nodesetval != nullptr && result->nodesetval->nodeNr > 0) {
    *out = elementText(doc, result->nodesetval->nodeTab[0]);
  }
  return logExit(log, 0, kUnit, __LINE__);
}

int getLocationValue(xmlDoc* doc, const char* name,
                     std::optional<std::string>* out, LogContext* log) {
  return getRecordValue(doc, "location", name, out, log);
}

}  // namespace vorlan
