// The log's levels, the exact form of its records, module names, null
// contexts and failed opens.
#include <apr_errno.h>
#include <apr_time.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "logTestUtil.h"

namespace vorlan::logtest {
namespace {

TEST(LogLevelTest, MaskForEachLevelSetting) {
  const struct {
    int logLevel;
    int mask;
  } cases[] = {{-5, 0}, {0, 0},  {1, 1},  {2, 3},
               {3, 7},  {4, 63}, {5, 63}, {6, 63}};
  for (const auto& c : cases) {
    EXPECT_EQ(logMaskForLevel(c.logLevel), c.mask) << "LogLevel " << c.logLevel;
  }
}

TEST(LogLevelTest, BelowOneOpensNoLog) {
  LogDir dir;
  ASSERT_TRUE(dir.ok());
  for (int logLevel : {0, -1}) {
    SCOPED_TRACE(logLevel);
    std::string path = dir.file("level" + std::to_string(logLevel) + ".log");
    LogContext dummy;
    LogContext* ctx = &dummy;
    EXPECT_EQ(openLog(&ctx, 1000, 8, logLevel, path.c_str()), 0);
    EXPECT_EQ(ctx, nullptr);
    EXPECT_FALSE(std::filesystem::exists(path));
  }
}

// Which of a fixed set of message levels each LogLevel setting writes.
struct LevelCase {
  int logLevel;
  std::vector<int> written;
};

class LogLevelFilterTest : public testing::TestWithParam<LevelCase> {};

TEST_P(LogLevelFilterTest, WritesLevelsSharingABitWithTheMask) {
  const std::vector<int> levels = {1, 2, 4, 8, 16, 32, 33, 34, 9, 48};
  LogDir dir;
  ASSERT_TRUE(dir.ok());
  std::string path = dir.file("levels.log");
  LogContext* ctx = nullptr;
  ASSERT_EQ(openLog(&ctx, 0, 32, GetParam().logLevel, path.c_str()), 0);
  LogPtr log(ctx);
  for (int level : levels) EXPECT_EQ(writeLog(level, ctx, "at %d", level), 0);
  ASSERT_TRUE(waitWritten(ctx));
  log.reset();

  std::vector<int> written;
  for (const Record& r : parseLog(readFile(path))) {
    if (r.kind != Record::kMessage) continue;
    EXPECT_EQ(r.text, "at " + std::to_string(r.level));
    written.push_back(r.level);
  }
  EXPECT_EQ(written, GetParam().written);
}

INSTANTIATE_TEST_SUITE_P(
    Levels, LogLevelFilterTest,
    testing::Values(LevelCase{1, {1, 33, 9}}, LevelCase{2, {1, 2, 33, 34, 9}},
                    LevelCase{3, {1, 2, 4, 33, 34, 9}},
                    LevelCase{4, {1, 2, 4, 8, 16, 32, 33, 34, 9, 48}},
                    LevelCase{6, {1, 2, 4, 8, 16, 32, 33, 34, 9, 48}}),
    [](const testing::TestParamInfo<LevelCase>& p) {
      return "LogLevel" + std::to_string(p.param.logLevel);
    });

TEST(LogRecordTest, RecordsHaveTheirExactForm) {
  LogDir dir;
  ASSERT_TRUE(dir.ok());
  std::string path = dir.file("form.log");
  mode_t mask = umask(0);
  umask(mask);

  auto beforeOpen = static_cast<unsigned long long>(apr_time_now());
  LogContext* ctx = nullptr;
  ASSERT_EQ(openLog(&ctx, 0, 32, 4, path.c_str()), 0);
  auto afterOpen = static_cast<unsigned long long>(apr_time_now());
  LogPtr log(ctx);
  ASSERT_EQ(setLogModuleName("FORM", ctx), 0);

  // Entry beats exit: 48 is "in".
  const struct {
    int level;
    const char* gress;
  } gresses[] = {{1, "none"}, {16, "in"}, {32, "out"},
                 {33, "out"}, {48, "in"}, {12, "none"}};
  for (const auto& g : gresses)
    EXPECT_EQ(writeLog(g.level, ctx, "%s %d|%s", "level", g.level, g.gress), 0);
  pthread_t other{};
  std::thread([&] {
    other = pthread_self();
    writeLog(2, ctx, "from another thread");
  }).join();
  logEntry(ctx, "unitA", 11);
  EXPECT_EQ(logExit(ctx, 0, "unitB", 22), 0);
  EXPECT_EQ(logExit(ctx, 7, "unitC", 33), 7);
  EXPECT_EQ(logExit(ctx, 7, "unitD", 44, 4), 7);
  char aprText[256];
  apr_strerror(APR_ENOENT, aprText, sizeof aprText);
  logAprError(ctx, APR_ENOENT, "unitE", 55);
  ASSERT_TRUE(waitWritten(ctx));
  auto beforeClose = static_cast<unsigned long long>(apr_time_now());
  log.reset();
  auto afterClose = static_cast<unsigned long long>(apr_time_now());

  std::string content = readFile(path);
  std::vector<Record> records = parseLog(content);
  ASSERT_EQ(records.size(), 2 + std::size(gresses) + 1 + 5);
  for (const Record& r : records)
    EXPECT_NE(r.kind, Record::kOther) << "not a record: " << r.line;

  EXPECT_EQ(records.front().kind, Record::kStart);
  EXPECT_GE(records.front().time, beforeOpen);
  EXPECT_LE(records.front().time, afterOpen);
  EXPECT_EQ(records.back().kind, Record::kEnd);
  EXPECT_GE(records.back().time, beforeClose);
  EXPECT_LE(records.back().time, afterClose);

  std::string expected;
  for (const auto& g : gresses) {
    expected += messageRecord(
        "FORM", g.level, "level " + std::to_string(g.level) + "|" + g.gress);
  }
  expected += messageRecord("FORM", 2, "from another thread", other);
  expected += messageRecord("FORM", 16, "unitA: 11");
  expected += messageRecord("FORM", 32, "unitB: 22");
  expected += messageRecord("FORM", 33, "unitC: 33");
  expected += messageRecord("FORM", 4, "unitD: 44");
  expected += messageRecord("FORM", 1, std::string("unitE: 55 - ") + aprText);
  std::size_t startEnd = content.find('\n') + 1;
  std::size_t endStart = content.rfind('\n', content.size() - 2) + 1;
  EXPECT_EQ(content.substr(startEnd, endStart - startEnd), expected);

  // Created 0666 narrowed by the umask.
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

TEST(LogRecordTest, ModuleNamesAndLongTexts) {
  LogDir dir;
  ASSERT_TRUE(dir.ok());
  std::string path = dir.file("modules.log");
  LogContext* base = nullptr;
  ASSERT_EQ(openLog(&base, 0, 32, 4, path.c_str()), 0);
  LogPtr baseLog(base);
  LogContext* shared = nullptr;
  ASSERT_EQ(shareLog(base, "SHARED", &shared), 0);
  ASSERT_NE(shared, nullptr);
  LogPtr sharedLog(shared);

  const std::string longModule(400, 'M');
  const std::string longText(20000, 't');
  EXPECT_EQ(writeLog(1, base, "unnamed"), 0);
  EXPECT_EQ(setLogModuleName("BASE", base), 0);
  EXPECT_EQ(writeLog(1, base, "named"), 0);
  EXPECT_EQ(writeLog(1, shared, "shared"), 0);
  EXPECT_EQ(setLogModuleName(nullptr, base), -3058);
  EXPECT_EQ(writeLog(1, base, "still named"), 0);
  EXPECT_EQ(setLogModuleName(longModule.c_str(), shared), 0);
  EXPECT_EQ(writeLog(1, shared, "%s", longText.c_str()), 0);
  ASSERT_TRUE(waitWritten(base));
  sharedLog.reset();
  // The shared context's close leaves the log open for its base.
  EXPECT_EQ(writeLog(1, base, "after shared close"), 0);
  ASSERT_TRUE(waitWritten(base));
  baseLog.reset();

  std::string content = readFile(path);
  std::string expected = messageRecord("", 1, "unnamed") +
                         messageRecord("BASE", 1, "named") +
                         messageRecord("SHARED", 1, "shared") +
                         messageRecord("BASE", 1, "still named") +
                         messageRecord(longModule, 1, longText) +
                         messageRecord("BASE", 1, "after shared close");
  EXPECT_NE(content.find(expected), std::string::npos);
  std::vector<Record> records = parseLog(content);
  ASSERT_EQ(records.size(), 8u);
  EXPECT_EQ(records.front().kind, Record::kStart);
  EXPECT_EQ(records.back().kind, Record::kEnd);
}

TEST(LogNullTest, NullContextIsAcceptedEverywhere) {
  EXPECT_EQ(writeLog(1, nullptr, "nowhere %d", 1), 0);
  EXPECT_EQ(setLogModuleName("X", nullptr), 0);
  EXPECT_EQ(pendingLogRecords(nullptr), 0);
  EXPECT_EQ(closeLog(nullptr), 0);
  LogContext dummy;
  LogContext* out = &dummy;
  EXPECT_EQ(shareLog(nullptr, "X", &out), 0);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(logExit(nullptr, 9, "unit", 1), 9);
}

std::size_t entriesOf(const char* dirPath) {
  std::size_t n = 0;
  if (DIR* d = opendir(dirPath)) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

TEST(LogOpenTest, FailedOpenLeavesNothingOpen) {
  LogDir dir;
  ASSERT_TRUE(dir.ok());
  SystemLogRecorder systemLog;  // keeps the reports off the real system log
  const std::string missing = dir.file("missing") + "/x.log";
  const struct {
    const char* what;
    const char* path;
    int rc;
  } cases[] = {{"a directory", dir.path().c_str(), -3078},
               {"in a missing directory", missing.c_str(), -3078},
               {"null", nullptr, -3042}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::size_t fds = entriesOf("/proc/self/fd");
    std::size_t threads = entriesOf("/proc/self/task");
    LogContext dummy;
    LogContext* ctx = &dummy;
    EXPECT_EQ(openLog(&ctx, 1000, 8, 4, c.path), c.rc);
    EXPECT_EQ(ctx, nullptr);
    EXPECT_EQ(entriesOf("/proc/self/fd"), fds);
    EXPECT_EQ(entriesOf("/proc/self/task"), threads);
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
}

}  // namespace
}  // namespace vorlan::logtest
