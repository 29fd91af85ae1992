#include "runtime/logging.h"

#include <apr_file_info.h>
#include <apr_file_io.h>
#include <apr_fnmatch.h>
#include <apr_portable.h>
#include <apr_strings.h>
#include <apr_tables.h>
#include <apr_time.h>
#include <fcntl.h>
#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "runtime/kestMem.h"
#include "runtime/kestThreads.h"

namespace vorlan {

const char* const kLibraryVersion = "4.0.0.29";
const char* const kRevisionText = "revision: 7554";

// What every context on one log file shares.
struct LogSink {
  KestThread* worker = nullptr;  // its ownerLock is the file mutex
  apr_pool_t* filePool = nullptr;
  apr_file_t* file = nullptr;  // null: the log writes nothing
  std::string path;
  std::uint32_t maxSize = 0;
  int capacity = 0;
  LogContext* owner = nullptr;  // the context that opened the log
  // Records queued and not yet written or discarded by the log thread: one
  // the thread has taken off the queue still counts until it is in the file.
  std::atomic<int> unwritten{0};
};

namespace {

constexpr const char* kUnit = "logging";
constexpr apr_size_t kRotationPoolMaxFree = 16;
constexpr apr_size_t kCopyChunk = 8192;

// A queued record: the finished text follows the header in one allocation.
struct LogRecord {
  std::size_t length;
  char* text() { return reinterpret_cast<char*>(this + 1); }
};

void releaseRecord(void* item) { std::free(item); }

void defaultSystemLog(const char* text) {
  syslog(LOG_ERR, "%s %s", "Kestavorn: log thread", text);
}

std::atomic<SystemLogFunc> systemLogFunc{defaultSystemLog};

void systemLog(const char* text) { systemLogFunc.load()(text); }

void systemLogf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void systemLogf(const char* fmt, ...) {
  char text[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  systemLog(text);
}

std::string aprErrorText(apr_status_t st) {
  char buf[256];
  return apr_strerror(st, buf, sizeof buf);
}

unsigned long nowMicros() { return static_cast<unsigned long>(apr_time_now()); }

// How long a writer waits for another process to release the file. The
// wait is bounded, and the log thread gives up early once told to stop, so
// that a process stopped while holding the lock cannot hang the library's
// open or close.
constexpr apr_interval_time_t kFileLockPatience = 2 * APR_USEC_PER_SEC;

bool lockBusy(apr_status_t st) {
  return APR_STATUS_IS_EAGAIN(st) || APR_STATUS_IS_EINTR(st) ||
         st == APR_FROM_OS_ERROR(EACCES);
}

// Takes the file mutex, then the exclusive file lock, and moves to the end.
int lockLogFile(LogSink* sink, bool logThread = false) {
  apr_thread_mutex_lock(sink->worker->ownerLock);
  apr_time_t deadline = apr_time_now() + kFileLockPatience;
  apr_interval_time_t pause = 1000;
  apr_status_t st;
  for (;;) {
    st = apr_file_lock(sink->file, APR_FLOCK_EXCLUSIVE | APR_FLOCK_NONBLOCK);
    if (st == APR_SUCCESS || !lockBusy(st) || apr_time_now() >= deadline ||
        (logThread && kestThreadStopping(sink->worker)))
      break;
    apr_sleep(pause);
    pause = std::min<apr_interval_time_t>(pause * 2, 50000);
  }
  if (st != APR_SUCCESS) {
    apr_thread_mutex_unlock(sink->worker->ownerLock);
    return -3043;
  }
  apr_off_t offset = 0;
  if (apr_file_seek(sink->file, APR_END, &offset) != APR_SUCCESS) {
    apr_file_unlock(sink->file);
    apr_thread_mutex_unlock(sink->worker->ownerLock);
    return -3079;
  }
  return 0;
}

int unlockLogFile(LogSink* sink) {
  apr_status_t st = apr_file_unlock(sink->file);
  apr_thread_mutex_unlock(sink->worker->ownerLock);
  return st == APR_SUCCESS ? 0 : -3044;
}

int writeText(LogSink* sink, const char* text, std::size_t length) {
  apr_size_t written = 0;
  apr_status_t st = apr_file_write_full(sink->file, text, length, &written);
  return (st != APR_SUCCESS || written != length) ? -3077 : 0;
}

// Writes a record formatted from `fmt`; the file lock must be held.
int writeFormatted(LogSink* sink, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));
int writeFormatted(LogSink* sink, const char* fmt, ...) {
  char text[1024];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  if (n < 0) return -3077;
  std::size_t length = std::min(static_cast<std::size_t>(n), sizeof text - 1);
  return writeText(sink, text, length);
}

// A failed copy: reported to the system log and recorded in the log.
void reportCopyError(LogSink* sink, const char* what, apr_status_t st) {
  std::string error = aprErrorText(st);
  systemLogf("%s.", what);
  systemLog(error.c_str());
  writeFormatted(sink, "%s%s (%s)%s\n", "<logCopyError>", what, error.c_str(),
                 "</logCopyError>");
}

// Deletes the oldest copies (by inode change time) until two are left.
void pruneCopies(LogSink* sink, apr_pool_t* pool, const std::string& dir) {
  apr_array_header_t* names = nullptr;
  std::string pattern = sink->path + "_*";
  if (apr_match_glob(pattern.c_str(), &names, pool) != APR_SUCCESS ||
      names == nullptr)
    return;
  std::vector<const char*> copies;
  for (int i = 0; i < names->nelts; ++i)
    copies.push_back(APR_ARRAY_IDX(names, i, const char*));
  while (copies.size() > 2) {
    apr_time_t bound = apr_time_now();
    std::size_t oldest = 0;
    apr_time_t oldestTime = bound;
    bool anyTime = false;
    for (std::size_t i = 0; i < copies.size(); ++i) {
      std::string copyPath = dir + copies[i];
      apr_file_t* f = nullptr;
      apr_status_t st =
          apr_file_open(&f, copyPath.c_str(), APR_FOPEN_READ, 0, pool);
      if (st != APR_SUCCESS) {
        std::string error = aprErrorText(st);
        writeLog(kLogError, sink->owner, "%s: %d - %s - %s", kUnit, __LINE__,
                 error.c_str(), copyPath.c_str());
        continue;
      }
      apr_finfo_t info;
      st = apr_file_info_get(&info, APR_FINFO_CTIME, f);
      apr_file_close(f);
      if (st != APR_SUCCESS) {
        writeFormatted(sink, "%s%s%s%s\n", "<logRotationError>",
                       "File info error for ", copies[i],
                       "</logRotationError>");
        continue;
      }
      anyTime = true;
      if (info.ctime < oldestTime) {
        oldestTime = info.ctime;
        oldest = i;
      }
    }
    // Without a single readable time there is no oldest copy to pick, and
    // deleting one at random could take the newest.
    if (!anyTime) break;
    std::string victim = dir + copies[oldest];
    if (apr_file_remove(victim.c_str(), pool) != APR_SUCCESS) {
      writeFormatted(sink, "%s%s%s%s\n", "<logRotationError>",
                     "File delete error for ", copies[oldest],
                     "</logRotationError>");
    }
    // Whether or not it went, it is not looked at again.
    copies.erase(copies.begin() + static_cast<std::ptrdiff_t>(oldest));
  }
}

// Copies the log aside as "<path>_<microseconds>", keeping the two newest
// earlier copies, and empties it. The file lock is held throughout.
int rotateLog(LogSink* sink) {
  apr_file_flush(sink->file);
  apr_pool_t* pool = nullptr;
  if (createMemPool(&pool, nullptr, "rotation", kRotationPoolMaxFree,
                    nullptr) != 0)
    return -3000;
  PoolPtr owner(pool);

  std::string dir;
  if (std::size_t slash = sink->path.rfind('/'); slash != std::string::npos)
    dir = sink->path.substr(0, slash + 1);
  pruneCopies(sink, pool, dir);

  std::string copyPath = sink->path + "_" + std::to_string(apr_time_now());
  apr_file_t* copy = nullptr;
  apr_status_t st =
      apr_file_open(&copy, copyPath.c_str(),
                    APR_FOPEN_WRITE | APR_FOPEN_CREATE | APR_FOPEN_EXCL,
                    APR_FPROT_UREAD | APR_FPROT_UWRITE, pool);
  if (st != APR_SUCCESS) {
    reportCopyError(sink, "Error opening log copy file, skipping log truncate",
                    st);
    return 0;
  }
  auto abandonCopy = [&](const char* what, apr_status_t why) {
    apr_file_close(copy);
    apr_file_remove(copyPath.c_str(), pool);
    apr_off_t end = 0;
    apr_file_seek(sink->file, APR_END, &end);
    reportCopyError(sink, what, why);
    return 0;
  };
  apr_off_t start = 0;
  if ((st = apr_file_seek(sink->file, APR_SET, &start)) != APR_SUCCESS)
    return abandonCopy("Error rewinding log, skipping log truncate", st);
  char chunk[kCopyChunk];
  for (;;) {
    apr_size_t n = sizeof chunk;
    st = apr_file_read(sink->file, chunk, &n);
    if (st == APR_EOF) break;
    if (st != APR_SUCCESS)
      return abandonCopy("Error reading log, skipping log truncate", st);
    apr_size_t written = 0;
    st = apr_file_write_full(copy, chunk, n, &written);
    if (st != APR_SUCCESS)
      return abandonCopy("Error writing to log copy, skipping log truncate",
                         st);
  }
  apr_file_flush(copy);
  apr_file_close(copy);
  owner.reset();

  if (apr_file_trunc(sink->file, 0) != APR_SUCCESS) return -3042;
  // Truncating does not move the file position: go back to the start, or
  // the next write would leave a hole.
  apr_off_t end = 0;
  if (apr_file_seek(sink->file, APR_END, &end) != APR_SUCCESS) return -3042;
  return writeFormatted(sink, "<logTruncated>%lu: %s %s %s</logTruncated>\n",
                        nowMicros(), kLibraryVersion, kLibraryVersion,
                        kRevisionText);
}

int writeRecord(LogSink* sink, LogRecord* record) {
  if (int rc = lockLogFile(sink, true); rc != 0) return rc;
  int rc = 0;
  if (sink->maxSize != 0) {
    apr_finfo_t info;
    if (apr_file_info_get(&info, APR_FINFO_SIZE, sink->file) != APR_SUCCESS) {
      rc = -3042;
    } else if (info.size >= static_cast<apr_off_t>(sink->maxSize)) {
      rc = rotateLog(sink);
    }
  }
  if (rc == 0) rc = writeText(sink, record->text(), record->length);
  int unlockRc = unlockLogFile(sink);
  return rc != 0 ? rc : unlockRc;
}

void* APR_THREAD_FUNC logThread(apr_thread_t*, void* data) {
  auto* sink = static_cast<LogSink*>(data);
  for (;;) {
    void* item = nullptr;
    int stop = 0;
    int rc = takeKestThread(sink->worker, &item, &stop, nullptr);
    if (stop != 0 || rc == -3047) {
      if (item != nullptr) sink->unwritten.fetch_sub(1);
      releaseRecord(item);
      break;
    }
    // An interrupted wait (the queue woke the thread with nothing in it) is
    // not the end of the log: only the stop flag or a terminated queue is.
    if (rc != 0 || item == nullptr) continue;
    auto* record = static_cast<LogRecord*>(item);
    if (sink->file != nullptr && writeRecord(sink, record) != 0)
      std::fputs("logging queue\n", stderr);
    releaseRecord(record);
    sink->unwritten.fetch_sub(1);
  }
  return nullptr;
}

void destroySink(LogSink* sink) {
  destroyKestThread(sink->worker, nullptr);
  if (sink->file != nullptr) apr_file_close(sink->file);
  if (sink->filePool != nullptr) apr_pool_destroy(sink->filePool);
  delete sink;
}

}  // namespace

int logMaskForLevel(int logLevel) {
  if (logLevel < 1) return 0;
  if (logLevel <= 3) return (1 << logLevel) - 1;
  return 63;
}

int openLog(LogContext** out, std::uint32_t maxSize, int queueCapacity,
            int logLevel, const char* path) {
  *out = nullptr;
  int mask = logMaskForLevel(logLevel);
  if (mask == 0) return 0;
  if (path == nullptr) return -3042;
  auto* ctx = new (std::nothrow) LogContext;
  auto* sink = new (std::nothrow) LogSink;
  if (ctx == nullptr || sink == nullptr) {
    delete ctx;
    delete sink;
    return -3000;
  }
  try {
    sink->path = path;
  } catch (const std::bad_alloc&) {
    delete ctx;
    delete sink;
    return -3000;
  }
  ctx->mask = mask;
  ctx->sink = sink;
  ctx->ownsSink = true;
  sink->owner = ctx;
  sink->maxSize = maxSize;
  sink->capacity = queueCapacity;
  auto fail = [&](int rc) {
    destroySink(sink);
    delete ctx;
    return rc;
  };
  if (int rc = createKestThread(&sink->worker, queueCapacity, releaseRecord,
                                nullptr);
      rc != 0)
    return fail(rc);
  if (createMemPool(&sink->filePool, nullptr, "log", 0, nullptr) != 0)
    return fail(-3000);
  // The work directory may be shared with other users: never follow a
  // link planted in the log's place.
  int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    systemLog(aprErrorText(APR_FROM_OS_ERROR(errno)).c_str());
    return fail(-3078);
  }
  if (apr_os_file_put(&sink->file, &fd, APR_FOPEN_READ | APR_FOPEN_WRITE,
                      sink->filePool) != APR_SUCCESS) {
    close(fd);
    sink->file = nullptr;
    return fail(-3078);
  }
  if (int rc = lockLogFile(sink); rc != 0) return fail(rc);
  int rc = writeFormatted(sink, "<logstart>%lu: %s %s</logstart>\n",
                          nowMicros(), kLibraryVersion, kRevisionText);
  int unlockRc = unlockLogFile(sink);
  if (rc != 0) return fail(-3080);
  if (unlockRc != 0) return fail(unlockRc);
  if (startKestThread(sink->worker, logThread, sink, nullptr) != 0)
    return fail(-3027);
  *out = ctx;
  return 0;
}

