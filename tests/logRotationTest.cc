// Rotation of the log at its maximum size, and the copies it keeps.
#include <apr_file_info.h>
#include <apr_time.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>

#include "logTestUtil.h"

namespace vorlan::logtest {
namespace {

namespace fs = std::filesystem;

// The start record openLog() writes now.
std::size_t startRecordLength() {
  return std::string("<logstart>" + std::to_string(apr_time_now()) +
                     ": 4.0.0.29 revision: 7554</logstart>\n")
      .size();
}

// Content of `size` bytes standing for what other runs logged earlier.
std::string earlierContent(std::size_t size) {
  std::string content;
  while (content.size() < size) {
    std::string line = "earlier line " + std::to_string(content.size());
    line.resize(std::min<std::size_t>(line.size(), size - content.size() - 1),
                '.');
    content += line + "\n";
  }
  return content;
}

// The names "<log>_<suffix>" in `dir`, as suffixes.
std::vector<std::string> copySuffixes(const std::string& dir,
                                      const std::string& logName) {
  std::vector<std::string> suffixes;
  for (const auto& entry : fs::directory_iterator(dir)) {
    std::string name = entry.path().filename().string();
    if (name.rfind(logName + "_", 0) == 0)
      suffixes.push_back(name.substr(logName.size() + 1));
  }
  std::sort(suffixes.begin(), suffixes.end());
  return suffixes;
}

bool allDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) {
    return std::isdigit(c) != 0;
  });
}

struct RotationCase {
  const char* name;
  std::uint32_t maxSize;
  std::size_t sizeAfterOpen;  // the file, start record included
  int messages;
  int rotatingMessage;  // the message that finds the file full; -1 none
};

class LogRotationTest : public testing::TestWithParam<RotationCase> {};

TEST_P(LogRotationTest, RotatesBeforeTheRecordThatFindsTheFileFull) {
  const RotationCase& c = GetParam();
  LogDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("rot.log");
  std::string earlier = earlierContent(c.sizeAfterOpen - startRecordLength());
  writeFile(path, earlier);

  auto beforeOpen = static_cast<unsigned long long>(apr_time_now());
  LogContext* ctx = nullptr;
  ASSERT_EQ(openLog(&ctx, c.maxSize, 32, 4, path.c_str()), 0);
  LogPtr log(ctx);
  const std::string opened = readFile(path);
  ASSERT_EQ(opened.size(), c.sizeAfterOpen);
  ASSERT_EQ(opened.substr(0, earlier.size()), earlier);  // not truncated

  std::vector<std::string> records;
  for (int i = 0; i < c.messages; ++i) {
    std::string text = "message " + std::to_string(i) + " " +
                       std::string(40, static_cast<char>('a' + i));
    ASSERT_EQ(writeLog(4, ctx, "%s", text.c_str()), 0);
    records.push_back(messageRecord("", 4, text));
  }
  ASSERT_TRUE(waitWritten(ctx));
  auto afterWrites = static_cast<unsigned long long>(apr_time_now());
  const std::string content = readFile(path);
  std::vector<std::string> copies = copySuffixes(dir.path(), "rot.log");

  if (c.rotatingMessage < 0) {
    std::string expected = opened;
    for (const auto& r : records) expected += r;
    EXPECT_EQ(content, expected);
    EXPECT_TRUE(copies.empty());
    return;
  }
  ASSERT_EQ(copies.size(), 1u);
  ASSERT_TRUE(allDigits(copies[0])) << copies[0];
  unsigned long long copyTime = std::stoull(copies[0]);
  EXPECT_GE(copyTime, beforeOpen);
  EXPECT_LE(copyTime, afterWrites);

  // The copy: the old content byte for byte, the last record whole.
  std::string old = opened;
  for (int i = 0; i < c.rotatingMessage; ++i) old += records[i];
  EXPECT_EQ(readFile(path + "_" + copies[0]), old);
  if (c.rotatingMessage > 0) {
    EXPECT_GT(old.size(), c.maxSize);
  }

  // The log: the truncation record, then the rest.
  std::vector<Record> parsed = parseLog(content);
  ASSERT_FALSE(parsed.empty());
  EXPECT_EQ(parsed[0].kind, Record::kTruncated) << parsed[0].line;
  EXPECT_GE(parsed[0].time, copyTime);
  EXPECT_LE(parsed[0].time, afterWrites);
  std::string rest;
  for (int i = c.rotatingMessage; i < c.messages; ++i) rest += records[i];
  EXPECT_EQ(content.substr(parsed[0].line.size() + 1), rest);

  log.reset();
  EXPECT_EQ(parseLog(readFile(path)).back().kind, Record::kEnd);
  EXPECT_EQ(copySuffixes(dir.path(), "rot.log").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, LogRotationTest,
    testing::Values(RotationCase{"Below", 1000, 990, 3, 1},
                    RotationCase{"OneBelow", 1000, 999, 2, 1},
                    RotationCase{"AtMaximum", 1000, 1000, 2, 0},
                    RotationCase{"Above", 1000, 1500, 2, 0},
                    RotationCase{"NoMaximum", 0, 5000, 3, -1}),
    [](const testing::TestParamInfo<RotationCase>& p) {
      return std::string(p.param.name);
    });

apr_time_t changeTime(const std::string& path) {
  apr_finfo_t info;
  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, nullptr);
  apr_time_t t = 0;
  if (apr_stat(&info, path.c_str(), APR_FINFO_CTIME, pool) == APR_SUCCESS)
    t = info.ctime;
  apr_pool_destroy(pool);
  return t;
}

