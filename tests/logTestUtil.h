// Helpers of the log tests: temporary directories, reading the log back as
// records, waiting for the log thread, and a recorder for the system log.
#ifndef VORLAN_TESTS_LOGTESTUTIL_H
#define VORLAN_TESTS_LOGTESTUTIL_H

#include <apr_thread_mutex.h>
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "runtime/kestThreads.h"
#include "runtime/logging.h"
#include "testUtil.h"

namespace vorlan::logtest {

using LogDir = test::TempDir;
using test::readFile;
using test::writeFile;

// Polls `done` until it holds or `limit` has passed; the result is its last
// answer. Only for waiting on the log thread, never to measure it.
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::seconds limit = std::chrono::seconds(30)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Waits until every record queued on `ctx` is in the file.
inline bool waitWritten(LogContext* ctx) {
  return waitUntil([ctx] { return pendingLogRecords(ctx) == 0; });
}

// Closes the log when it goes, unless the test closed it itself.
struct LogCloser {
  void operator()(LogContext* ctx) const { closeLog(ctx); }
};
using LogPtr = std::unique_ptr<LogContext, LogCloser>;

// Keeps the log thread from writing: the thread takes the file mutex before
// each record. Released when it goes, if the test has not released it.
class HeldFileMutex {
 public:
  explicit HeldFileMutex(LogContext* ctx) : worker_(logWorker(ctx)) {
    apr_thread_mutex_lock(worker_->ownerLock);
  }
  ~HeldFileMutex() { release(); }
  HeldFileMutex(const HeldFileMutex&) = delete;
  HeldFileMutex& operator=(const HeldFileMutex&) = delete;
  void release() {
    if (held_) apr_thread_mutex_unlock(worker_->ownerLock);
    held_ = false;
  }
  // Records in the queue itself, not counting one the thread has taken.
  unsigned queued() const { return apr_queue_size(worker_->queue); }
  bool stopRequested() const {
    apr_thread_mutex_lock(worker_->stopLock);
    int flag = worker_->stopFlag;
    apr_thread_mutex_unlock(worker_->stopLock);
    return flag != 0;
  }

 private:
  KestThread* worker_;
  bool held_ = true;
};

// Installs a recorder of the system log for its lifetime.
class SystemLogRecorder {
 public:
  SystemLogRecorder() {
    texts().clear();
    setSystemLogFunc(&record);
  }
  ~SystemLogRecorder() { setSystemLogFunc(nullptr); }
  SystemLogRecorder(const SystemLogRecorder&) = delete;
  SystemLogRecorder& operator=(const SystemLogRecorder&) = delete;
  std::vector<std::string> recorded() const {
    std::lock_guard<std::mutex> lock(mutex());
    return texts();
  }

 private:
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  static std::vector<std::string>& texts() {
    static std::vector<std::string> t;
    return t;
  }
  static void record(const char* text) {
    std::lock_guard<std::mutex> lock(mutex());
    texts().emplace_back(text);
  }
};

// One line of the log, recognised by the exact form of its kind.
struct Record {
  enum Kind { kStart, kMessage, kEnd, kTruncated, kOther } kind = kOther;
  std::string line;
  unsigned long long time = 0;  // start, end and truncated records
  std::string module, gress, text;
  int level = 0;
  unsigned long long thid = 0;
  unsigned long pid = 0;
};

inline Record parseRecord(const std::string& line) {
  static const std::regex start(
      R"(<logstart>(\d+): 4\.0\.0\.29 revision: 7554</logstart>)");
  static const std::regex end(R"(<logend>(\d+)</logend>)");
  static const std::regex truncated(
      R"(<logTruncated>(\d+): 4\.0\.0\.29 4\.0\.0\.29 revision: 7554</logTruncated>)");
  static const std::regex message(
      R"re(<logmessage type="([^"]*)" gress="(in|out|none)" loglevel=(\d+) thid=(\d+), pid=(\d+)>(.*)</logmessage>)re");
  Record r;
  r.line = line;
  std::smatch m;
  if (std::regex_match(line, m, start)) {
    r.kind = Record::kStart;
    r.time = std::stoull(m[1]);
  } else if (std::regex_match(line, m, end)) {
    r.kind = Record::kEnd;
    r.time = std::stoull(m[1]);
  } else if (std::regex_match(line, m, truncated)) {
    r.kind = Record::kTruncated;
    r.time = std::stoull(m[1]);
  } else if (std::regex_match(line, m, message)) {
    r.kind = Record::kMessage;
    r.module = m[1];
    r.gress = m[2];
    r.level = std::stoi(m[3]);
    r.thid = std::stoull(m[4]);
    r.pid = std::stoul(m[5]);
    r.text = m[6];
  }
  return r;
}

// The records of a log's content, one a line. A last line without its
// newline is returned as kOther, so that a cut record never passes.
inline std::vector<Record> parseLog(const std::string& content) {
  std::vector<Record> records;
  std::size_t from = 0;
  while (from < content.size()) {
    std::size_t nl = content.find('\n', from);
    if (nl == std::string::npos) {
      Record cut;
      cut.line = content.substr(from);
      records.push_back(cut);
      break;
    }
    records.push_back(parseRecord(content.substr(from, nl - from)));
    from = nl + 1;
  }
  return records;
}

// The text of the messages among `records`, in order.
inline std::vector<std::string> messageTexts(
    const std::vector<Record>& records) {
  std::vector<std::string> texts;
  for (const Record& r : records)
    if (r.kind == Record::kMessage) texts.push_back(r.text);
  return texts;
}

// The exact record writeLog() makes for a message written by `thread`.
inline std::string messageRecord(const std::string& module, int level,
                                 const std::string& text,
                                 pthread_t thread = pthread_self()) {
  const char* gress = (level & 16) ? "in" : (level & 32) ? "out" : "none";
  return "<logmessage type=\"" + module + "\" gress=\"" + gress +
         "\" loglevel=" + std::to_string(level) +
         " thid=" + std::to_string(static_cast<unsigned long long>(thread)) +
         ", pid=" + std::to_string(getpid()) + ">" + text + "</logmessage>\n";
}

}  // namespace vorlan::logtest

#endif