int shareLog(LogContext* base, const char* module, LogContext** out) {
  *out = nullptr;
  if (base == nullptr) return 0;
  auto* ctx = new (std::nothrow) LogContext;
  if (ctx == nullptr) return -3000;
  ctx->mask = base->mask;
  ctx->sink = base->sink;
  if (int rc = setLogModuleName(module, ctx); rc != 0) {
    delete ctx;
    return rc;
  }
  *out = ctx;
  return 0;
}

int setLogModuleName(const char* name, LogContext* ctx) {
  if (ctx == nullptr) return 0;
  if (name == nullptr) return -3058;
  try {
    ctx->module = name;
  } catch (const std::bad_alloc&) {
    return -3000;
  }
  return 0;
}

int writeLog(int level, LogContext* ctx, const char* fmt, ...) {
  if (ctx == nullptr || (level & ctx->mask) == 0) return 0;
  const char* gress = (level & kLogEntry)  ? "in"
                      : (level & kLogExit) ? "out"
                                           : "none";
  static constexpr char kHead[] =
      "<logmessage type=\"%s\" gress=\"%s\" loglevel=%d thid=%llu, pid=%lu>";
  const auto thid = static_cast<unsigned long long>(pthread_self());
  const auto pid = static_cast<unsigned long>(getpid());
  // Each part is formatted once into a local buffer; only a part too long
  // for it is formatted again, straight into the record, so that nothing is
  // ever cut (a long module name must not cost the record its closing '>').
  char head[256];
  int headerLength = std::snprintf(
      head, sizeof head, kHead, ctx->module.c_str(), gress, level, thid, pid);
  if (headerLength < 0) return -3000;
  va_list ap;
  va_start(ap, fmt);
  char body[1024];
  va_list first;
  va_copy(first, ap);
  int messageLength = std::vsnprintf(body, sizeof body, fmt, first);
  va_end(first);
  if (messageLength < 0) {
    va_end(ap);
    systemLog("Memory message error in logging");
    return -3000;
  }
  static constexpr char kTail[] = "</logmessage>\n";
  auto headerSize = static_cast<std::size_t>(headerLength);
  auto messageSize = static_cast<std::size_t>(messageLength);
  std::size_t length = headerSize + messageSize + sizeof kTail - 1;
  auto* record =
      static_cast<LogRecord*>(std::malloc(sizeof(LogRecord) + length + 1));
  if (record == nullptr) {
    va_end(ap);
    systemLog("Memory error in logging");
    return -3000;
  }
  record->length = length;
  char* text = record->text();
  if (headerSize < sizeof head)
    std::memcpy(text, head, headerSize);
  else
    std::snprintf(text, headerSize + 1, kHead, ctx->module.c_str(), gress,
                  level, thid, pid);
  if (messageSize < sizeof body)
    std::memcpy(text + headerSize, body, messageSize);
  else
    std::vsnprintf(text + headerSize, messageSize + 1, fmt, ap);
  va_end(ap);
  std::memcpy(text + headerSize + messageSize, kTail, sizeof kTail);

  // Counted before it is queued, so that the log thread never takes a record
  // that is not counted yet.
  ctx->sink->unwritten.fetch_add(1);
  int rc = putKestThread(ctx->sink->worker, record, nullptr);
  if (rc == 0) return 0;
  ctx->sink->unwritten.fetch_sub(1);
  releaseRecord(record);
  if (rc == -3088) {
    systemLogf("Kestavorn: Max log queue len exceeded (%d)",
               ctx->sink->capacity);
    return -3000;
  }
  systemLog("Kestavorn: log queue error.");
  return rc;
}

