#include "soap/clientSoap.h"

#include <apr_time.h>
#include <curl/curl.h>

#include <memory>

#include "frame/stampAccess.h"
#include "frame/vorlan.h"
#include "runtime/logging.h"
#include "runtime/payloadCipher.h"
#include "soap/kestsoap.h"

namespace vorlan {

const char* const kClientIdentification = "KestavornKVA/4.0.0.29";

namespace {

constexpr const char* kUnit = "clientSoap";
constexpr std::uint32_t kFlagAlwaysHttps = 0x20;

struct CurlDeleter {
  void operator()(CURL* c) const noexcept { curl_easy_cleanup(c); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const noexcept { curl_slist_free_all(l); }
};

}  // namespace

std::size_t collectReply(char* data, std::size_t size, std::size_t count,
                         void* userdata) {
  auto* reply = static_cast<SoapReply*>(userdata);
  std::size_t n = size * count;
  if (n > kMaxReplySize - reply->bytes.size()) return 0;  // aborts: too big
  try {
    reply->bytes.append(data, n);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return n;
}

int curlErrorToStatus(int e) {
  switch (e) {
    case CURLE_FAILED_INIT:
      return -4300;
    case CURLE_URL_MALFORMAT:
      return -4301;
    case CURLE_COULDNT_RESOLVE_PROXY:
      return -4302;
    case CURLE_COULDNT_RESOLVE_HOST:
      return -4303;
    case CURLE_COULDNT_CONNECT:
      return -4304;
    case CURLE_WRITE_ERROR:
      return -4305;
    case CURLE_READ_ERROR:
      return -4306;
    case CURLE_OUT_OF_MEMORY:
      return -4307;
    case CURLE_OPERATION_TIMEDOUT:
      return -4308;
    case CURLE_GOT_NOTHING:
      return -4309;
    case CURLE_SEND_ERROR:
      return -4310;
    case CURLE_RECV_ERROR:
      return -4311;
    case CURLE_FILESIZE_EXCEEDED:
      return -4312;
    default:
      return -4400 - e;
  }
}

int postSoapRequest(const char* callerTag, int encoding, const char* host,
                    const char* libraryId, int connectTimeoutMs,
                    int transferTimeoutMs, const char* suffix,
                    const char* operation, const char* payload,
                    SoapReply* reply, LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  std::uint32_t flags = 0;
  if (int rc = stampFlags(&flags, log); rc != 0)
    return logExit(log, rc, kUnit, __LINE__);
  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (curl == nullptr || host == nullptr || suffix == nullptr ||
      operation == nullptr)
    return logExit(log, -4001, kUnit, __LINE__);
  CURL* c = curl.get();
  bool https = (flags & kFlagAlwaysHttps) != 0 || httpsSwitch() != 0;
  std::string url = std::string(https ? "https://" : "http://") + host + suffix;
  if (https) {
    TlsSettings tls = tlsSettings();
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, tls.verify ? 1L : 0L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, tls.verify ? 2L : 0L);
    curl_easy_setopt(c, CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_2);
    if (!tls.caFile.empty())
      curl_easy_setopt(c, CURLOPT_CAINFO, tls.caFile.c_str());
  }
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 1L);
  curl_easy_setopt(c, CURLOPT_POST, 1L);
  curl_easy_setopt(c, CURLOPT_HTTP09_ALLOWED, 1L);

  std::string client =
      std::string("Kestavorn") + callerTag + "/" + kLibraryVersion;
  std::string agent = "User-Agent: " + client;
  std::string contentType =
      std::string(
          "Content-Type: application/soap+xml; charset=utf-8; "
          "action=\"") +
      kServiceNamespace + "/" + operation + "\"";
  curl_slist* list = nullptr;
  for (const char* line :
       {agent.c_str(), "Connection: close", contentType.c_str(), "Expect:"}) {
    curl_slist* longer = curl_slist_append(list, line);
    if (longer == nullptr) {
      curl_slist_free_all(list);
      return logExit(log, -4001, kUnit, __LINE__);
    }
    list = longer;
  }
  std::unique_ptr<curl_slist, SlistDeleter> headers(list);
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());

  std::string envelope;
  if (buildSoapEnvelope(encoding, &envelope, client.c_str(), libraryId, 0,
                        operation, payload, log) != 0)
    return logExit(log, -4001, kUnit, __LINE__);
  curl_easy_setopt(c, CURLOPT_POSTFIELDS, envelope.c_str());
  curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE,
                   static_cast<curl_off_t>(envelope.size()));
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS,
                   static_cast<long>(connectTimeoutMs));
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(transferTimeoutMs));
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collectReply);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, reply);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);

  std::string proxy = proxyAddress();
  std::string credentials = proxyCredentials();
  if (!proxy.empty()) {
    curl_easy_setopt(c, CURLOPT_PROXY, proxy.c_str());
    if (!credentials.empty())
      curl_easy_setopt(c, CURLOPT_PROXYUSERPWD, credentials.c_str());
    curl_easy_setopt(c, CURLOPT_PROXYAUTH, CURLAUTH_ANY);
  } else {
    // Never a proxy from the environment: only the parameter document
    // configures the library.
    curl_easy_setopt(c, CURLOPT_PROXY, "");
  }
  writeLog(kLogDetail, log, "%s: %d(%s, %lu)", kUnit, __LINE__, operation,
           static_cast<unsigned long>(apr_time_sec(apr_time_now())));
  CURLcode e = curl_easy_perform(c);
  if (e == CURLE_OK) return logExit(log, 0, kUnit, __LINE__);
  writeLog(kLogExit | kLogError, log, "%s: %d(%d)", kUnit, __LINE__,
           static_cast<int>(e));
  return curlErrorToStatus(e);
}

