#include "runtime/kestThreads.h"

#include <pthread.h>

#include <csignal>
#include <new>

#include "runtime/kestMem.h"
#include "runtime/logging.h"

namespace vorlan {
namespace {

constexpr const char* kUnit = "kestThreads";
constexpr apr_size_t kThreadPoolMaxFree = 32;
constexpr apr_size_t kWorkerPoolMaxFree = 64;
constexpr apr_byte_t kTaskPriority = 127;

int readStopFlag(KestThread* t) {
  MutexLock lock(t->stopLock);
  return t->stopFlag;
}

void releaseItem(KestThread* t, void* item) {
  if (item != nullptr && t->release != nullptr) t->release(item);
}

}  // namespace

int createKestThread(KestThread** out, int capacity, ReleaseFunc release,
                     LogContext* log) {
  *out = nullptr;
  logEntry(log, kUnit, __LINE__);
  // APR allocates the whole queue at once and does not survive a failed
  // allocation, so the capacity is bounded here.
  if (capacity < 1 || capacity > kMaxQueueCapacity)
    return logExit(log, -3000, kUnit, __LINE__);
  auto* t = new (std::nothrow) KestThread;
  if (t == nullptr) return logExit(log, -3000, kUnit, __LINE__);
  if (createMemPool(&t->pool, nullptr, "KestThread", kThreadPoolMaxFree, log) !=
      0) {
    delete t;
    return logExit(log, -3000, kUnit, __LINE__);
  }
  int rc = 0;
  if (apr_thread_mutex_create(&t->stopLock, APR_THREAD_MUTEX_DEFAULT,
                              t->pool) != APR_SUCCESS ||
      apr_thread_mutex_create(&t->ownerLock, APR_THREAD_MUTEX_DEFAULT,
                              t->pool) != APR_SUCCESS) {
    rc = -3062;
  } else if (apr_queue_create(&t->queue, static_cast<unsigned>(capacity),
                              t->pool) != APR_SUCCESS) {
    rc = -3000;
  }
  if (rc != 0) {
    apr_pool_destroy(t->pool);
    delete t;
    return logExit(log, rc, kUnit, __LINE__);
  }
  t->capacity = capacity;
  t->release = release;
  *out = t;
  return logExit(log, 0, kUnit, __LINE__);
}

int startKestThread(KestThread* t, apr_thread_start_t fn, void* data,
                    LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  if (t == nullptr || t->thread != nullptr)
    return logExit(log, -3027, kUnit, __LINE__);
  apr_threadattr_t* attr = nullptr;
  // The thread inherits the creator's signal mask: create it with SIGPIPE
  // blocked, so that a peer closing a connection never signals the host.
  sigset_t pipe, previous;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, &previous);
  bool created =
      apr_threadattr_create(&attr, t->pool) == APR_SUCCESS &&
      apr_thread_create(&t->thread, attr, fn, data, t->pool) == APR_SUCCESS;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!created) {
    t->thread = nullptr;
    return logExit(log, -3027, kUnit, __LINE__);
  }
  return logExit(log, 0, kUnit, __LINE__);
}

int putKestThread(KestThread* t, void* item, LogContext* log) {
  if (t == nullptr || t->queue == nullptr) return -3047;
  apr_status_t st = apr_queue_trypush(t->queue, item);
  if (st == APR_SUCCESS) return 0;
  if (st == APR_EAGAIN) {
    writeLog(34, log, "Thread queue is full %s: %d", kUnit, __LINE__);
    return -3088;
  }
  if (st == APR_EOF) return -3047;
  writeLog(33, log, "%s: %d (%d)", kUnit, __LINE__, st);
  return -3048;
}

int takeKestThread(KestThread* t, void** item, int* stop, LogContext* log) {
  *item = nullptr;
  *stop = 0;
  if (t == nullptr || t->queue == nullptr) return -3047;
  apr_status_t st = apr_queue_pop(t->queue, item);
  *stop = readStopFlag(t);
  if (st == APR_SUCCESS) return 0;
  *item = nullptr;
  if (st == APR_EOF) return -3047;
  writeLog(33, log, "%s: %d (%d)", kUnit, __LINE__, st);
  return -3048;
}

void drainKestThread(KestThread* t, LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  if (t != nullptr && t->queue != nullptr) {
    void* item = nullptr;
    while (apr_queue_trypop(t->queue, &item) == APR_SUCCESS) {
      releaseItem(t, item);
      item = nullptr;
    }
  }
  logExit(log, 0, kUnit, __LINE__);
}

