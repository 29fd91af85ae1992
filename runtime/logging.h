// The asynchronous log. Writers format a record on their own thread and queue
// it without waiting; one log thread appends queued records to the log file
// under an exclusive file lock (the file is shared by every process of the
// build), rotating it when it reaches its maximum size.
#ifndef VORLAN_RUNTIME_LOGGING_H
#define VORLAN_RUNTIME_LOGGING_H

#include <apr_errno.h>

#include <cstdint>
#include <string>

namespace vorlan {
struct KestThread;
struct LogSink;
}  // namespace vorlan

// One log user's handle. Contexts made by shareLog() use the sink of the
// context they were made from, and differ only in their module name.
struct LogContext {
  int mask = 0;  // message levels written; never 0 in an open log
  std::string module;
  vorlan::LogSink* sink = nullptr;
  bool ownsSink = false;
};

namespace vorlan {

// Message levels (bits; combined values such as 33 are used).
enum LogLevelBit : int {
  kLogError = 1,
  kLogWarning = 2,
  kLogInfo = 4,
  kLogDetail = 8,
  kLogEntry = 16,
  kLogExit = 32,
};

extern const char* const kLibraryVersion;  // "4.0.0.29"
extern const char* const kRevisionText;    // "revision: 7554"

// The mask for a LogLevel setting: 0 (no log) below 1, 2^b - 1 for 1 to 3,
// 63 from 4 on.
int logMaskForLevel(int logLevel);

// Opens the log at `path`: a queue of `queueCapacity` records, the file
// (created with mode 0666 narrowed by the umask), its start record and the
// log thread. `maxSize` 0 never rotates. With `logLevel` below 1, *out is
// null and the result 0. Codes: -3042 null path, -3000 memory, -3062 lock,
// -3078 file, -3043/-3079/-3080/-3044 start record, -3027 thread. After a
// failure nothing is left open.
int openLog(LogContext** out, std::uint32_t maxSize, int queueCapacity,
            int logLevel, const char* path);

// Makes *out, a context on the same log as `base` with another module name.
// Close it with closeLog() before `base`. A null `base` gives a null *out.
int shareLog(LogContext* base, const char* module, LogContext** out);

// 0; -3058 for a null name; -3000 when the copy fails. Null ctx: nothing.
int setLogModuleName(const char* name, LogContext* ctx);

// Formats and queues one message when `level` shares a bit with the mask.
// Never waits for the file. 0 when queued or filtered out; -3000 when memory
// runs out or the queue is full (the record is dropped and the drop reported
// to the system log); another queue code otherwise. Any thread.
int writeLog(int level, LogContext* ctx, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

// Discards queued records, ends the log thread, writes the end record and
// closes the file; a shared context only releases itself. Null accepted.
int closeLog(LogContext* ctx);

// Records queued and not yet written: a record the log thread is writing
// still counts, so at 0 every record queued so far is in the file and
// closeLog() loses none of them. 0 for a null context.
int pendingLogRecords(LogContext* ctx);

// The log thread's worker (null for a null context). Its ownerLock is the
// file mutex: a test holds it to keep the log thread from writing.
KestThread* logWorker(LogContext* ctx);

// Where failures of the log itself are reported: the system log (LOG_ERR)
// by default. Tests install a recorder; null restores the default.
using SystemLogFunc = void (*)(const char* text);
void setSystemLogFunc(SystemLogFunc fn);

// Entry (level 16) and exit messages "%s: %d". logExit writes at `level`,
// or when it is 0 at 32 for rc 0 and 33 otherwise; it returns rc.
void logEntry(LogContext* ctx, const char* unit, int line);
int logExit(LogContext* ctx, int rc, const char* unit, int line, int level = 0);
// Level 1 "%s: %d - %s" with APR's text for `status`.
void logAprError(LogContext* ctx, apr_status_t status, const char* unit,
                 int line);

}  // namespace vorlan

#endif