// Earlier copies, created oldest first, named so that the order of their
// names is not the order of their change times.
const char* const kEarlierCopies[] = {"300", "100", "400", "200"};

class LogCopiesTest : public testing::TestWithParam<int> {};

TEST_P(LogCopiesTest, RotationKeepsTheTwoNewestEarlierCopies) {
  const int earlierCount = GetParam();
  LogDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("keep.log");
  apr_time_t previous = 0;
  for (int i = 0; i < earlierCount; ++i) {
    std::string copy = path + "_" + kEarlierCopies[i];
    writeFile(copy, std::string("copy ") + kEarlierCopies[i] + "\n");
    // Change times must differ as the log sees them: touch the inode again
    // until they do.
    ASSERT_TRUE(waitUntil([&] {
      if (changeTime(copy) > previous) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      chmod(copy.c_str(), 0600);
      return false;
    }));
    previous = changeTime(copy);
  }
  writeFile(path, earlierContent(2000));

  LogContext* ctx = nullptr;
  ASSERT_EQ(openLog(&ctx, 1000, 8, 4, path.c_str()), 0);
  LogPtr log(ctx);
  ASSERT_EQ(writeLog(4, ctx, "rotating"), 0);
  ASSERT_TRUE(waitWritten(ctx));
  log.reset();

  std::vector<std::string> expected;
  for (int i = std::max(0, earlierCount - 2); i < earlierCount; ++i)
    expected.push_back(kEarlierCopies[i]);
  std::vector<std::string> kept;
  std::string made;
  for (const std::string& s : copySuffixes(dir.path(), "keep.log")) {
    if (std::find(std::begin(kEarlierCopies), std::end(kEarlierCopies), s) !=
        std::end(kEarlierCopies)) {
      kept.push_back(s);
    } else {
      EXPECT_TRUE(made.empty()) << "second new copy " << s;
      made = s;
    }
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(kept, expected);
  ASSERT_TRUE(allDigits(made)) << "the rotation made no copy";
  for (const std::string& s : kept)
    EXPECT_EQ(readFile(path + "_" + s), "copy " + s + "\n");
  std::vector<Record> records = parseLog(readFile(path));
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records[0].kind, Record::kTruncated);
}

INSTANTIATE_TEST_SUITE_P(EarlierCopies, LogCopiesTest, testing::Range(0, 5),
                         [](const testing::TestParamInfo<int>& p) {
                           return std::to_string(p.param) + "Earlier";
                         });

}  // namespace
}  // namespace vorlan::logtest