bool kestThreadStopping(KestThread* t) { return readStopFlag(t) != 0; }

void sampleKestThread(KestThread* t, LogContext* log) {
  (void)log;
  if (t != nullptr && t->queue != nullptr)
    t->lengthSnapshot = static_cast<int>(apr_queue_size(t->queue));
}

int stopKestThread(KestThread* t, LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  if (t == nullptr) return logExit(log, 0, kUnit, __LINE__);
  {
    MutexLock lock(t->stopLock);
    t->stopFlag = 1;
  }
  apr_status_t st = apr_queue_trypush(t->queue, nullptr);
  if (st == APR_EOF) {
    writeLog(34, log, "Queue already shutdown %s: %d", kUnit, __LINE__);
  } else {
    // Make room for the marker; the item given up goes to its owner's
    // release function rather than being leaked. Other threads may refill
    // the queue meanwhile, so try a bounded number of times.
    for (int tries = 0; st == APR_EAGAIN && tries <= t->capacity; ++tries) {
      void* item = nullptr;
      if (apr_queue_trypop(t->queue, &item) != APR_SUCCESS) break;
      releaseItem(t, item);
      st = apr_queue_trypush(t->queue, nullptr);
    }
  }
  if (st != APR_SUCCESS && st != APR_EOF) {
    // Terminating wakes the worker; its take then reports the stop flag.
    // What is still queued can no longer be taken out: release it first.
    drainKestThread(t, log);
    apr_queue_term(t->queue);
    writeLog(34, log, "Forcing thread down %s: %d", kUnit, __LINE__);
  }
  // The flag is set before any wake-up, so a started worker always ends:
  // join it, so that nothing of ours runs once stop has returned.
  if (t->thread != nullptr && !t->joined) {
    apr_status_t retval = APR_SUCCESS;
    apr_thread_join(&retval, t->thread);
    t->joined = true;
  }
  return logExit(log, 0, kUnit, __LINE__);
}

int destroyKestThread(KestThread* t, LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  if (t == nullptr) return logExit(log, 0, kUnit, __LINE__, 34);
  if (t->thread != nullptr && !t->joined) stopKestThread(t, log);
  drainKestThread(t, log);
  apr_queue_term(t->queue);
  apr_thread_mutex_destroy(t->stopLock);
  apr_thread_mutex_destroy(t->ownerLock);
  apr_pool_destroy(t->pool);
  delete t;
  return logExit(log, 0, kUnit, __LINE__);
}

// A job on its way through the pool. Listed in KestPool::tasks from submit
// until a pool thread starts it, so that jobs APR drops can be released.
struct KestPoolTask {
  KestPool* pool;
  KestJobFunc fn;
  void* job;
  KestPoolTask* prev;
  KestPoolTask* next;
};

namespace {

void unlinkTask(KestPool* p, KestPoolTask* task) {
  if (task->prev != nullptr)
    task->prev->next = task->next;
  else
    p->tasks = task->next;
  if (task->next != nullptr) task->next->prev = task->prev;
  task->prev = task->next = nullptr;
}

void* APR_THREAD_FUNC runPoolTask(apr_thread_t*, void* data) {
  // Pool threads are the library's own, whoever made them: a broken
  // connection must give EPIPE there, never SIGPIPE to the host.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  auto* task = static_cast<KestPoolTask*>(data);
  KestPool* p = task->pool;
  {
    MutexLock lock(p->tasksLock);
    unlinkTask(p, task);
  }
  task->fn(task->job);
  delete task;
  return nullptr;
}

// Releases every job still listed: APR removed them without running them.
void releaseWaitingTasks(KestPool* p) {
  KestPoolTask* list = nullptr;
  {
    MutexLock lock(p->tasksLock);
    list = p->tasks;
    p->tasks = nullptr;
  }
  while (list != nullptr) {
    KestPoolTask* next = list->next;
    if (p->release != nullptr && list->job != nullptr) p->release(list->job);
    delete list;
    list = next;
  }
}

}  // namespace

