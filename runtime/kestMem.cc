#include "runtime/kestMem.h"

#include <apr_allocator.h>
#include <apr_strings.h>
#include <apr_thread_mutex.h>

#include <cstring>

#include "runtime/logging.h"

namespace vorlan {
namespace {
constexpr const char* kUnit = "kestMem";
}

int createMemPool(apr_pool_t** out, apr_pool_t* parent, const char* label,
                  apr_size_t maxFree, LogContext* log) {
  (void)label;
  *out = nullptr;
  logEntry(log, kUnit, __LINE__);
  apr_allocator_t* allocator = nullptr;
  if (apr_status_t st = apr_allocator_create(&allocator); st != APR_SUCCESS) {
    logAprError(log, st, kUnit, __LINE__);
    return logExit(log, -3000, kUnit, __LINE__);
  }
  apr_pool_t* pool = nullptr;
  if (apr_status_t st = apr_pool_create_ex(&pool, parent, nullptr, allocator);
      st != APR_SUCCESS) {
    apr_allocator_destroy(allocator);
    logAprError(log, st, kUnit, __LINE__);
    return logExit(log, -3000, kUnit, __LINE__);
  }
  // From here the pool owns the allocator and frees it with itself.
  apr_allocator_owner_set(allocator, pool);
  apr_thread_mutex_t* mutex = nullptr;
  if (apr_status_t st =
          apr_thread_mutex_create(&mutex, APR_THREAD_MUTEX_DEFAULT, pool);
      st != APR_SUCCESS) {
    apr_pool_destroy(pool);
    logAprError(log, st, kUnit, __LINE__);
    return logExit(log, -3000, kUnit, __LINE__);
  }
  apr_allocator_mutex_set(allocator, mutex);
  if (maxFree != 0) apr_allocator_max_free_set(allocator, maxFree);
  *out = pool;
  return logExit(log, 0, kUnit, __LINE__);
}

int destroyMemPool(apr_pool_t** slot, LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  if (slot != nullptr && *slot != nullptr) {
    apr_pool_destroy(*slot);
    *slot = nullptr;
  }
  return logExit(log, 0, kUnit, __LINE__);
}

char* copyCText(const char* s, std::size_t len) {
  char* copy = static_cast<char*>(std::malloc(len + 1));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, s, len);
  copy[len] = '\0';
  return copy;
}

}  // namespace vorlan