int closeLog(LogContext* ctx) {
  if (ctx == nullptr) return 0;
  if (ctx->ownsSink) {
    LogSink* sink = ctx->sink;
    drainKestThread(sink->worker, nullptr);
    stopKestThread(sink->worker, nullptr);
    if (sink->file != nullptr) {
      if (lockLogFile(sink) == 0) {
        writeFormatted(sink, "<logend>%lu</logend>\n", nowMicros());
        unlockLogFile(sink);
      }
      apr_file_close(sink->file);
      sink->file = nullptr;
    }
    destroySink(sink);
  }
  delete ctx;
  return 0;
}

int pendingLogRecords(LogContext* ctx) {
  if (ctx == nullptr) return 0;
  return ctx->sink->unwritten.load();
}

KestThread* logWorker(LogContext* ctx) {
  return ctx != nullptr ? ctx->sink->worker : nullptr;
}

void setSystemLogFunc(SystemLogFunc fn) {
  systemLogFunc.store(fn != nullptr ? fn : defaultSystemLog);
}

void logEntry(LogContext* ctx, const char* unit, int line) {
  writeLog(kLogEntry, ctx, "%s: %d", unit, line);
}

int logExit(LogContext* ctx, int rc, const char* unit, int line, int level) {
  if (level == 0) level = rc == 0 ? kLogExit : kLogExit | kLogError;
  writeLog(level, ctx, "%s: %d", unit, line);
  return rc;
}

void logAprError(LogContext* ctx, apr_status_t status, const char* unit,
                 int line) {
  if (ctx == nullptr) return;
  std::string text = aprErrorText(status);
  writeLog(kLogError, ctx, "%s: %d - %s", unit, line, text.c_str());
}

}  // namespace vorlan
