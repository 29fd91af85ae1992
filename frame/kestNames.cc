#include "frame/kestNames.h"

#include <apr_sha1.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <vector>

#include "runtime/kestMem.h"
#include "runtime/logging.h"

namespace vorlan {
namespace {

constexpr const char* kUnit = "kestNames";

std::mutex workDirMutex;
std::optional<std::string> workDir;  // guarded by workDirMutex

std::optional<std::string> homeDirectory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
    return std::string(home);
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? static_cast<std::size_t>(hint) : 1024);
  for (int round = 0; round < 16; ++round) {
    passwd entry;
    passwd* found = nullptr;
    int rc = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0 || found == nullptr || found->pw_dir == nullptr ||
        *found->pw_dir == '\0')
      return std::nullopt;
    return std::string(found->pw_dir);
  }
  return std::nullopt;
}

// Sets the default when no directory is set; workDirMutex must be held.
int resolveLocked(const char* configured) {
  if (configured != nullptr) {
    workDir = configured;
    return 0;
  }
  std::optional<std::string> home = homeDirectory();
  if (!home) return -3020;
  workDir = *home + "/.kestavorn/";
  return 0;
}

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string fileStemNumber(std::uint32_t customerId, std::uint32_t productId) {
  auto n = static_cast<std::int32_t>(customerId * 100000u + productId);
  auto value = static_cast<std::uint64_t>(static_cast<std::int64_t>(n));
  char text[24];
  std::snprintf(text, sizeof text, "%" PRIu64, value);
  return text;
}

std::string fileStem(std::uint32_t customerId, std::uint32_t productId) {
  std::string number = fileStemNumber(customerId, productId);
  apr_sha1_ctx_t sha;
  apr_sha1_init(&sha);
  apr_sha1_update(&sha, number.data(), static_cast<unsigned>(number.size()));
  unsigned char digest[APR_SHA1_DIGESTSIZE];
  apr_sha1_final(digest, &sha);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char b : digest) {
    hex += kHex[b >> 4];
    hex += kHex[b & 15];
  }
  return hex.substr(0, 2 * number.size());
}

int resolveWorkDir(const char* configured) {
  std::lock_guard<std::mutex> lock(workDirMutex);
  workDir.reset();
  return resolveLocked(configured);
}

void clearWorkDir() {
  std::lock_guard<std::mutex> lock(workDirMutex);
  workDir.reset();
}

int copyWorkDir(std::string* out, LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  out->clear();
  std::lock_guard<std::mutex> lock(workDirMutex);
  if (!workDir) {
    if (int rc = resolveLocked(nullptr); rc != 0)
      return logExit(log, rc, kUnit, __LINE__);
  }
  *out = *workDir;
  return logExit(log, 0, kUnit, __LINE__);
}

int workdirCheck(char** outPath, std::uint32_t productId,
                 std::uint32_t customerId, const char* suffix,
                 LogContext* log) {
  *outPath = nullptr;
  logEntry(log, kUnit, __LINE__);
  std::string dir;
  if (int rc = copyWorkDir(&dir, log); rc != 0)
    return logExit(log, rc, kUnit, __LINE__);
  if (!isDirectory(dir)) {
    if (mkdir(dir.c_str(), 0777) == 0) {
      // The process mask narrows mkdir's mode; the directory is shared by
      // every user of the build, so widen it again.
      chmod(dir.c_str(), 0777);
    } else if (!isDirectory(dir)) {  // another process may have made it
      writeLog(kLogError, log, "%s: %d - cannot create %s", kUnit, __LINE__,
               dir.c_str());
      return logExit(log, -3017, kUnit, __LINE__);
    }
  }
  std::string path = dir + "/" + fileStem(customerId, productId) +
                     (suffix != nullptr ? suffix : "");
  *outPath = copyCText(path.data(), path.size());
  if (*outPath == nullptr) return logExit(log, -3000, kUnit, __LINE__);
  return logExit(log, 0, kUnit, __LINE__);
}

}  // namespace vorlan
