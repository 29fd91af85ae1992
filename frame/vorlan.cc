// Opening and closing the library, and the frame's exported queries.
#include "frame/vorlan.h"

#include <apr_general.h>
#include <curl/curl.h>
#include <grp.h>
#include <libxml/parser.h>
#include <openssl/ssl.h>
#include <strings.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "frame/guard.h"
#include "frame/kestNames.h"
#include "frame/stampAccess.h"
#include "frame/vorlanParams.h"
#include "include/vorlan.h"
#include "runtime/kestMem.h"
#include "runtime/logging.h"

namespace vorlan {
namespace {

constexpr const char* kUnit = "vorlan";
constexpr int kGroupLookupDoublings = 52;

// Frame state. KestLibOpen() and KestLibClose() run on one application
// thread and never alongside another call; the proxy texts are read by
// exchanges while the library is open, hence their mutex.
struct Frame {
  VorlanParams* params = nullptr;  // present exactly while open
  LogContext* log = nullptr;
  std::mutex proxyMutex;
  std::string proxyAddress;      // guarded by proxyMutex
  std::string proxyCredentials;  // guarded by proxyMutex
  TlsSettings tls;               // guarded by proxyMutex
  xmlExternalEntityLoader previousLoader = nullptr;
};
Frame frame;
std::atomic<int> https{0};

void initDependencies() {
  apr_initialize();
  xmlInitParser();
  curl_global_init(CURL_GLOBAL_ALL);
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_CONFIG | OPENSSL_INIT_LOAD_CRYPTO_STRINGS |
                       OPENSSL_INIT_ADD_ALL_CIPHERS |
                       OPENSSL_INIT_ADD_ALL_DIGESTS,
                   nullptr);
}

// Reference-counted clean-ups only: libxml2's and OpenSSL's process-wide
// clean-ups would pull them from under a host that uses them too; both
// free their state at exit.
void cleanupDependencies() {
  curl_global_cleanup();
  apr_terminate();
}

// No document the library parses may pull anything from disk or network.
xmlParserInputPtr refuseExternalEntity(const char*, const char*,
                                       xmlParserCtxtPtr) {
  return nullptr;
}

void installEntityLoader() {
  frame.previousLoader = xmlGetExternalEntityLoader();
  xmlSetExternalEntityLoader(refuseExternalEntity);
}

// Puts back the host's loader, unless someone replaced ours meanwhile.
void restoreEntityLoader() {
  if (xmlGetExternalEntityLoader() == refuseExternalEntity &&
      frame.previousLoader != nullptr)
    xmlSetExternalEntityLoader(frame.previousLoader);
  frame.previousLoader = nullptr;
}

void setProxyTexts(const VorlanParams& p) {
  std::string address, credentials;
  if (p.proxyIP) address = *p.proxyIP + ":" + p.proxyPort.value_or("80");
  if (p.proxyUsername)
    credentials = *p.proxyUsername + ":" + p.proxyPassword.value_or("");
  std::lock_guard<std::mutex> lock(frame.proxyMutex);
  frame.proxyAddress = std::move(address);
  frame.proxyCredentials = std::move(credentials);
  frame.tls.verify = p.httpsVerify != 0;
  frame.tls.caFile = p.httpsCAFile.value_or("");
}

void clearProxyTexts() {
  std::lock_guard<std::mutex> lock(frame.proxyMutex);
  frame.proxyAddress.clear();
  frame.proxyCredentials.clear();
  frame.tls = TlsSettings{};
}

}  // namespace

int applyWorkGroup(const char* group, std::optional<mode_t>* previous) {
  if (group == nullptr) return 0;
  if (strncasecmp(group, "kestworld", 9) == 0) {
    mode_t old = umask(0);
    if (previous != nullptr) *previous = old;
    return 0;
  }
  std::vector<char> buffer;
  try {
    buffer.resize(1024);
  } catch (const std::bad_alloc&) {
    return -3000;
  }
  for (int doublings = 0;; ++doublings) {
    struct group entry;
    struct group* found = nullptr;
    int rc = getgrnam_r(group, &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE) {
      if (doublings == kGroupLookupDoublings) return -3000;
      try {
        buffer.resize(buffer.size() * 2);
      } catch (const std::bad_alloc&) {
        return -3000;
      }
      continue;
    }
    if (found != nullptr) {
      mode_t old = umask(2);
      if (previous != nullptr) *previous = old;
      return 0;
    }
    if (rc == 0 || rc == EPERM || rc == ENOENT || rc == ESRCH || rc == EBADF)
      return -3072;
    return -rc;
  }
}

void setHttpsSwitch(int on) { https.store(on != 0 ? 1 : 0); }
int httpsSwitch() { return https.load(); }

TlsSettings tlsSettings() {
  std::lock_guard<std::mutex> lock(frame.proxyMutex);
  return frame.tls;
}

std::string proxyAddress() {
  std::lock_guard<std::mutex> lock(frame.proxyMutex);
  return frame.proxyAddress;
}

