// The SOAP 1.2 envelope of every request to the analytics service, and the
// library ID its header carries.
#ifndef VORLAN_SOAP_KESTSOAP_H
#define VORLAN_SOAP_KESTSOAP_H

#include <cstdint>
#include <string>

struct LogContext;

namespace vorlan {

// Build-time values that must match the service.
extern const char* const kServiceNamespace;  // its namespace URI
extern const char* const kLibraryKey;        // 22 characters

// The 20 lower-case hex characters of "%05u%05u" (customer, product), each
// character XORed with the library key's. 0; -2900 when an ID has more
// than five digits. Same IDs, same text.
int makeLibraryId(std::uint32_t customerId, std::uint32_t productId,
                  std::string* out);

// Serialises the envelope for `operation`: a header with the client
// identification, the library ID ("KESTNA" when null) and the header
// number, and a body whose one element is KestActServ:operation, holding
// KestActServ:XMLData with the enciphered `payload` (when given, encoding
// 1) in a CDATA section. 0; -4011 null operation; -4001 memory; the
// cipher's code when the payload cannot be enciphered.
int buildSoapEnvelope(int encoding, std::string* envelope,
                      const char* clientInfo, const char* libraryId,
                      std::uint64_t headerNumber, const char* operation,
                      const char* payload, LogContext* log);

}  // namespace vorlan

#endif