int parseSoapReply(int encoding, const char* operation, const char* bytes,
                   std::size_t length, XmlDocPtr* out, LogContext* log) {
  out->reset();
  logEntry(log, kUnit, __LINE__);
  XmlDocPtr envelope;
  if (textToXml(bytes, length, &envelope, log) != 0) {
    if (bytes != nullptr && length > 0)
      writeLog(kLogDetail | kLogError, log, "%s: %d -- Server Returned: %.*s",
               kUnit, __LINE__,
               static_cast<int>(std::min<std::size_t>(length, 2048)), bytes);
    else
      writeLog(kLogDetail | kLogError, log,
               "%s: %d -- Server Returned empty str", kUnit, __LINE__);
    return logExit(log, -4006, kUnit, __LINE__);
  }
  std::string resultName = std::string(operation) + "Result";
  xmlNode* result = nullptr;
  findXmlElement(envelope.get(), resultName.c_str(), &result, log);
  if (result == nullptr) {
    xmlNode* fault = nullptr;
    findXmlElement(envelope.get(), "Fault", &fault, log);
    if (fault != nullptr) {
      XmlCharPtr text(xmlNodeGetContent(fault));
      writeLog(kLogExit | kLogError, log, "Server Fault: %s: %d: %s", kUnit,
               __LINE__,
               text != nullptr && *text != 0
                   ? reinterpret_cast<const char*>(text.get())
                   : "Server Error");
    }
    return logExit(log, -4007, kUnit, __LINE__);
  }
  if (result->children == nullptr) {
    writeLog(kLogDetail | kLogError, log, "%s: %d -- Server ret empty str",
             kUnit, __LINE__);
    return logExit(log, -4006, kUnit, __LINE__);
  }
  xmlNode* first = result->children;
  const char* cipher =
      (first->type == XML_TEXT_NODE || first->type == XML_CDATA_SECTION_NODE) &&
              first->content != nullptr
          ? reinterpret_cast<const char*>(first->content)
          : "";
  std::string inner;
  if (encoding == 1) {
    if (int rc = payloadDecipher(std::string_view(cipher), &inner); rc != 0) {
      writeLog(kLogExit | kLogError, log, "%s: %d (%d)", kUnit, __LINE__, rc);
      return rc;
    }
  } else {
    inner = cipher;
  }
  envelope.reset();
  XmlDocPtr doc;
  if (textToXml(inner.data(), inner.size(), &doc, log) != 0)
    return logExit(log, -6008, kUnit, __LINE__);
  if (xmlDocGetRootElement(doc.get()) == nullptr)
    return logExit(log, -4023, kUnit, __LINE__);
  std::optional<std::string> value;
  getXmlString(&value, "returnvalue", doc.get(), nullptr, log);
  if (!value) {
    *out = std::move(doc);
    return logExit(log, -4038, kUnit, __LINE__);
  }
  if (!value->empty() && (*value)[0] == '0') {
    *out = std::move(doc);
    return logExit(log, 0, kUnit, __LINE__);
  }
  std::optional<std::string> message;
  getXmlString(&message, "errormessage", doc.get(), nullptr, log);
  if (message)
    writeLog(kLogError, log, "%s: %d - %s(%s)", kUnit, __LINE__, value->c_str(),
             message->c_str());
  else
    writeLog(kLogError, log, "%s: %d - %s (Error message failed)", kUnit,
             __LINE__, value->c_str());
  std::int32_t n = 0;
  strToInt(value->c_str(), &n, log);
  xmlNode* relay = nullptr;
  findXmlElement(doc.get(), "KestavornDaemon", &relay, log);
  *out = std::move(doc);
  if (n == -32) {
    writeLog(kLogExit | kLogError, log, "%s: %d(%d)", kUnit, __LINE__, n);
    return -4037;
  }
  writeLog(kLogExit | kLogError, log, "%s: %d(%d)", kUnit, __LINE__, n);
  return relay != nullptr ? n : n - 4200;
}

int soapExchange(int encoding, std::uint32_t customerId,
                 std::uint32_t productId, int connectTimeoutMs,
                 int transferTimeoutMs, const char* host, const char* suffix,
                 const char* operation, xmlDoc* request, XmlDocPtr* reply,
                 LogContext* log) {
  reply->reset();
  logEntry(log, kUnit, __LINE__);
  std::string payload;
  if (request != nullptr) xmlToText(&payload, request, log);
  std::string libraryId;
  if (int rc = makeLibraryId(customerId, productId, &libraryId); rc != 0)
    return logExit(log, rc, kUnit, __LINE__);
  SoapReply collected;
  if (int rc = postSoapRequest(
          "KVA", encoding, host, libraryId.c_str(), connectTimeoutMs,
          transferTimeoutMs, suffix, operation,
          request != nullptr ? payload.c_str() : nullptr, &collected, log);
      rc != 0)
    return logExit(log, rc, kUnit, __LINE__);
  int rc = parseSoapReply(encoding, operation, collected.bytes.data(),
                          collected.bytes.size(), reply, log);
  return logExit(log, rc, kUnit, __LINE__);
}

}  // namespace vorlan
