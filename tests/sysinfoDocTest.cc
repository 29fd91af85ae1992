// The system-information document and its ".sinfo" file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <string>

#include "runtime/logging.h"
#include "runtime/payloadCipher.h"
#include "storeUtil.h"
#include "sysinfo/gethostinfoP.h"
#include "testUtil.h"
#include "xml/xmlHelpers.h"

namespace vorlan {
namespace {

using test::childNames;
using test::readFile;
using test::StorePtr;
using test::TempDir;
using test::textField;

std::uint16_t privacy(VorlanXML* store) {
  std::uint16_t value = 99;
  EXPECT_EQ(getSysInfoField(1, &value, store, kSiSystemPrivacy, nullptr), 0);
  return value;
}

const std::regex kKvaId("[0-9a-f]{32}");

class SysInfoTest : public ::testing::Test {
 protected:
  StorePtr store() {
    VorlanXML* raw = nullptr;
    EXPECT_EQ(createSysInfoStore(&raw, nullptr), 0);
    raw->filePath = path_;
    return StorePtr(raw);
  }
  // The stored document as it is in the file, deciphered.
  std::string plainFile() {
    std::string plain;
    EXPECT_EQ(payloadDecipher(readFile(path_), &plain), 0);
    return plain;
  }
  // Writes `xml` enciphered as the file.
  void writePlain(const std::string& xml) {
    char* cipher = nullptr;
    ASSERT_EQ(payloadEncipher(xml.c_str(), &cipher), 0);
    test::writeFile(path_, cipher);
    std::free(cipher);
  }
  TempDir dir_;
  std::string path_ = dir_.file("stem.sinfo");
};

TEST_F(SysInfoTest, FirstStartWritesTheDefaultDocument) {
  StorePtr s = store();
  std::string kvaid;
  ASSERT_EQ(loadSysInfo(1, s.get(), &kvaid, nullptr), 0);
  EXPECT_TRUE(std::regex_match(kvaid, kKvaId)) << kvaid;
  EXPECT_EQ(childNames(s.get()),
            "sysinfoDate systemprivacy operatingsystem bitage screenresx "
            "screenresy proc cores memory oslanguage applanguage profile "
            "computername version build edition kvaid ");
  EXPECT_EQ(privacy(s.get()), 2);
  EXPECT_EQ(textField(s.get(), kSiKvaId), kvaid);
  EXPECT_EQ(textField(s.get(), kSiProc), "KESTNA");
  EXPECT_EQ(textField(s.get(), kSiCpuInfo), "rc -6003");
  EXPECT_NE(plainFile().find("<kvaid>" + kvaid + "</kvaid>"),
            std::string::npos);

  // A second start finds the same identifier and leaves the file alone.
  struct stat before;
  ASSERT_EQ(stat(path_.c_str(), &before), 0);
  std::string content = readFile(path_);
  usleep(20000);
  StorePtr again = store();
  std::string second;
  ASSERT_EQ(loadSysInfo(1, again.get(), &second, nullptr), 0);
  EXPECT_EQ(second, kvaid);
  struct stat after;
  ASSERT_EQ(stat(path_.c_str(), &after), 0);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(readFile(path_), content);
}

TEST_F(SysInfoTest, BadDatesAndMissingIdsAreMadeAndSaved) {
  struct Case {
    const char* body;
    bool newId;
  } cases[] = {
      {"<sysinfoDate>0</sysinfoDate><systemprivacy>1</systemprivacy>"
       "<kvaid>00112233445566778899aabbccddeeff</kvaid>",
       false},
      {"<sysinfoDate>soon</sysinfoDate><systemprivacy>1</systemprivacy>"
       "<kvaid>00112233445566778899aabbccddeeff</kvaid>",
       false},
      {"<sysinfoDate>1700000000</sysinfoDate><systemprivacy>1</systemprivacy>",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    writePlain(std::string("<?xml version=\"1.0\"?><KVASysInfo>") + c.body +
               "</KVASysInfo>");
    std::string before = readFile(path_);
    StorePtr s = store();
    std::string kvaid;
    ASSERT_EQ(loadSysInfo(1, s.get(), &kvaid, nullptr), 0);
    EXPECT_NE(readFile(path_), before) << "rewritten";
    std::uint64_t date = 0;
    EXPECT_EQ(getSysInfoField(1, &date, s.get(), kSiSysInfoDate, nullptr), 0);
    EXPECT_GE(date, 1700000000u);
    EXPECT_EQ(privacy(s.get()), 1) << "the privacy choice is kept";
    if (c.newId)
      EXPECT_TRUE(std::regex_match(kvaid, kKvaId));
    else
      EXPECT_EQ(kvaid, "00112233445566778899aabbccddeeff");
    EXPECT_NE(plainFile().find(kvaid), std::string::npos);
  }
}

TEST_F(SysInfoTest, UnreadableFileIsReplacedAndTheReplacementLogged) {
  std::string logPath = dir_.file("test.log");
  LogContext* log = nullptr;
  ASSERT_EQ(openLog(&log, 0, 100, 2, logPath.c_str()), 0);
  for (const std::string& content :
       {std::string("not hex at all, not a cipher either"),
        std::string(100, 'f')}) {
    test::writeFile(path_, content);
    StorePtr s = store();
    std::string kvaid;
    ASSERT_EQ(loadSysInfo(1, s.get(), &kvaid, log), 0);
    EXPECT_TRUE(std::regex_match(kvaid, kKvaId));
    EXPECT_EQ(privacy(s.get()), 2);
    EXPECT_NE(plainFile().find(kvaid), std::string::npos);
  }
  for (int i = 0; i < 200 && pendingLogRecords(log) > 0; ++i) usleep(10000);
  closeLog(log);
  std::string logged = readFile(logPath);
  EXPECT_NE(logged.find("replaced by a default document"), std::string::npos)
      << logged;
}

TEST_F(SysInfoTest, RefreshKeepsIdAndPrivacyAndTellsWhetherToSend) {
  StorePtr s = store();
  std::string kvaid;
  ASSERT_EQ(loadSysInfo(1, s.get(), &kvaid, nullptr), 0);
  std::uint16_t chosen = 0;
  ASSERT_EQ(setSysInfoField(1, &chosen, s.get(), kSiSystemPrivacy, nullptr), 0);

  int changed = -1;
  ASSERT_EQ(refreshSysInfo(1, s.get(), "en", "1.0", nullptr, "", "trial",
                           &changed, nullptr),
            0);
  EXPECT_EQ(changed, 1) << "a default document always sends";
  EXPECT_EQ(childNames(s.get()),
            "sysinfoDate operatingsystem memory proc cores cpuInfo bitage "
            "oslanguage screenresx screenresy profile computername "
            "applanguage version edition build productstatus systemprivacy "
            "kvaid ");
  EXPECT_EQ(textField(s.get(), kSiKvaId), kvaid);
  EXPECT_EQ(privacy(s.get()), 0);
  EXPECT_EQ(textField(s.get(), kSiEdition), "KESTNA");
  EXPECT_EQ(textField(s.get(), kSiBuild), "KESTNA");
  EXPECT_EQ(textField(s.get(), kSiVersion), "1.0");
  EXPECT_NE(plainFile().find("<version>1.0</version>"), std::string::npos);

  ASSERT_EQ(refreshSysInfo(1, s.get(), "en", "1.0", nullptr, "", "trial",
                           &changed, nullptr),
            0);
  EXPECT_EQ(changed, 0) << "same arguments, same machine";

  // A change of cpuInfo alone is not a change.
  const char* other = "cpuEndian:Big Endian cpuFlags:none";
  ASSERT_EQ(setSysInfoField(1, const_cast<char*>(other), s.get(), kSiCpuInfo,
                            nullptr),
            0);
  ASSERT_EQ(refreshSysInfo(1, s.get(), "en", "1.0", nullptr, "", "trial",
                           &changed, nullptr),
            0);
  EXPECT_EQ(changed, 0);

  ASSERT_EQ(refreshSysInfo(1, s.get(), "en", "1.1", nullptr, "", "trial",
                           &changed, nullptr),
            0);
  EXPECT_EQ(changed, 1) << "a new version is sent";
}

TEST_F(SysInfoTest, CompareAndRefreshFailures) {
  VorlanXML* fresh = nullptr;
  ASSERT_EQ(buildSysInfo(&fresh, nullptr), 0);
  StorePtr freshOwner(fresh);
  EXPECT_EQ(buildSysInfo(&fresh, nullptr), -3081);

  // Without systemprivacy the refresh fails and replaces nothing.
  StorePtr s = store();
  XmlDocPtr doc;
  std::string xml =
      "<KVASysInfo><kvaid>00112233445566778899aabbccddeeff</kvaid>"
      "<version>0.9</version></KVASysInfo>";
  ASSERT_EQ(textToXml(xml.data(), xml.size(), &doc, nullptr), 0);
  s->doc = doc.release();
  std::string before;
  xmlToText(&before, s->doc, nullptr);
  int changed = -1;
  EXPECT_EQ(
      refreshSysInfo(1, s.get(), "en", "1.0", "e", "b", "p", &changed, nullptr),
      -6003);
  std::string after;
  xmlToText(&after, s->doc, nullptr);
  EXPECT_EQ(after, before);
  EXPECT_EQ(changed, 0);

  // Missing stored fields count as "KESTNA"; a missing fresh one fails.
  EXPECT_EQ(compareSysInfo(s.get(), fresh, nullptr), 0);
  StorePtr empty = store();
  XmlDocPtr bare;
  ASSERT_EQ(textToXml("<KVASysInfo/>", 13, &bare, nullptr), 0);
  empty->doc = bare.release();
  EXPECT_EQ(compareSysInfo(fresh, empty.get(), nullptr), -6003);
}

TEST_F(SysInfoTest, AttachCopiesTheDocumentIntoARecord) {
  VorlanXML* fresh = nullptr;
  ASSERT_EQ(buildSysInfo(&fresh, nullptr), 0);
  StorePtr owner(fresh);
  XmlDocPtr record;
  std::string xml = "<vorlanserver><user>u</user></vorlanserver>";
  ASSERT_EQ(textToXml(xml.data(), xml.size(), &record, nullptr), 0);
  ASSERT_EQ(attachSysInfo(record.get(), fresh, nullptr), 0);
  std::optional<std::string> os;
  EXPECT_EQ(getRecordValue(record.get(), "KVASysInfo", "operatingsystem", &os,
                           nullptr),
            0);
  EXPECT_EQ(os, textField(fresh, kSiOperatingSystem));
  StorePtr empty = store();
  EXPECT_EQ(attachSysInfo(record.get(), empty.get(), nullptr), -6003);
}

TEST(KvaId, IsFreshEachTime) {
  std::string a, b;
  ASSERT_EQ(newKvaId(&a, nullptr), 0);
  ASSERT_EQ(newKvaId(&b, nullptr), 0);
  EXPECT_TRUE(std::regex_match(a, kKvaId));
  EXPECT_NE(a, b);
}

TEST_F(SysInfoTest, TwoProcessesStartingTogetherShareOneId) {
  constexpr int kProcesses = 3;
  int goFds[kProcesses], outFds[kProcesses];
  pid_t pids[kProcesses];
  for (int i = 0; i < kProcesses; ++i) {
    // Close-on-exec: no loader keeps another's pipes open.
    int go[2], out[2];
    ASSERT_EQ(pipe2(go, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    pids[i] = fork();
    ASSERT_GE(pids[i], 0);
    if (pids[i] == 0) {
      dup2(go[0], 0);
      dup2(out[1], 1);
      execl(VORLAN_SINFO_LOADER, VORLAN_SINFO_LOADER, path_.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(go[0]);
    close(out[1]);
    goFds[i] = go[1];
    outFds[i] = out[0];
  }
  // All loaders are waiting: let them go at once.
  for (int fd : goFds) {
    ASSERT_EQ(write(fd, "go\n", 3), 3);
    close(fd);
  }
  std::string ids[kProcesses];
  for (int i = 0; i < kProcesses; ++i) {
    FILE* in = fdopen(outFds[i], "r");
    char line[64] = {};
    ASSERT_NE(std::fgets(line, sizeof line, in), nullptr);
    std::fclose(in);
    ids[i] = line;
    int status = 0;
    waitpid(pids[i], &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ids[i];
  }
  ASSERT_EQ(ids[0].rfind("0 ", 0), 0u) << ids[0];
  for (int i = 1; i < kProcesses; ++i) EXPECT_EQ(ids[i], ids[0]);
  std::string kvaid = ids[0].substr(2, 32);
  EXPECT_NE(plainFile().find("<kvaid>" + kvaid + "</kvaid>"),
            std::string::npos);
}

}  // namespace
}  // namespace vorlan
