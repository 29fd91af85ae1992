// The file side of the record stores: holding, reading and writing a
// store's file.
#include <apr_strings.h>

#include <cstring>
#include <map>
#include <mutex>
#include <new>

#include "runtime/kestMem.h"
#include "runtime/logging.h"
#include "runtime/payloadCipher.h"
#include "xml/xmlFileAccess.h"
#include "xml/xmlHelpers.h"

namespace vorlan {
namespace {

constexpr const char* kUnit = "xmlFileRW";
constexpr apr_size_t kReadPiece = 2047;

// Advisory record locks belong to the process, not to the open file: two
// stores of one process on the same file would not exclude each other, and
// closing either descriptor would drop the other's lock. So within the
// process one mutex per path is held for as long as the file is.
class PathMutexes {
 public:
  std::mutex& of(const std::string& path) {
    std::lock_guard<std::mutex> lock(mapMutex_);
    return byPath_[path];  // nodes are stable; never erased
  }

 private:
  std::mutex mapMutex_;
  std::map<std::string, std::mutex> byPath_;
};

PathMutexes& pathMutexes() {
  static auto* mutexes = new PathMutexes;  // lives as long as the process
  return *mutexes;
}

void logSystemError(LogContext* log, const char* what, const std::string& path,
                    apr_status_t st) {
  char text[256];
  apr_strerror(st, text, sizeof text);
  writeLog(kLogExit | kLogError, log, "%s %s: %d (%s) %s: %d", what,
           path.c_str(), st, text, kUnit, __LINE__);
}

// Drops the file: closes it with its pool and releases both mutexes.
void releaseFile(VorlanXML* store) {
  if (store->filePool != nullptr) apr_pool_destroy(store->filePool);
  store->filePool = nullptr;
  store->file = nullptr;
  if (store->filePath) pathMutexes().of(*store->filePath).unlock();
  apr_thread_mutex_unlock(store->fileLock);
}

}  // namespace

int lockVorlanXML(int exclusiveCreate, VorlanXML* store, LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  if (store == nullptr || !store->filePath)
    return logExit(log, -6013, kUnit, __LINE__);
  const std::string& path = *store->filePath;
  apr_thread_mutex_lock(store->fileLock);
  pathMutexes().of(path).lock();
  if (int rc =
          createMemPool(&store->filePool, nullptr, "lockVorlanXML", 0, log);
      rc != 0) {
    releaseFile(store);
    return logExit(log, rc, kUnit, __LINE__);
  }
  apr_int32_t flags = APR_FOPEN_READ | APR_FOPEN_WRITE | APR_FOPEN_CREATE;
  if (exclusiveCreate != 0) flags |= APR_FOPEN_EXCL;
  apr_status_t st = apr_file_open(&store->file, path.c_str(), flags,
                                  APR_FPROT_OS_DEFAULT, store->filePool);
  if (st != APR_SUCCESS) {
    logSystemError(log, "open", path, st);
    releaseFile(store);
    return logExit(log, -6013, kUnit, __LINE__);
  }
  do {
    st = apr_file_lock(store->file, APR_FLOCK_EXCLUSIVE);
  } while (APR_STATUS_IS_EINTR(st));
  if (st != APR_SUCCESS) {
    logSystemError(log, "lock", path, st);
    releaseFile(store);
    return logExit(log, -6014, kUnit, __LINE__);
  }
  return logExit(log, 0, kUnit, __LINE__);
}

int unlockVorlanXML(VorlanXML* store, LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  if (store == nullptr) return logExit(log, -6015, kUnit, __LINE__);
  if (store->file == nullptr) {
    writeLog(kLogError, log, "No file to unlock %s: %d", kUnit, __LINE__);
    // Only a successful lockVorlanXML leads here, so the mutexes are held.
    releaseFile(store);
    return logExit(log, -6015, kUnit, __LINE__);
  }
  apr_status_t st = apr_file_unlock(store->file);
  if (st != APR_SUCCESS) logSystemError(log, "unlock", *store->filePath, st);
  releaseFile(store);
  return logExit(log, st == APR_SUCCESS ? 0 : -6015, kUnit, __LINE__);
}

int readVorlanXML(int encoding, VorlanXML* store, LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  xmlFreeDoc(store->doc);
  store->doc = nullptr;
  store->text.clear();
  if (store->file == nullptr) return logExit(log, -6008, kUnit, __LINE__);
  apr_off_t start = 0;
  if (apr_file_seek(store->file, APR_SET, &start) != APR_SUCCESS)
    return logExit(log, -6021, kUnit, __LINE__);
  std::string content;
  char piece[kReadPiece];
  apr_status_t st;
  for (;;) {
    apr_size_t n = sizeof piece;
    st = apr_file_read(store->file, piece, &n);
    if (st != APR_SUCCESS) break;
    if (content.size() + n > kMaxStoreFileSize) {
      writeLog(kLogError, log, "Store file too large %s: %d", kUnit, __LINE__);
      return logExit(log, -6008, kUnit, __LINE__);
    }
    content.append(piece, n);
  }
  if (st != APR_EOF || content.empty()) {
    char text[256];
    apr_strerror(st, text, sizeof text);
    writeLog(kLogError, log, "%s: %d - %s (%d)", kUnit, __LINE__, text,
             static_cast<int>(content.size()));
    return logExit(log, -6008, kUnit, __LINE__);
  }
  std::string plain;
  if (encoding == 1) {
    if (int rc = payloadDecipher(content, &plain); rc != 0)
      return logExit(log, rc, kUnit, __LINE__);
  } else {
    plain = std::move(content);
  }
  XmlDocPtr doc;
  if (int rc = textToXml(plain.data(), plain.size(), &doc, log); rc != 0)
    return logExit(log, rc, kUnit, __LINE__);
  store->doc = doc.release();
  store->text = std::move(plain);
  return logExit(log, 0, kUnit, __LINE__);
}

int writeVorlanXML(int encoding, VorlanXML* store, LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  store->text.clear();
  if (store->file == nullptr) return logExit(log, -6009, kUnit, __LINE__);
  xmlToText(&store->text, store->doc, log);
  CText enciphered;
  const char* out = store->text.c_str();
  std::size_t length = store->text.size();
  if (encoding == 1) {
    char* cipher = nullptr;
    if (int rc = payloadEncipher(store->text.c_str(), &cipher); rc != 0)
      return logExit(log, rc, kUnit, __LINE__);
    enciphered.reset(cipher);
    out = cipher;
    length = std::strlen(cipher);
  }
  apr_off_t start = 0;
  if (apr_file_trunc(store->file, 0) != APR_SUCCESS ||
      apr_file_seek(store->file, APR_SET, &start) != APR_SUCCESS)
    return logExit(log, -6021, kUnit, __LINE__);
  apr_size_t written = 0;
  apr_status_t st = apr_file_write_full(store->file, out, length, &written);
  if (st != APR_SUCCESS || written != length)
    return logExit(log, -6009, kUnit, __LINE__);
  return logExit(log, 0, kUnit, __LINE__);
}

}  // namespace vorlan
