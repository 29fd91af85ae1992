#include "soap/kestsoap.h"

#include <libxml/tree.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/binhex.h"
#include "runtime/kestMem.h"
#include "runtime/logging.h"
#include "runtime/payloadCipher.h"
#include "xml/xmlHelpers.h"

#ifndef VORLAN_SERVICE_NAMESPACE
#define VORLAN_SERVICE_NAMESPACE "http://services.kestavorn.example/KestActServ"
#endif
#ifndef VORLAN_LIBRARY_KEY
#define VORLAN_LIBRARY_KEY "Vn4rQ8zKt2Lw7Xp1Hc9MbS"
#endif

namespace vorlan {

const char* const kServiceNamespace = VORLAN_SERVICE_NAMESPACE;
const char* const kLibraryKey = VORLAN_LIBRARY_KEY;
static_assert(sizeof(VORLAN_LIBRARY_KEY) - 1 == 22,
              "the library key has 22 characters");

namespace {

constexpr const char* kUnit = "kestsoap";
constexpr const char* kPrefix = "KestActServ";

const xmlChar* x(const char* s) { return reinterpret_cast<const xmlChar*>(s); }

// Adds a child element, with `text` when given; null when memory runs out.
xmlNode* addChild(xmlNode* parent, const char* name,
                  const char* text = nullptr) {
  return xmlNewTextChild(parent, nullptr, x(name),
                         text != nullptr ? x(text) : nullptr);
}

}  // namespace

int makeLibraryId(std::uint32_t customerId, std::uint32_t productId,
                  std::string* out) {
  out->clear();
  char ids[24];
  int n = std::snprintf(ids, sizeof ids, "%05" PRIu32 "%05" PRIu32, customerId,
                        productId);
  if (n != 10) return -2900;
  for (int i = 0; i < 10; ++i)
    ids[i] = static_cast<char>(ids[i] ^ kLibraryKey[i]);
  appendHex(std::string_view(ids, 10), out);
  return 0;
}

int buildSoapEnvelope(int encoding, std::string* envelope,
                      const char* clientInfo, const char* libraryId,
                      std::uint64_t headerNumber, const char* operation,
                      const char* payload, LogContext* log) {
  envelope->clear();
  logEntry(log, kUnit, __LINE__);
  if (operation == nullptr) return logExit(log, -4011, kUnit, __LINE__);
  XmlDocPtr doc(xmlNewDoc(x("1.0")));
  xmlNode* root =
      doc ? xmlNewDocNode(doc.get(), nullptr, x("SOAP-ENV:Envelope"), nullptr)
          : nullptr;
  if (root == nullptr) return logExit(log, -4001, kUnit, __LINE__);
  xmlDocSetRootElement(doc.get(), root);
  std::string ns = kServiceNamespace;
  const std::string soap = ns + "Soap", soap12 = ns + "Soap12";
  const std::pair<const char*, const char*> namespaces[] = {
      {"xmlns:SOAP-ENV", "http://www.w3.org/2003/05/soap-envelope"},
      {"xmlns:SOAP-ENC", "http://www.w3.org/2003/05/soap-encoding"},
      {"xmlns:xsi", "http://www.w3.org/2001/XMLSchema-instance"},
      {"xmlns:xsd", "http://www.w3.org/2001/XMLSchema"},
      {"xmlns:KestActServ", ns.c_str()},
      {"xmlns:KestActServ2", soap.c_str()},
      {"xmlns:KestActServ3", soap12.c_str()},
  };
  for (const auto& [name, value] : namespaces)
    if (xmlNewProp(root, x(name), x(value)) == nullptr)
      return logExit(log, -4001, kUnit, __LINE__);

  char number[24];
  std::snprintf(number, sizeof number, "%" PRIu64, headerNumber);
  xmlNode* header = addChild(root, "SOAP-ENV:Header");
  xmlNode* parms = header ? addChild(header, "SOAPKestParms") : nullptr;
  if (parms == nullptr ||
      xmlNewProp(parms, x("xmlns"), x(ns.c_str())) == nullptr ||
      addChild(parms, "libraryInformation", clientInfo) == nullptr ||
      addChild(parms, "libraryID",
               libraryId != nullptr ? libraryId : "KESTNA") == nullptr ||
      addChild(parms, "headerInformation", number) == nullptr)
    return logExit(log, -4001, kUnit, __LINE__);
  xmlNode* body = addChild(root, "SOAP-ENV:Body");
  std::string operationName = std::string(kPrefix) + ":" + operation;
  xmlNode* op = body ? addChild(body, operationName.c_str()) : nullptr;
  if (op == nullptr) return logExit(log, -4001, kUnit, __LINE__);

  if (payload != nullptr) {
    char* cipher = nullptr;
    int rc = encoding == 1 ? payloadEncipher(payload, &cipher)
             : (cipher = strdup(payload)) != nullptr ? 0
                                                     : -4001;
    CText owner(cipher);
    if (rc != 0) {
      writeLog(kLogExit | kLogError, log, "%s: %d (%d)", kUnit, __LINE__, rc);
      return rc;
    }
    std::string dataName = std::string(kPrefix) + ":XMLData";
    xmlNode* data = addChild(op, dataName.c_str());
    xmlNode* cdata =
        data ? xmlNewCDataBlock(doc.get(), x(cipher),
                                static_cast<int>(std::strlen(cipher)))
             : nullptr;
    if (cdata == nullptr || xmlAddChild(data, cdata) == nullptr) {
      xmlFreeNode(cdata);
      return logExit(log, -4001, kUnit, __LINE__);
    }
  }
  xmlToText(envelope, doc.get(), log);
  if (envelope->empty()) return logExit(log, -4001, kUnit, __LINE__);
  return logExit(log, 0, kUnit, __LINE__, kLogExit | kLogInfo);
}

}  // namespace vorlan
