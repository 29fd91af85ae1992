// The log thread: a full queue, records pending, a wake-up without a record,
// closing with records queued, and several processes on one log.
#include <apr_queue.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <map>
#include <set>

#include "logTestUtil.h"

namespace vorlan::logtest {
namespace {

struct FullQueueCase {
  int capacity;
  int surplus;
};

class LogQueueFullTest : public testing::TestWithParam<FullQueueCase> {};

TEST_P(LogQueueFullTest, SurplusIsDroppedAndReported) {
  const auto [capacity, surplus] = GetParam();
  LogDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("full.log");
  SystemLogRecorder systemLog;
  LogContext* ctx = nullptr;
  ASSERT_EQ(openLog(&ctx, 0, capacity, 4, path.c_str()), 0);
  LogPtr log(ctx);

  std::vector<std::string> expected = {"taken"};
  {
    HeldFileMutex held(ctx);
    ASSERT_EQ(writeLog(4, ctx, "taken"), 0);
    // Once the thread holds "taken" (waiting for the file), the queue has
    // room for exactly `capacity` records.
    ASSERT_TRUE(waitUntil([&] { return held.queued() == 0; }));
    for (int i = 0; i < capacity; ++i) {
      EXPECT_EQ(writeLog(4, ctx, "kept %d", i), 0) << i;
      expected.push_back("kept " + std::to_string(i));
    }
    for (int i = 0; i < surplus; ++i)
      EXPECT_EQ(writeLog(4, ctx, "dropped %d", i), -3000) << i;
    EXPECT_EQ(pendingLogRecords(ctx), capacity + 1);
  }
  ASSERT_TRUE(waitWritten(ctx));
  log.reset();

  std::vector<Record> records = parseLog(readFile(path));
  EXPECT_EQ(messageTexts(records), expected);
  EXPECT_EQ(records.back().kind, Record::kEnd);
  const std::string report = "Kestavorn: Max log queue len exceeded (" +
                             std::to_string(capacity) + ")";
  EXPECT_EQ(
      systemLog.recorded(),
      std::vector<std::string>(static_cast<std::size_t>(surplus), report));
}

INSTANTIATE_TEST_SUITE_P(Capacities, LogQueueFullTest,
                         testing::Values(FullQueueCase{1, 1},
                                         FullQueueCase{1, 3},
                                         FullQueueCase{6, 4}),
                         [](const testing::TestParamInfo<FullQueueCase>& p) {
                           return "Capacity" +
                                  std::to_string(p.param.capacity) + "Surplus" +
                                  std::to_string(p.param.surplus);
                         });

// A record the thread has taken but not written yet is still pending, so
// that a caller waiting for 0 before closing loses nothing.
TEST(LogQueueTest, RecordIsPendingUntilWritten) {
  LogDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("pending.log");
  LogContext* ctx = nullptr;
  ASSERT_EQ(openLog(&ctx, 0, 8, 4, path.c_str()), 0);
  LogPtr log(ctx);
  {
    HeldFileMutex held(ctx);
    ASSERT_EQ(writeLog(4, ctx, "first"), 0);
    ASSERT_TRUE(waitUntil([&] { return held.queued() == 0; }));
    EXPECT_EQ(pendingLogRecords(ctx), 1);
    ASSERT_EQ(writeLog(4, ctx, "second"), 0);
    EXPECT_EQ(pendingLogRecords(ctx), 2);
  }
  ASSERT_TRUE(waitWritten(ctx));
  EXPECT_EQ(messageTexts(parseLog(readFile(path))),
            (std::vector<std::string>{"first", "second"}));
  log.reset();
}

// The queue may wake its waiting reader with nothing to take (APR calls it
// an interruption); the thread must go on waiting, not end.
TEST(LogQueueTest, WakeUpWithoutRecordKeepsTheThreadRunning) {
  LogDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("wake.log");
  LogContext* ctx = nullptr;
  ASSERT_EQ(openLog(&ctx, 0, 8, 4, path.c_str()), 0);
  LogPtr log(ctx);
  std::vector<std::string> expected;
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(writeLog(4, ctx, "round %d", round), 0);
    expected.push_back("round " + std::to_string(round));
    ASSERT_TRUE(waitWritten(ctx)) << "the thread stopped before " << round;
    // The thread is on its way back to waiting: wake it a few times.
    for (int i = 0; i < 50; ++i) {
      apr_queue_interrupt_all(logWorker(ctx)->queue);
      std::this_thread::yield();
    }
  }
  ASSERT_EQ(writeLog(4, ctx, "last"), 0);
  expected.push_back("last");
  ASSERT_TRUE(waitWritten(ctx));
  log.reset();
  EXPECT_EQ(messageTexts(parseLog(readFile(path))), expected);
}

TEST(LogCloseTest, CloseDiscardsQueuedRecordsAndEndsTheLog) {
  LogDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("close.log");
  LogContext* ctx = nullptr;
  ASSERT_EQ(openLog(&ctx, 0, 16, 4, path.c_str()), 0);

  int closeRc = -1;
  bool stopSeen = false;
  {
    HeldFileMutex held(ctx);
    ASSERT_EQ(writeLog(4, ctx, "taken"), 0);
    bool taken = waitUntil([&] { return held.queued() == 0; });
    for (int i = 0; i < 5; ++i) EXPECT_EQ(writeLog(4, ctx, "queued %d", i), 0);
    // closeLog waits for the thread, which waits for the mutex: close on
    // another thread, and let the thread go once close has discarded the
    // queue and asked it to stop. The mutex is released whatever happens,
    // so the close always ends.
    std::thread closer([&] { closeRc = closeLog(ctx); });
    stopSeen = taken && waitUntil([&] { return held.stopRequested(); });
    held.release();
    closer.join();
    ASSERT_TRUE(taken);
  }
  EXPECT_TRUE(stopSeen);
  EXPECT_EQ(closeRc, 0);

  std::vector<Record> records = parseLog(readFile(path));
  ASSERT_GE(records.size(), 2u);
  EXPECT_EQ(records.front().kind, Record::kStart);
  EXPECT_EQ(records.back().kind, Record::kEnd);
  // "taken" left the queue before the close; it may or may not have been
  // written. None of the queued ones was.
  std::vector<std::string> texts = messageTexts(records);
  EXPECT_LE(texts.size(), 1u);
  if (!texts.empty()) {
    EXPECT_EQ(texts[0], "taken");
  }
  EXPECT_EQ(records.size(), 2 + texts.size());
}

// Several processes writing one log at once: every line is one whole
// record, and each process's records are all there, in order.
TEST(LogProcessTest, ConcurrentProcessesWriteWholeRecords) {
  constexpr int kProcesses = 3;
  constexpr int kMessages = 500;
  LogDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("shared.log");

  int ready[2], go[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(go), 0);
  // Everything the child needs is made before fork().
  std::string readyFd = std::to_string(ready[1]);
  std::string goFd = std::to_string(go[0]);
  std::string count = std::to_string(kMessages);
  std::string writer = VORLAN_LOG_WRITER;
  char* argv[] = {writer.data(), const_cast<char*>(path.c_str()),
                  count.data(),  readyFd.data(),
                  goFd.data(),   nullptr};
  std::vector<pid_t> children;
  for (int i = 0; i < kProcesses; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      close(ready[0]);
      close(go[1]);
      execv(argv[0], argv);
      _exit(127);
    }
    if (pid > 0) children.push_back(pid);
  }
  close(ready[1]);
  close(go[0]);
  // Each writer reports once its log is open and then closes its end, so
  // this ends even when one of them fails.
  int readyCount = 0;
  pollfd pfd{ready[0], POLLIN, 0};
  while (readyCount < kProcesses && poll(&pfd, 1, 60000) > 0) {
    char c;
    ssize_t n = read(ready[0], &c, 1);
    if (n <= 0) break;
    ++readyCount;
  }
  close(ready[0]);
  close(go[1]);  // every writer starts now

  auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  std::map<pid_t, int> statuses;
  while (statuses.size() < children.size()) {
    for (pid_t pid : children) {
      int status = 0;
      if (statuses.count(pid) == 0 && waitpid(pid, &status, WNOHANG) == pid)
        statuses[pid] = status;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      for (pid_t pid : children)
        if (statuses.count(pid) == 0) kill(pid, SIGKILL);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(children.size(), static_cast<std::size_t>(kProcesses));
  EXPECT_EQ(readyCount, kProcesses);
  for (const auto& [pid, status] : statuses) {
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "writer " << pid << " status " << status;
  }

  std::string body;
  for (int i = 0; i < 300; ++i) body += static_cast<char>('A' + i % 26);
  std::vector<Record> records = parseLog(readFile(path));
  int starts = 0, ends = 0;
  std::map<unsigned long, std::vector<int>> sequences;
  std::map<unsigned long, std::set<unsigned long long>> threads;
  for (const Record& r : records) {
    switch (r.kind) {
      case Record::kStart:
        ++starts;
        break;
      case Record::kEnd:
        ++ends;
        break;
      case Record::kMessage: {
        EXPECT_EQ(r.module, "WRITER");
        int seq = -1;
        ASSERT_EQ(std::sscanf(r.text.c_str(), "pid=%*u seq=%d", &seq), 1)
            << r.line;
        EXPECT_EQ(r.text, "pid=" + std::to_string(r.pid) +
                              " seq=" + std::to_string(seq) + " " + body);
        sequences[r.pid].push_back(seq);
        threads[r.pid].insert(r.thid);
        break;
      }
      default:
        ADD_FAILURE() << "not one whole record: " << r.line.substr(0, 200);
    }
  }
  EXPECT_EQ(starts, kProcesses);
  EXPECT_EQ(ends, kProcesses);
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back().kind, Record::kEnd);
  std::vector<int> inOrder(kMessages);
  for (int i = 0; i < kMessages; ++i) inOrder[i] = i;
  ASSERT_EQ(sequences.size(), children.size());
  for (pid_t pid : children) {
    auto found = sequences.find(static_cast<unsigned long>(pid));
    ASSERT_NE(found, sequences.end()) << "nothing from " << pid;
    EXPECT_EQ(found->second, inOrder) << "writer " << pid;
    EXPECT_EQ(threads[found->first].size(), 1u);
  }
}

}  // namespace
}  // namespace vorlan::logtest
