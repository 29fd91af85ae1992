#include "frame/vorlanParams.h"

#include <libxml/tree.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <new>

#include "frame/stampAccess.h"
#include "frame/vorlan.h"
#include "runtime/logging.h"
#include "xml/xmlHelpers.h"

namespace vorlan {
namespace {

constexpr const char* kUnit = "vorlanParams";
constexpr std::size_t kClientHostnameMax = 184;
constexpr const char* kRedacted = "KESTREMOVED";

class Reader {
 public:
  explicit Reader(xmlDoc* doc) : doc_(doc), root_(xmlDocGetRootElement(doc)) {}

  xmlNode* element(const char* key) const {
    return findFirstElement(root_, key);
  }

  // The value of `key`; nullopt when absent or empty.
  std::optional<std::string> value(const char* key) const {
    std::optional<std::string> v = elementText(doc_, element(key));
    if (v && v->empty()) return std::nullopt;
    return v;
  }

  bool flag(const char* key) const {
    std::optional<std::string> v = value(key);
    return v && (*v)[0] == '1';
  }

  std::optional<std::string> text(const char* key, std::size_t limit) const {
    std::optional<std::string> v = value(key);
    if (v && v->size() > limit) return std::nullopt;
    return v;
  }

  // An unsigned decimal number that takes the whole text, in 32 bits.
  std::optional<std::uint32_t> number(const char* key) const {
    std::optional<std::string> v = value(key);
    if (!v) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    unsigned long n = std::strtoul(v->c_str(), &end, 10);
    if (end == v->c_str() || *end != '\0' || errno == ERANGE)
      return std::nullopt;
    return static_cast<std::uint32_t>(n);
  }

  // A count or a time: 0, and values beyond a positive int, give `def`.
  int positive(const char* key, int def) const {
    std::optional<std::uint32_t> n = number(key);
    if (!n || *n == 0 || *n > static_cast<std::uint32_t>(INT_MAX)) return def;
    return static_cast<int>(*n);
  }

 private:
  xmlDoc* doc_;
  xmlNode* root_;
};

// Cuts UTF-8 text to at most `limit` bytes without splitting a character.
std::string cutUtf8(const std::string& s, std::size_t limit) {
  if (s.size() <= limit) return s;
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
  return s.substr(0, end);
}

void redact(xmlNode* element) {
  if (element != nullptr)
    xmlNodeSetContent(element, reinterpret_cast<const xmlChar*>(kRedacted));
}

}  // namespace

int createVorlanParams(VorlanParams** out, LogContext* log) {
  *out = nullptr;
  logEntry(log, kUnit, __LINE__);
  std::int32_t maxLog = 0;
  if (int rc = stampMaxLogSize(&maxLog, log); rc != 0)
    return logExit(log, rc, kUnit, __LINE__);
  auto* params = new (std::nothrow) VorlanParams;
  if (params == nullptr) return logExit(log, -1001, kUnit, __LINE__);
  params->maxLogSize = static_cast<std::uint32_t>(maxLog);
  *out = params;
  return logExit(log, 0, kUnit, __LINE__);
}

int readVorlanParams(const char* document, std::string* redacted,
                     VorlanParams* params, LogContext* log) {
  redacted->clear();
  logEntry(log, kUnit, __LINE__);
  if (document == nullptr) return logExit(log, 0, kUnit, __LINE__);
  XmlDocPtr doc = parseXmlText(document);
  if (doc == nullptr || xmlDocGetRootElement(doc.get()) == nullptr)
    return logExit(log, -1075, kUnit, __LINE__);
  Reader in(doc.get());

  params->kvaEnabled = in.flag("KVAEnabled");
  if (!params->kvaEnabled) return logExit(log, -1085, kUnit, __LINE__);
  params->httpsEnabled = in.flag("HTTPSEnabled");
  if (params->httpsEnabled) setHttpsSwitch(1);
  params->httpsCAFile = in.text("HTTPSCAFile", 4096);
  // On unless it says "0": verification is the safe default.
  std::optional<std::string> verify = in.value("HTTPSVerify");
  params->httpsVerify = verify && (*verify)[0] == '0' ? 0 : 1;
  params->workDir = in.text("WorkDir", 4096);
  params->workGroup = in.text("WorkGroup", 256);
  params->proxyIP = in.text("ProxyIP", 1024);
  params->proxyUsername = in.text("ProxyUsername", 256);
  redact(in.element("ProxyUsername"));
  params->proxyPassword = in.text("ProxyPassword", 256);
  redact(in.element("ProxyPassword"));
  params->proxyPort = in.text("ProxyPort", 10);
  if (std::optional<std::string> host = in.value("ClientHostname"))
    params->clientHostname = cutUtf8(*host, kClientHostnameMax);
  else
    params->clientHostname = "KESTNA";
  params->daemonIP = in.text("DaemonIP", 1024);
  params->daemonPort = in.text("DaemonPort", 10);
  std::optional<std::uint32_t> level = in.number("LogLevel");
  params->logLevel = !level ? 0 : *level > 6 ? 6 : static_cast<int>(*level);
  params->maxLogSize = in.number("MaxLogSize").value_or(0);
  params->kvaConnTO = in.positive("KVAConnTO", 30000);
  params->kvaTransTO = in.positive("KVATRANSTO", 30000);
  params->logQLen = in.positive("LogQLen", 600);
  params->cacheQLen = in.positive("CacheQLen", 25);
  params->soapThreadsMax = in.positive("SoapThreadsMax", 10);
  params->soapThreadsMin = in.positive("SoapThreadsMin", 10);
  params->offlineMode = in.flag("OfflineMode");

  xmlChar* dump = nullptr;
  int size = 0;
  xmlDocDumpFormatMemoryEnc(doc.get(), &dump, &size, "UTF-8", 1);
  XmlCharPtr owner(dump);
  if (dump != nullptr && size > 0)
    redacted->assign(reinterpret_cast<const char*>(dump),
                     static_cast<std::size_t>(size));
  else
    *redacted = "KESTNA";
  return logExit(log, 0, kUnit, __LINE__);
}

int releaseVorlanParams(VorlanParams* params, LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  delete params;
  return logExit(log, 0, kUnit, __LINE__);
}

}  // namespace vorlan