std::string proxyCredentials() {
  std::lock_guard<std::mutex> lock(frame.proxyMutex);
  return frame.proxyCredentials;
}

LogContext* frameLog() { return frame.log; }

namespace {

int openFrame(const char* document) {
  if (frame.params != nullptr) return KEST_E_ALREADY_OPEN;
  initDependencies();
  installEntityLoader();
  // Whatever this open made is undone when it fails, so that the next open
  // starts from nothing.
  bool opened = false;
  std::string redacted;
  std::optional<mode_t> previousMask;
  struct Undo {
    bool& opened;
    std::optional<mode_t>& previousMask;
    ~Undo() {
      if (opened) return;
      if (previousMask) umask(*previousMask);
      closeLog(frame.log);
      frame.log = nullptr;
      releaseVorlanParams(frame.params, nullptr);
      frame.params = nullptr;
      clearProxyTexts();
      clearWorkDir();
      releaseLibraryStamp(nullptr);
      restoreEntityLoader();
      cleanupDependencies();
    }
  } undo{opened, previousMask};

  if (int rc = loadLibraryStamp(); rc != 0) return rc;
  // Each open decides https afresh from its own document.
  setHttpsSwitch(0);
  VorlanParams* params = nullptr;
  if (int rc = createVorlanParams(&params, nullptr); rc != 0) return rc;
  frame.params = params;
  if (int rc = readVorlanParams(document, &redacted, params, nullptr); rc != 0)
    return rc;
  setProxyTexts(*params);
  if (int rc = applyWorkGroup(
          params->workGroup ? params->workGroup->c_str() : nullptr,
          &previousMask);
      rc != 0)
    return rc;
  // Without a home directory the work directory stays unset and every path
  // request reports it.
  resolveWorkDir(params->workDir ? params->workDir->c_str() : nullptr);
  if (params->logLevel > 0) {
    std::uint32_t customer = 0, product = 0;
    stampCustomerId(&customer, nullptr);
    stampProductId(&product, nullptr);
    char* path = nullptr;
    if (int rc = workdirCheck(&path, product, customer, ".log", nullptr);
        rc != 0)
      return rc;
    CText pathOwner(path);
    if (int rc = openLog(&frame.log, params->maxLogSize, params->logQLen,
                         params->logLevel, path);
        rc != 0)
      return rc;
  }
  setLogModuleName("VORLAN", frame.log);
  writeLog(kLogInfo, frame.log, "kvaLibOpen with %s", redacted.c_str());
  if (params->httpsVerify == 0)
    writeLog(kLogWarning, frame.log,
             "HTTPS peers are not verified (HTTPSVerify 0) %s: %d", kUnit,
             __LINE__);
  writeLog(kLogInfo, frame.log, "Initialization complete %s: %d", kUnit,
           __LINE__);
  opened = true;
  return KEST_OK;
}

int closeFrame() {
  if (frame.params == nullptr) return KEST_E_NOT_ACTIVATED;
  clearProxyTexts();
  releaseVorlanParams(frame.params, frame.log);
  frame.params = nullptr;
  closeLog(frame.log);
  frame.log = nullptr;
  clearWorkDir();
  releaseLibraryStamp(nullptr);
  restoreEntityLoader();
  cleanupDependencies();
  return KEST_OK;
}

int filePath(const char* suffix, char** path) {
  std::uint32_t customer = 0, product = 0;
  if (int rc = stampCustomerId(&customer, frame.log); rc != 0) return rc;
  if (int rc = stampProductId(&product, frame.log); rc != 0) return rc;
  return workdirCheck(path, product, customer, suffix, frame.log);
}

int returnVersion(char** version, LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  if (version == nullptr) return logExit(log, 0, kUnit, __LINE__);
  *version = nullptr;
  constexpr std::size_t kSize = 40;
  *version = static_cast<char*>(std::malloc(kSize));
  if (*version == nullptr) return logExit(log, KEST_E_MEMORY, kUnit, __LINE__);
  std::snprintf(*version, kSize, "Library Version: %s KVA: %s", kLibraryVersion,
                kLibraryVersion);
  return logExit(log, 0, kUnit, __LINE__);
}

}  // namespace
}  // namespace vorlan

extern "C" {

int KestLibOpen(const char* params_xml) {
  return vorlan::guardCall(KEST_E_MEMORY,
                           [&] { return vorlan::openFrame(params_xml); });
}

int KestLibClose(void) {
  return vorlan::guardCall(KEST_E_MEMORY, [] { return vorlan::closeFrame(); });
}

int KestGetFilepath(const char* suffix, char** path) {
  if (path == nullptr) return KEST_E_INVALID_PARAMETER;
  *path = nullptr;
  if (suffix == nullptr) return KEST_E_INVALID_PARAMETER;
  return vorlan::guardCall(KEST_E_RT_MEMORY,
                           [&] { return vorlan::filePath(suffix, path); });
}

int ReturnVersion(char** version, LogContext* log) {
  return vorlan::guardCall(KEST_E_MEMORY,
                           [&] { return vorlan::returnVersion(version, log); });
}

}  // extern "C"