int createKestPool(KestPool** out, int minimum, int maximum, const char* name,
                   ReleaseFunc release, LogContext* log) {
  *out = nullptr;
  logEntry(log, kUnit, __LINE__);
  if (name == nullptr || minimum < 0 || maximum < 1)
    return logExit(log, -3000, kUnit, __LINE__);
  auto* p = new (std::nothrow) KestPool;
  if (p == nullptr) return logExit(log, -3000, kUnit, __LINE__);
  try {
    p->name = name;
  } catch (const std::bad_alloc&) {
    delete p;
    return logExit(log, -3000, kUnit, __LINE__);
  }
  if (createMemPool(&p->pool, nullptr, "KestPool", kWorkerPoolMaxFree, log) !=
      0) {
    delete p;
    return logExit(log, -3000, kUnit, __LINE__);
  }
  int rc = 0;
  if (apr_thread_mutex_create(&p->stoppingLock, APR_THREAD_MUTEX_DEFAULT,
                              p->pool) != APR_SUCCESS ||
      apr_thread_mutex_create(&p->tasksLock, APR_THREAD_MUTEX_DEFAULT,
                              p->pool) != APR_SUCCESS) {
    rc = -3062;
  } else if (apr_thread_pool_create(
                 &p->threads, static_cast<apr_size_t>(minimum),
                 static_cast<apr_size_t>(maximum), p->pool) != APR_SUCCESS) {
    rc = -3000;
  }
  if (rc != 0) {
    apr_pool_destroy(p->pool);
    delete p;
    return logExit(log, rc, kUnit, __LINE__);
  }
  p->minimum = minimum;
  p->maximum = maximum;
  p->release = release;
  *out = p;
  return logExit(log, 0, kUnit, __LINE__);
}

int startKestPool(KestPool* p, LogContext* log) {
  (void)p;
  logEntry(log, kUnit, __LINE__);
  return logExit(log, 0, kUnit, __LINE__);
}

int submitKestPool(KestPool* p, KestJobFunc fn, void* job) {
  if (p == nullptr || p->threads == nullptr || fn == nullptr) return APR_EINVAL;
  // Held across the push: once cancel has set the flag, nothing more enters
  // the pool, so nothing can slip in between APR's cancel and the release
  // of the jobs it dropped.
  MutexLock stoppingLock(p->stoppingLock);
  if (p->stopping != 0) return APR_EINVAL;
  auto* task = new (std::nothrow) KestPoolTask{p, fn, job, nullptr, nullptr};
  if (task == nullptr) return APR_ENOMEM;
  {
    MutexLock lock(p->tasksLock);
    task->next = p->tasks;
    if (p->tasks != nullptr) p->tasks->prev = task;
    p->tasks = task;
  }
  // The owner tag is compared by address: always the same pointer.
  apr_status_t st =
      apr_thread_pool_push(p->threads, runPoolTask, task, kTaskPriority,
                           const_cast<char*>(p->name.c_str()));
  if (st == APR_ENOMEM) {
    // APR made no task of it: the caller keeps the job.
    {
      MutexLock lock(p->tasksLock);
      unlinkTask(p, task);
    }
    delete task;
    return st;
  }
  // Any other failure is a thread that could not be started for it; the
  // task is queued all the same and runs on an existing thread, or is
  // released at cancel or destroy. The pool owns the job either way.
  return APR_SUCCESS;
}

void sampleKestPool(KestPool* p, LogContext* log) {
  (void)log;
  if (p == nullptr || p->threads == nullptr) return;
  p->queued = apr_thread_pool_tasks_count(p->threads);
  p->busy = apr_thread_pool_busy_count(p->threads);
  p->run = apr_thread_pool_tasks_run_count(p->threads);
}

int cancelKestPool(KestPool* p, LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  if (p == nullptr) return logExit(log, -3045, kUnit, __LINE__);
  {
    MutexLock lock(p->stoppingLock);
    p->stopping = 1;
  }
  // Removes the waiting tasks of this owner and waits for its running ones.
  apr_status_t st = apr_thread_pool_tasks_cancel(
      p->threads, const_cast<char*>(p->name.c_str()));
  // Whatever is still listed was removed unrun.
  releaseWaitingTasks(p);
  if (st != APR_SUCCESS) return logExit(log, -3045, kUnit, __LINE__);
  return logExit(log, 0, kUnit, __LINE__);
}

int destroyKestPool(KestPool* p, LogContext* log) {
  logEntry(log, kUnit, __LINE__);
  if (p == nullptr) return logExit(log, 0, kUnit, __LINE__, 34);
  apr_thread_pool_destroy(p->threads);  // waits for the threads to end
  releaseWaitingTasks(p);
  apr_thread_mutex_destroy(p->stoppingLock);
  apr_thread_mutex_destroy(p->tasksLock);
  apr_pool_destroy(p->pool);
  delete p;
  return logExit(log, 0, kUnit, __LINE__);
}

}  // namespace vorlan
