#include "frame/stampAccess.h"

#include <cstring>
#include <optional>

#include "runtime/kestMem.h"
#include "runtime/logging.h"

#ifndef VORLAN_STAMP_CUSTOMER_ID
#define VORLAN_STAMP_CUSTOMER_ID 12
#endif
#ifndef VORLAN_STAMP_PRODUCT_ID
#define VORLAN_STAMP_PRODUCT_ID 345
#endif
#ifndef VORLAN_STAMP_FLAGS
#define VORLAN_STAMP_FLAGS 0
#endif
#ifndef VORLAN_STAMP_MAX_CACHE
#define VORLAN_STAMP_MAX_CACHE 25000
#endif
#ifndef VORLAN_STAMP_MAX_LOG
#define VORLAN_STAMP_MAX_LOG 1048576
#endif
#ifndef VORLAN_STAMP_HOST
#define VORLAN_STAMP_HOST "analytics.kestavorn.example"
#endif
#ifndef VORLAN_STAMP_SUFFIX
#define VORLAN_STAMP_SUFFIX "/KestActServ"
#endif

namespace vorlan {
namespace {

constexpr const char* kUnit = "stampAccess";

constexpr StampRecord withChecksum(StampRecord r) {
  r.checksum = stampChecksum(r);
  return r;
}

}  // namespace

// The record vorlan-stamp finds and rewrites in the built library.
extern const StampRecord kCompiledStamp;
__attribute__((section(".vorlan_stamp"),
               used)) constexpr StampRecord kCompiledStamp =
    withChecksum(StampRecord{
        "VORLAN-STAMP", kStampLayoutVersion, VORLAN_STAMP_CUSTOMER_ID,
        VORLAN_STAMP_PRODUCT_ID, VORLAN_STAMP_FLAGS, VORLAN_STAMP_MAX_CACHE,
        VORLAN_STAMP_MAX_LOG, VORLAN_STAMP_HOST, VORLAN_STAMP_SUFFIX, 0});
static_assert(stampRecordValid(kCompiledStamp),
              "the compiled-in identity must be valid");

namespace {

struct LoadedStamp {
  StampRecord record;
};
std::optional<LoadedStamp> loaded;

template <class T, class Field>
int integerQuery(T* out, Field field, LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  if (!loaded) return logExit(log, -7115, kUnit, __LINE__);
  *out = static_cast<T>(loaded->record.*field);
  return logExit(log, 0, kUnit, __LINE__);
}

template <std::size_t N>
int textQuery(char** out, const char (StampRecord::*field)[N],
              LogContext* log) {
  *out = nullptr;
  logEntry(log, kUnit, __LINE__);
  if (!loaded) return logExit(log, -7115, kUnit, __LINE__);
  const char* text = loaded->record.*field;
  *out = copyCText(text, strnlen(text, N - 1));
  if (*out == nullptr) return logExit(log, -7001, kUnit, __LINE__);
  return logExit(log, 0, kUnit, __LINE__);
}

}  // namespace

int loadLibraryStampFrom(const StampRecord& record) {
  if (!stampRecordValid(record)) return -7115;
  loaded = LoadedStamp{record};
  return 0;
}

int loadLibraryStamp() {
  // Read through a volatile view: the record is rewritten in the built file
  // after compilation, so its compiled values must not be folded in.
  StampRecord copy;
  auto* from = reinterpret_cast<const volatile unsigned char*>(&kCompiledStamp);
  auto* to = reinterpret_cast<unsigned char*>(&copy);
  for (std::size_t i = 0; i < sizeof copy; ++i) to[i] = from[i];
  return loadLibraryStampFrom(copy);
}

int releaseLibraryStamp(LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  loaded.reset();
  return logExit(log, 0, kUnit, __LINE__);
}

int stampCustomerId(std::uint32_t* out, LogContext* log) {
  return integerQuery(out, &StampRecord::customerId, log);
}
int stampProductId(std::uint32_t* out, LogContext* log) {
  return integerQuery(out, &StampRecord::productId, log);
}
int stampFlags(std::uint32_t* out, LogContext* log) {
  return integerQuery(out, &StampRecord::flags, log);
}
int stampMaxCacheSize(std::int32_t* out, LogContext* log) {
  return integerQuery(out, &StampRecord::maxCacheSize, log);
}
int stampMaxLogSize(std::int32_t* out, LogContext* log) {
  return integerQuery(out, &StampRecord::maxLogSize, log);
}
int stampHost(char** out, LogContext* log) {
  return textQuery(out, &StampRecord::host, log);
}
int stampSuffix(char** out, LogContext* log) {
  return textQuery(out, &StampRecord::suffix, log);
}

}  // namespace vorlan
