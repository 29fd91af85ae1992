// Memory pools over APR, and small owners for APR and C resources.
#ifndef VORLAN_RUNTIME_KESTMEM_H
#define VORLAN_RUNTIME_KESTMEM_H

#include <apr_pools.h>
#include <apr_thread_mutex.h>

#include <cstdlib>
#include <memory>

struct LogContext;

namespace vorlan {

// Creates a pool with an allocator of its own (guarded by a mutex, since
// APR threads allocate from their parent's allocator). With `maxFree` other
// than 0 the allocator hands memory beyond that size back to the system at
// once. `parent` may be null. `label` names the pool for the reader only.
// Returns 0, or -3000 with *out null. Needs apr_initialize().
int createMemPool(apr_pool_t** out, apr_pool_t* parent, const char* label,
                  apr_size_t maxFree, LogContext* log);

// Destroys the pool in *slot, if any, and clears the slot. Returns 0.
int destroyMemPool(apr_pool_t** slot, LogContext* log);

struct PoolDeleter {
  void operator()(apr_pool_t* p) const noexcept { apr_pool_destroy(p); }
};
using PoolPtr = std::unique_ptr<apr_pool_t, PoolDeleter>;

struct FreeDeleter {
  void operator()(void* p) const noexcept { std::free(p); }
};
// A text from malloc(), as handed to callers of the C interface.
using CText = std::unique_ptr<char, FreeDeleter>;

// Holds an APR mutex for its scope; a null mutex is not locked at all, so
// that "lock only when asked" reads as one line.
class MutexLock {
 public:
  explicit MutexLock(apr_thread_mutex_t* m) : m_(m) {
    if (m_ != nullptr) apr_thread_mutex_lock(m_);
  }
  ~MutexLock() {
    if (m_ != nullptr) apr_thread_mutex_unlock(m_);
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  apr_thread_mutex_t* m_;
};

// Copies `s` with malloc(); null when memory runs out.
char* copyCText(const char* s, std::size_t len);

}  // namespace vorlan

#endif
