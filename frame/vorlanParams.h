// The parameter record, read from the XML parameter document that the
// application hands to KestLibOpen().
#ifndef VORLAN_FRAME_VORLANPARAMS_H
#define VORLAN_FRAME_VORLANPARAMS_H

#include <cstdint>
#include <optional>
#include <string>

struct LogContext;

namespace vorlan {

struct VorlanParams {
  int kvaEnabled = 0;
  int httpsEnabled = 0;
  int offlineMode = 0;
  int httpsVerify = 1;  // verify the service's certificate and host name
  int logLevel = 0;     // 0 to 6
  int logQLen = 600;
  int cacheQLen = 25;
  int soapThreadsMax = 10;
  int soapThreadsMin = 10;
  std::uint32_t maxLogSize = 0;            // 0: never rotate
  int kvaConnTO = 0;                       // milliseconds; set by a document
  int kvaTransTO = 0;                      // milliseconds; set by a document
  std::optional<std::string> httpsCAFile;  // PEM bundle trusted instead
  std::optional<std::string> workDir;
  std::optional<std::string> workGroup;
  std::optional<std::string> proxyIP;
  std::optional<std::string> proxyPort;
  std::optional<std::string> proxyUsername;
  std::optional<std::string> proxyPassword;
  std::optional<std::string> daemonIP;
  std::optional<std::string> daemonPort;
  std::optional<std::string> clientHostname;
};

// A new record with the defaults; its MaxLogSize is the identity's default.
// 0; -1001 memory; -7115 no identity loaded.
int createVorlanParams(VorlanParams** out, LogContext* log);

// Reads `document` (null: keep the defaults) into `params`. *redacted gets
// the document as it may be logged: the first ProxyUsername and the first
// ProxyPassword replaced by "KESTREMOVED". Turns the process-wide HTTPS
// switch on when HTTPSEnabled is. 0; -1075 not well-formed; -1085
// KVAEnabled not on; -1001 memory.
int readVorlanParams(const char* document, std::string* redacted,
                     VorlanParams* params, LogContext* log);

// Releases the record; null accepted.
int releaseVorlanParams(VorlanParams* params, LogContext* log);

}  // namespace vorlan

#endif
