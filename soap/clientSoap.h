// One SOAP exchange with the analytics service over HTTP or HTTPS: the
// request document is wrapped, enciphered, in the envelope and posted with
// libcurl, and the reply is turned into a status and a reply document.
// Each call has its own libcurl handle; any number may run at once.
#ifndef VORLAN_SOAP_CLIENTSOAP_H
#define VORLAN_SOAP_CLIENTSOAP_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "xml/xmlHelpers.h"

struct LogContext;

namespace vorlan {

// "KestavornKVA/4.0.0.29": the User-Agent and the envelope's
// libraryInformation.
extern const char* const kClientIdentification;

// The most a reply may hold; a longer one aborts the transfer (-4305).
inline constexpr std::size_t kMaxReplySize = 1024 * 1024;

// The bytes a transfer delivered, NUL-terminated.
struct SoapReply {
  std::string bytes;
};

// libcurl's write callback: appends to the SoapReply in `userdata`;
// refuses (aborting the transfer) past kMaxReplySize.
std::size_t collectReply(char* data, std::size_t size, std::size_t count,
                         void* userdata);

// The library's status for a libcurl error number.
int curlErrorToStatus(int curlError);

// Posts one request: URL "https://host+suffix" when the HTTPS switch or
// identity flag 0x20 is on (peer and host name verified, TLS 1.2 at least,
// unless HTTPSVerify is off), else "http://host+suffix"; through the
// configured proxy. The reply's bytes go to `reply`. 0 or a status.
int postSoapRequest(const char* callerTag, int encoding, const char* host,
                    const char* libraryId, int connectTimeoutMs,
                    int transferTimeoutMs, const char* suffix,
                    const char* operation, const char* payload,
                    SoapReply* reply, LogContext* log);

// Parses the reply of `operation` into *out (see soapExchange for codes).
int parseSoapReply(int encoding, const char* operation, const char* bytes,
                   std::size_t length, XmlDocPtr* out, LogContext* log);

// The whole exchange. 0 with *reply set; negative on failure, *reply then
// set only for -4038, -4037 and the server's own return values (n - 4200,
// or n from a relay host).
int soapExchange(int encoding, std::uint32_t customerId,
                 std::uint32_t productId, int connectTimeoutMs,
                 int transferTimeoutMs, const char* host, const char* suffix,
                 const char* operation, xmlDoc* request, XmlDocPtr* reply,
                 LogContext* log);

}  // namespace vorlan

#endif
