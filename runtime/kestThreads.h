// One worker thread fed by a bounded queue (KestThread), and a pool of worker
// threads running submitted jobs (KestPool). Every operation takes a log
// context, which may be null, and logs its entry and exit on it.
#ifndef VORLAN_RUNTIME_KESTTHREADS_H
#define VORLAN_RUNTIME_KESTTHREADS_H

#include <apr_queue.h>
#include <apr_thread_mutex.h>
#include <apr_thread_pool.h>
#include <apr_thread_proc.h>

#include <atomic>
#include <string>

struct LogContext;

namespace vorlan {

// Releases an item that was queued but never handled.
using ReleaseFunc = void (*)(void* item);

struct KestThread {
  apr_pool_t* pool = nullptr;  // owns the queue, the locks and the thread
  apr_thread_t* thread = nullptr;
  apr_thread_mutex_t* stopLock = nullptr;
  // Not used by the operations below: the owner serialises its file access
  // with it.
  apr_thread_mutex_t* ownerLock = nullptr;
  apr_queue_t* queue = nullptr;
  int capacity = 0;
  int lengthSnapshot = 0;
  int counter1 = 0;  // free for the owner
  int counter2 = 0;  // free for the owner
  int stopFlag = 0;  // guarded by stopLock
  ReleaseFunc release = nullptr;
  bool joined = false;
};

// The largest queue a worker may have.
inline constexpr int kMaxQueueCapacity = 1 << 20;

// Creates a worker with a queue of `capacity` items (1 to
// kMaxQueueCapacity) and no thread yet.
// `release` (may be null) receives every item that leaves the queue without
// being handled: by drain, by stop on a full queue, by destroy.
// 0; -3000 memory, pool or queue; -3062 a lock.
int createKestThread(KestThread** out, int capacity, ReleaseFunc release,
                     LogContext* log);

// Starts the thread; `fn` receives the APR thread and `data`. 0, or -3027.
// Contract of `fn`: loop on takeKestThread() and return as soon as it hands
// out the stop flag set, releasing (not handling) the item that came with it.
int startKestThread(KestThread* t, apr_thread_start_t fn, void* data,
                    LogContext* log);

// Queues `item` without waiting; any thread may call it. 0; -3088 full;
// -3047 the queue has been terminated; -3048 any other failure.
int putKestThread(KestThread* t, void* item, LogContext* log);

// Waits for the next item. *item and *stop (read under the stop lock) are
// set with every result. 0; -3047 terminated; -3048 interrupted or failed.
// Only the worker's own thread calls it.
int takeKestThread(KestThread* t, void** item, int* stop, LogContext* log);

// Takes every waiting item without waiting and hands each non-null one to
// the release function.
void drainKestThread(KestThread* t, LogContext* log);

// The stop flag, read under the stop lock. Any thread.
bool kestThreadStopping(KestThread* t);

// Stores the queue's current length in lengthSnapshot.
void sampleKestThread(KestThread* t, LogContext* log);

// Tells the worker to stop (stop flag, then a null marker in the queue) and
// joins its thread when it was started. A full queue gives up its oldest
// item, to the release function, to make room for the marker. Returns 0.
// Called by one closing thread, never by the worker itself.
int stopKestThread(KestThread* t, LogContext* log);

// Stops the worker if that was not done, releases what is still queued,
// terminates the queue and frees everything. A null worker is accepted.
int destroyKestThread(KestThread* t, LogContext* log);

// Runs `job` on one of the pool's threads.
using KestJobFunc = void (*)(void* job);

struct KestPoolTask;

struct KestPool {
  apr_pool_t* pool = nullptr;  // owns the thread pool and the locks
  apr_thread_pool_t* threads = nullptr;
  apr_thread_mutex_t* stoppingLock = nullptr;
  apr_thread_mutex_t* tasksLock = nullptr;  // guards tasks
  std::string name;  // its c_str() is the owner tag of every task
  int minimum = 0;
  int maximum = 0;
  apr_size_t queued = 0;
  apr_size_t busy = 0;
  apr_size_t run = 0;
  // Set under stoppingLock by cancel; a running job may read it unlocked.
  std::atomic<int> stopping{0};
  ReleaseFunc release = nullptr;
  KestPoolTask* tasks = nullptr;  // submitted jobs that have not started
};

// Creates a pool whose `minimum` threads run at once, growing to `maximum`.
// `release` (may be null) receives jobs that were submitted but never ran.
// 0; -3000 memory or thread pool; -3062 a lock.
int createKestPool(KestPool** out, int minimum, int maximum, const char* name,
                   ReleaseFunc release, LogContext* log);

// The threads run from creation; 0.
int startKestPool(KestPool* p, LogContext* log);

// Queues `job` for `fn`, with the pool's name as owner. Returns APR's
// status: APR_SUCCESS when accepted (the pool then owns the job), an error
// when refused (the caller keeps it), APR_EINVAL once the pool is
// cancelled. Any thread may call it; it never waits for a job.
int submitKestPool(KestPool* p, KestJobFunc fn, void* job);

// Stores the number of waiting tasks, busy threads and tasks run.
void sampleKestPool(KestPool* p, LogContext* log);

// Sets the stopping flag, drops every waiting job (to the release function)
// and waits for running jobs to finish. 0, or -3045. Never call it from one
// of the pool's threads.
int cancelKestPool(KestPool* p, LogContext* log);

// Ends the threads (waiting for them), releases jobs that never ran and
// frees the pool. A null pool is accepted.
int destroyKestPool(KestPool* p, LogContext* log);

}  // namespace vorlan

#endif
