// The frame: open/close states, the parameter document, file names, the
// file-creation mask and the status texts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libxml/parserInternals.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "frame/kestNames.h"
#include "frame/stampAccess.h"
#include "frame/vorlan.h"
#include "frame/vorlanParams.h"
#include "include/vorlan.h"
#include "testUtil.h"

namespace vorlan {
namespace {

using test::readFile;
using test::TempDir;
using ::testing::HasSubstr;
using ::testing::Not;

std::string sha1Hex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha1(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

std::string doc(const std::string& body) {
  return "<params><KVAEnabled>1</KVAEnabled>" + body + "</params>";
}

std::string takeText(char* text) {
  std::string copy = text != nullptr ? text : "(null)";
  std::free(text);
  return copy;
}

// Restores the process mask that a WorkGroup test changes.
class MaskGuard {
 public:
  MaskGuard() : saved_(umask(022)) { umask(saved_); }
  ~MaskGuard() { umask(saved_); }
  static mode_t current() {
    mode_t m = umask(0);
    umask(m);
    return m;
  }

 private:
  mode_t saved_;
};

// Each test runs in its own process (CTest runs them one by one), but
// leaves the library closed anyway.
class FrameTest : public ::testing::Test {
 protected:
  void TearDown() override { KestLibClose(); }
  std::string workDoc(const std::string& body = "") {
    return doc("<WorkDir>" + dir_.path() + "</WorkDir>" + body);
  }
  TempDir dir_;
};

TEST_F(FrameTest, OpenAndCloseFollowTheStateMachine) {
  EXPECT_EQ(KestLibClose(), KEST_E_NOT_ACTIVATED);  // never opened
  ASSERT_EQ(KestLibOpen(workDoc("<LogLevel>4</LogLevel>").c_str()), KEST_OK);
  char* path = nullptr;
  ASSERT_EQ(KestGetFilepath(".log", &path), KEST_OK);
  std::string log = takeText(path);

  // A second open is refused and leaves the first one, and its log, alone.
  EXPECT_EQ(KestLibOpen(workDoc().c_str()), KEST_E_ALREADY_OPEN);
  EXPECT_EQ(KestLibOpen(nullptr), KEST_E_ALREADY_OPEN);
  EXPECT_EQ(KestGetFilepath(".log", &path), KEST_OK);
  std::free(path);

  EXPECT_EQ(KestLibClose(), KEST_OK);
  EXPECT_EQ(KestLibClose(), KEST_E_NOT_ACTIVATED);
  EXPECT_EQ(KestGetFilepath(".log", &path), KEST_E_STAMP_INVALID);
  EXPECT_EQ(path, nullptr);
  std::string content = readFile(log);
  EXPECT_THAT(content, HasSubstr("<logstart>"));
  EXPECT_THAT(content, HasSubstr("<logend>"));

  // Open again after a close.
  ASSERT_EQ(KestLibOpen(workDoc().c_str()), KEST_OK);
  EXPECT_EQ(KestLibClose(), KEST_OK);
}

TEST_F(FrameTest, FailedOpenLeavesTheLibraryClosed) {
  struct Case {
    std::string document;
    int rc;
  } cases[] = {
      {"not xml at all", KEST_E_PARAMS_XML},
      {"", KEST_E_PARAMS_XML},
      {"<params><KVAEnabled>0</KVAEnabled></params>", KEST_E_NOT_ACTIVATED},
      {"<params><KVAEnabled>true</KVAEnabled></params>", KEST_E_NOT_ACTIVATED},
      {workDoc("<WorkGroup>no-such-group-vorlan</WorkGroup>"),
       KEST_E_INVALID_GROUP},
      // The mask set from WorkGroup is put back when a later step fails.
      {doc("<WorkGroup>kestworld</WorkGroup><WorkDir>/proc/version/sub"
           "</WorkDir><LogLevel>1</LogLevel>"),
       KEST_E_DIR_CREATE},
      // Declared entities would be expanded unbounded and would carry a
      // password around its redaction.
      {"<!DOCTYPE p [<!ENTITY pw \"hunter2\">]><p><KVAEnabled>1</KVAEnabled>"
       "<ProxyPassword>&pw;</ProxyPassword></p>",
       KEST_E_PARAMS_XML},
      // A queue too large to allocate is refused, not attempted.
      {workDoc("<LogLevel>1</LogLevel><LogQLen>1000000000</LogQLen>"),
       KEST_E_RT_MEMORY},
  };
  MaskGuard mask;
  umask(027);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.document);
    EXPECT_EQ(KestLibOpen(c.document.c_str()), c.rc);
    EXPECT_EQ(KestLibClose(), KEST_E_NOT_ACTIVATED);
    char* path = nullptr;
    EXPECT_EQ(KestGetFilepath(".log", &path), KEST_E_STAMP_INVALID);
    EXPECT_EQ(MaskGuard::current(), 027u);
  }
  ASSERT_EQ(KestLibOpen(workDoc().c_str()), KEST_OK);
  EXPECT_EQ(KestLibClose(), KEST_OK);
}

TEST_F(FrameTest, LogFileIsNeverALinkAndIsWaitedForBoundedly) {
  char* path = nullptr;
  ASSERT_EQ(KestLibOpen(workDoc().c_str()), KEST_OK);
  ASSERT_EQ(KestGetFilepath(".log", &path), KEST_OK);
  std::string log = takeText(path);
  ASSERT_EQ(KestLibClose(), KEST_OK);
  const std::string withLog = workDoc("<LogLevel>1</LogLevel>");

  // A link planted in the log's place is not followed.
  test::writeFile(dir_.file("victim"), "precious");
  ASSERT_EQ(symlink(dir_.file("victim").c_str(), log.c_str()), 0);
  EXPECT_EQ(KestLibOpen(withLog.c_str()), KEST_E_LOG_OPEN);
  EXPECT_EQ(readFile(dir_.file("victim")), "precious");
  ASSERT_EQ(unlink(log.c_str()), 0);

  // Another process holding the log's lock delays the open, boundedly.
  test::LockHolder holder(VORLAN_STORE_LOCKER, log);
  ASSERT_EQ(holder.nextLine(), "locked");
  EXPECT_EQ(KestLibOpen(withLog.c_str()), KEST_E_LOG_LOCK);
  EXPECT_EQ(KestLibClose(), KEST_E_NOT_ACTIVATED);
  EXPECT_TRUE(holder.release());
  EXPECT_EQ(KestLibOpen(withLog.c_str()), KEST_OK);
}

TEST_F(FrameTest, OpenLibraryRefusesExternalEntities) {
  xmlExternalEntityLoader host = xmlGetExternalEntityLoader();
  ASSERT_EQ(KestLibOpen(workDoc().c_str()), KEST_OK);
  xmlExternalEntityLoader ours = xmlGetExternalEntityLoader();
  EXPECT_NE(ours, host);
  xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
  EXPECT_EQ(ours("file:///etc/hostname", nullptr, ctxt), nullptr);
  xmlFreeParserCtxt(ctxt);
  ASSERT_EQ(KestLibClose(), KEST_OK);
  EXPECT_EQ(xmlGetExternalEntityLoader(), host) << "the host's is put back";
}

TEST_F(FrameTest, NullDocumentOpensTheFrameAlone) {
  setenv("HOME", dir_.path().c_str(), 1);
  ASSERT_EQ(KestLibOpen(nullptr), KEST_OK);
  char* path = nullptr;
  ASSERT_EQ(KestGetFilepath(".log", &path), KEST_OK);
  std::string log = takeText(path);
  // The default directory ends in a separator and the builder adds one.
  EXPECT_EQ(log, dir_.path() + "/.kestavorn//" +
                     sha1Hex("1200345").substr(0, 14) + ".log");
  struct stat st;
  ASSERT_EQ(stat((dir_.path() + "/.kestavorn").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0777u);
  EXPECT_NE(stat(log.c_str(), &st), 0) << "no log without LogLevel";
}

TEST_F(FrameTest, LogOpenFailuresAreReported) {
  // The log's own name taken by a directory: the file cannot be opened.
  char* path = nullptr;
  ASSERT_EQ(KestLibOpen(workDoc().c_str()), KEST_OK);
  ASSERT_EQ(KestGetFilepath(".log", &path), KEST_OK);
  std::string log = takeText(path);
  ASSERT_EQ(KestLibClose(), KEST_OK);
  ASSERT_EQ(mkdir(log.c_str(), 0700), 0);
  EXPECT_EQ(KestLibOpen(workDoc("<LogLevel>6</LogLevel>").c_str()),
            KEST_E_LOG_OPEN);
  EXPECT_EQ(KestLibClose(), KEST_E_NOT_ACTIVATED);
}

TEST_F(FrameTest, LoggedDocumentIsRedactedOnce) {
  ASSERT_EQ(KestLibOpen(workDoc("<LogLevel>3</LogLevel>"
                                "<ProxyUsername>alice</ProxyUsername>"
                                "<x><ProxyPassword>first</ProxyPassword>"
                                "<ProxyPassword>second</ProxyPassword></x>")
                            .c_str()),
            KEST_OK);
  EXPECT_EQ(proxyCredentials(), "alice:first");
  EXPECT_EQ(proxyAddress(), "");
  char* path = nullptr;
  ASSERT_EQ(KestGetFilepath(".log", &path), KEST_OK);
  std::string log = takeText(path);
  // Records still queued at close are discarded: wait for the open's.
  std::string content;
  for (int i = 0; i < 500; ++i) {
    content = readFile(log);
    if (content.find("Initialization complete") != std::string::npos) break;
    usleep(10000);
  }
  EXPECT_THAT(content, HasSubstr("kvaLibOpen with <?xml"));
  EXPECT_THAT(content, HasSubstr("<ProxyUsername>KESTREMOVED</ProxyUsername>"));
  EXPECT_THAT(content, HasSubstr("<ProxyPassword>KESTREMOVED</ProxyPassword>"));
  EXPECT_THAT(content, HasSubstr("<ProxyPassword>second</ProxyPassword>"));
  EXPECT_THAT(content, Not(HasSubstr("alice")));
  EXPECT_THAT(content, Not(HasSubstr("first")));
}

TEST_F(FrameTest, ProxyTextsJoinHostPortAndCredentials) {
  struct Case {
    std::string body, address, credentials;
  } cases[] = {
      {"<ProxyIP>proxy.example</ProxyIP>", "proxy.example:80", ""},
      {"<ProxyIP>p</ProxyIP><ProxyPort>3128</ProxyPort>", "p:3128", ""},
      {"<ProxyUsername>u</ProxyUsername>", "", "u:"},
      {"<ProxyIP>p</ProxyIP><ProxyUsername>u</ProxyUsername>"
       "<ProxyPassword>pw</ProxyPassword>",
       "p:80", "u:pw"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    ASSERT_EQ(KestLibOpen(workDoc(c.body).c_str()), KEST_OK);
    EXPECT_EQ(proxyAddress(), c.address);
    EXPECT_EQ(proxyCredentials(), c.credentials);
    ASSERT_EQ(KestLibClose(), KEST_OK);
    EXPECT_EQ(proxyAddress(), "");
  }
}

TEST_F(FrameTest, WorkGroupSetsTheFileCreationMask) {
  MaskGuard guard;
  struct Case {
    const char* group;
    int rc;
    mode_t mask;
  } cases[] = {
      {"kestworld", 0, 0},
      {"KestWorld", 0, 0},
      {"KESTWORLDwide", 0, 0},
      {"root", 0, 2},
      {"kestworl", KEST_E_INVALID_GROUP, 027},
      {"no-such-group-vorlan", KEST_E_INVALID_GROUP, 027},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.group);
    umask(027);
    EXPECT_EQ(applyWorkGroup(c.group), c.rc);
    EXPECT_EQ(MaskGuard::current(), c.mask);
  }
  umask(027);
  EXPECT_EQ(applyWorkGroup(nullptr), 0);
  EXPECT_EQ(MaskGuard::current(), 027u);

  // Through the open, files made afterwards are writable by everybody.
  ASSERT_EQ(KestLibOpen(workDoc("<WorkGroup>kestworld</WorkGroup>"
                                "<LogLevel>1</LogLevel>")
                            .c_str()),
            KEST_OK);
  char* path = nullptr;
  ASSERT_EQ(KestGetFilepath(".log", &path), KEST_OK);
  struct stat st;
  ASSERT_EQ(stat(path, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  std::free(path);
}

TEST(FileStem, FollowsTheWrappingArithmetic) {
  struct Case {
    std::uint32_t customer, product;
    const char* number;
  } cases[] = {
      {12, 345, "1200345"},
      {50000, 1, "705032705"},
      {30000, 0, "18446744072414584320"},
      {21474, 83648, "18446744071562067968"},
      {21474, 83647, "2147483647"},
      {0, 0, "0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.number);
    EXPECT_EQ(fileStemNumber(c.customer, c.product), c.number);
    std::string number = c.number;
    EXPECT_EQ(fileStem(c.customer, c.product),
              sha1Hex(number).substr(0, 2 * number.size()));
  }
  EXPECT_EQ(fileStem(21474, 83648).size(), 40u);
  EXPECT_EQ(fileStem(12, 345).size(), 14u);
}

TEST(WorkdirCheck, MakesTheDirectoryAndBuildsThePath) {
  TempDir dir;
  std::string work = dir.file("work");
  ASSERT_EQ(resolveWorkDir(work.c_str()), 0);
  char* path = nullptr;
  ASSERT_EQ(workdirCheck(&path, 345, 12, ".sinfo", nullptr), 0);
  EXPECT_EQ(takeText(path), work + "/" + fileStem(12, 345) + ".sinfo");
  struct stat st;
  ASSERT_EQ(stat(work.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));

  // A regular file where the directory should be.
  test::writeFile(dir.file("plain"), "x");
  ASSERT_EQ(resolveWorkDir(dir.file("plain").c_str()), 0);
  EXPECT_EQ(workdirCheck(&path, 345, 12, ".log", nullptr), KEST_E_DIR_CREATE);
  EXPECT_EQ(path, nullptr);

  // Without HOME the password entry gives the home directory.
  clearWorkDir();
  const char* home = std::getenv("HOME");
  std::string saved = home != nullptr ? home : "";
  unsetenv("HOME");
  std::string resolved;
  EXPECT_EQ(copyWorkDir(&resolved, nullptr), 0);
  EXPECT_THAT(resolved, ::testing::EndsWith("/.kestavorn/"));
  if (home != nullptr) setenv("HOME", saved.c_str(), 1);
  clearWorkDir();
}

class ParamsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(loadLibraryStamp(), 0); }
  void TearDown() override {
    releaseVorlanParams(params_, nullptr);
    releaseLibraryStamp(nullptr);
    setHttpsSwitch(0);
  }
  int read(const std::string& body) {
    releaseVorlanParams(params_, nullptr);
    params_ = nullptr;
    EXPECT_EQ(createVorlanParams(&params_, nullptr), 0);
    return readVorlanParams(doc(body).c_str(), &redacted_, params_, nullptr);
  }
  VorlanParams* params_ = nullptr;
  std::string redacted_;
};

TEST_F(ParamsTest, NewRecordHasTheDefaults) {
  ASSERT_EQ(createVorlanParams(&params_, nullptr), 0);
  EXPECT_EQ(params_->maxLogSize, 1048576u);  // the identity's default
  EXPECT_EQ(params_->logQLen, 600);
  EXPECT_EQ(params_->cacheQLen, 25);
  EXPECT_EQ(params_->soapThreadsMax, 10);
  EXPECT_EQ(params_->soapThreadsMin, 10);
  EXPECT_EQ(params_->logLevel, 0);
  EXPECT_EQ(params_->kvaEnabled, 0);
  EXPECT_FALSE(params_->workDir);
  EXPECT_EQ(readVorlanParams(nullptr, &redacted_, params_, nullptr), 0);
  EXPECT_EQ(params_->maxLogSize, 1048576u);

  // Once a document is read MaxLogSize comes from it alone.
  ASSERT_EQ(read(""), 0);
  EXPECT_EQ(params_->maxLogSize, 0u);
  EXPECT_EQ(params_->kvaConnTO, 30000);
  EXPECT_EQ(params_->kvaTransTO, 30000);
  EXPECT_EQ(*params_->clientHostname, "KESTNA");

  releaseLibraryStamp(nullptr);
  VorlanParams* none = nullptr;
  EXPECT_EQ(createVorlanParams(&none, nullptr), KEST_E_STAMP_INVALID);
  EXPECT_EQ(none, nullptr);
}

TEST_F(ParamsTest, NumbersAndSwitchesFollowTheirKinds) {
  struct Case {
    std::string body;
    int VorlanParams::*field;
    int expected;
  } cases[] = {
      {"<LogLevel>9</LogLevel>", &VorlanParams::logLevel, 6},
      {"<LogLevel>-1</LogLevel>", &VorlanParams::logLevel, 6},
      {"<LogLevel>3 </LogLevel>", &VorlanParams::logLevel, 0},
      {"<LogLevel> 3</LogLevel>", &VorlanParams::logLevel, 3},
      {"<LogLevel>abc</LogLevel>", &VorlanParams::logLevel, 0},
      {"<LogLevel>4</LogLevel>", &VorlanParams::logLevel, 4},
      {"<KVAConnTO>0</KVAConnTO>", &VorlanParams::kvaConnTO, 30000},
      {"<KVAConnTO>1500</KVAConnTO>", &VorlanParams::kvaConnTO, 1500},
      {"<KVATRANSTO>12a</KVATRANSTO>", &VorlanParams::kvaTransTO, 30000},
      {"<LogQLen>0</LogQLen>", &VorlanParams::logQLen, 600},
      {"<LogQLen>-5</LogQLen>", &VorlanParams::logQLen, 600},
      {"<LogQLen>7</LogQLen>", &VorlanParams::logQLen, 7},
      {"<CacheQLen>3</CacheQLen>", &VorlanParams::cacheQLen, 3},
      {"<SoapThreadsMax>4</SoapThreadsMax>", &VorlanParams::soapThreadsMax, 4},
      {"<SoapThreadsMin></SoapThreadsMin>", &VorlanParams::soapThreadsMin, 10},
      {"<HTTPSEnabled>1yes</HTTPSEnabled>", &VorlanParams::httpsEnabled, 1},
      {"<HTTPSEnabled>true</HTTPSEnabled>", &VorlanParams::httpsEnabled, 0},
      {"<OfflineMode>1</OfflineMode>", &VorlanParams::offlineMode, 1},
      {"<OfflineMode> 1</OfflineMode>", &VorlanParams::offlineMode, 0},
      // Nested anywhere, first match in document order.
      {"<a><b><LogLevel>2</LogLevel></b></a><LogLevel>5</LogLevel>",
       &VorlanParams::logLevel, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    ASSERT_EQ(read(c.body), 0);
    EXPECT_EQ(params_->*c.field, c.expected);
  }
  ASSERT_EQ(read("<MaxLogSize>4096</MaxLogSize>"), 0);
  EXPECT_EQ(params_->maxLogSize, 4096u);
  ASSERT_EQ(read("<MaxLogSize>4096 </MaxLogSize>"), 0);
  EXPECT_EQ(params_->maxLogSize, 0u);
  ASSERT_EQ(read("<HTTPSEnabled>1</HTTPSEnabled>"), 0);
  EXPECT_EQ(httpsSwitch(), 1);
}

TEST_F(ParamsTest, KvaEnabledMustBeOn) {
  struct Case {
    const char* document;
    int rc;
  } cases[] = {
      {"<p><KVAEnabled>1abc</KVAEnabled></p>", 0},
      {"<p><KVAEnabled>true</KVAEnabled></p>", KEST_E_NOT_ACTIVATED},
      {"<p><KVAEnabled> 1</KVAEnabled></p>", KEST_E_NOT_ACTIVATED},
      {"<p><KVAEnabled>0</KVAEnabled></p>", KEST_E_NOT_ACTIVATED},
      {"<p><KVAEnabled/></p>", KEST_E_NOT_ACTIVATED},
      {"<KVAEnabled>1</KVAEnabled>", 0},  // the root itself is looked at
      {"<p><KVAEnabled>1</KVAEnabled>", KEST_E_PARAMS_XML},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.document);
    releaseVorlanParams(params_, nullptr);
    ASSERT_EQ(createVorlanParams(&params_, nullptr), 0);
    EXPECT_EQ(readVorlanParams(c.document, &redacted_, params_, nullptr), c.rc);
  }
}

TEST_F(ParamsTest, TextsRespectTheirLimits) {
  ASSERT_EQ(read("<WorkDir>/" + std::string(4095, 'w') + "</WorkDir>"), 0);
  ASSERT_TRUE(params_->workDir);
  EXPECT_EQ(params_->workDir->size(), 4096u);
  ASSERT_EQ(read("<WorkDir>/" + std::string(4096, 'w') + "</WorkDir>"), 0);
  EXPECT_FALSE(params_->workDir);

  ASSERT_EQ(
      read("<ClientHostname>" + std::string(200, 'h') + "</ClientHostname>"),
      0);
  EXPECT_EQ(*params_->clientHostname, std::string(184, 'h'));
  // A multi-byte character straddling the cut is not split.
  ASSERT_EQ(read("<ClientHostname>" + std::string(183, 'h') + "\xC3\xA9zz" +
                 "</ClientHostname>"),
            0);
  EXPECT_EQ(*params_->clientHostname, std::string(183, 'h'));

  ASSERT_EQ(read("<ProxyPort>12345678901</ProxyPort><ProxyIP>h</ProxyIP>"), 0);
  EXPECT_FALSE(params_->proxyPort);
  ASSERT_EQ(read("<DaemonIP>srv</DaemonIP><DaemonPort>8080</DaemonPort>"
                 "<WorkGroup>g &amp; h</WorkGroup>"),
            0);
  EXPECT_EQ(*params_->daemonIP, "srv");
  EXPECT_EQ(*params_->daemonPort, "8080");
  EXPECT_EQ(*params_->workGroup, "g & h");
}

TEST_F(ParamsTest, HostileAndLargeDocumentsFailOrPassCleanly) {
  // Entities that expand a billionfold are refused by the parser.
  std::string laughs = "<!DOCTYPE p [<!ENTITY a \"aaaaaaaaaa\">";
  for (char e = 'b'; e <= 'k'; ++e) {
    laughs += std::string("<!ENTITY ") + e + " \"";
    for (int i = 0; i < 10; ++i) laughs += std::string("&") + char(e - 1) + ";";
    laughs += "\">";
  }
  laughs += "]><p><KVAEnabled>1</KVAEnabled><WorkDir>&k;</WorkDir></p>";
  releaseVorlanParams(params_, nullptr);
  ASSERT_EQ(createVorlanParams(&params_, nullptr), 0);
  EXPECT_EQ(readVorlanParams(laughs.c_str(), &redacted_, params_, nullptr),
            KEST_E_PARAMS_XML);

  // An external entity is never loaded.
  test::TempDir dir;
  test::writeFile(dir.file("secret"), "SECRET");
  std::string external = "<!DOCTYPE p [<!ENTITY x SYSTEM \"file://" +
                         dir.file("secret") +
                         "\">]><p><KVAEnabled>1</KVAEnabled>"
                         "<WorkGroup>&x;</WorkGroup></p>";
  int rc = readVorlanParams(external.c_str(), &redacted_, params_, nullptr);
  if (rc == 0 && params_->workGroup) {
    EXPECT_EQ(params_->workGroup->find("SECRET"), std::string::npos);
  }
  EXPECT_EQ(redacted_.find("SECRET"), std::string::npos);

  // Ten megabytes of settings and comments.
  std::string big = "<p><KVAEnabled>1</KVAEnabled>";
  while (big.size() < 10 * 1024 * 1024)
    big += "<pad>" + std::string(1000, 'x') + "</pad>";
  big += "<LogLevel>2</LogLevel></p>";
  ASSERT_EQ(readVorlanParams(big.c_str(), &redacted_, params_, nullptr), 0);
  EXPECT_EQ(params_->logLevel, 2);
}

TEST(Version, ReturnVersionAllocatesTheText) {
  char* version = nullptr;
  ASSERT_EQ(ReturnVersion(&version, nullptr), KEST_OK);
  EXPECT_STREQ(version, "Library Version: 4.0.0.29 KVA: 4.0.0.29");
  EXPECT_EQ(std::strlen(version), 39u);
  std::free(version);
  EXPECT_EQ(ReturnVersion(nullptr, nullptr), KEST_OK);
}

TEST(Identity, QueriesNeedALoadedRecord) {
  std::uint32_t id = 77;
  char* text = reinterpret_cast<char*>(1);
  EXPECT_EQ(stampCustomerId(&id, nullptr), KEST_E_STAMP_INVALID);
  EXPECT_EQ(id, 77u);
  EXPECT_EQ(stampHost(&text, nullptr), KEST_E_STAMP_INVALID);
  EXPECT_EQ(text, nullptr);
  char* path = reinterpret_cast<char*>(1);
  EXPECT_EQ(KestGetFilepath(".log", &path), KEST_E_STAMP_INVALID);
  EXPECT_EQ(path, nullptr);
  EXPECT_EQ(KestGetFilepath(".log", nullptr), KEST_E_INVALID_PARAMETER);

  ASSERT_EQ(loadLibraryStamp(), 0);
  EXPECT_EQ(stampCustomerId(&id, nullptr), 0);
  EXPECT_EQ(id, 12u);
  EXPECT_EQ(stampProductId(&id, nullptr), 0);
  EXPECT_EQ(id, 345u);
  EXPECT_EQ(stampHost(&text, nullptr), 0);
  EXPECT_EQ(takeText(text), "analytics.kestavorn.example");
  EXPECT_EQ(stampSuffix(&text, nullptr), 0);
  EXPECT_EQ(takeText(text), "/KestActServ");
  std::int32_t size = 0;
  EXPECT_EQ(stampMaxCacheSize(&size, nullptr), 0);
  EXPECT_EQ(size, 25000);

  // A stored host without a terminator is handed out as its first 127.
  StampRecord record{
      "VORLAN-STAMP", kStampLayoutVersion, 1, 2, 0, 0, 0, {}, {}, 0};
  std::memset(record.host, 'h', sizeof record.host);
  record.checksum = stampChecksum(record);
  ASSERT_EQ(loadLibraryStampFrom(record), 0);
  EXPECT_EQ(stampHost(&text, nullptr), 0);
  EXPECT_EQ(takeText(text), std::string(127, 'h'));
  releaseLibraryStamp(nullptr);
}

TEST(Identity, InvalidRecordsAreRefused) {
  auto valid = [] {
    StampRecord r{
        "VORLAN-STAMP", kStampLayoutVersion, 12, 345, 0, 1, 2, "h", "/s", 0};
    r.checksum = stampChecksum(r);
    return r;
  };
  StampRecord badMagic = valid();
  badMagic.magic[0] = 'X';
  StampRecord badVersion = valid();
  badVersion.layoutVersion = 2;
  badVersion.checksum = stampChecksum(badVersion);
  StampRecord badChecksum = valid();
  badChecksum.flags = 1;
  StampRecord bigCustomer = valid();
  bigCustomer.customerId = 100000;
  bigCustomer.checksum = stampChecksum(bigCustomer);
  StampRecord bigProduct = valid();
  bigProduct.productId = 100000;
  bigProduct.checksum = stampChecksum(bigProduct);
  for (const StampRecord& r :
       {badMagic, badVersion, badChecksum, bigCustomer, bigProduct}) {
    EXPECT_EQ(loadLibraryStampFrom(r), KEST_E_STAMP_INVALID);
  }
  EXPECT_EQ(loadLibraryStampFrom(valid()), 0);
  releaseLibraryStamp(nullptr);
}

TEST(StatusText, EveryCodeHasItsMessage) {
  struct Row {
    int code;
    const char* text;
  } rows[] = {
      {0, "No Error"},
      {-1001, "Memory error"},
      {-1012, "Invalid parameter to routine"},
      {-1074, "library already initialized"},
      {-1075, "XML corrupt or invalid"},
      {-1076, "KVA library not initialized"},
      {-1080, "Can't complete due to privacy set"},
      {-1085, "Neither KVA nor KVL activated"},
      {-1147, "Mutex creation failed"},
      {-2000, "memory error"},
      {-2016, "invalid key"},
      {-2018, "Plain text too long"},
      {-2022, "encrypt or decrypt data empty"},
      {-2900, "A data error occurred"},
      {-3000, "Memory error"},
      {-3003, "File write error"},
      {-3017, "Directory create failure"},
      {-3020, "Directory not found"},
      {-3027, "thread creation"},
      {-3039, "Missing or invalid location information"},
      {-3042, "Missing or invalid log file"},
      {-3043, "Error locking log file"},
      {-3044, "Error unlocking log file"},
      {-3045, "Error deleting jobs from pool"},
      {-3047, "Thread queue missing"},
      {-3048, "Job queue error"},
      {-3053, "Invalid country code"},
      {-3057, "Library subsystem failure"},
      {-3058, "Invalid log header"},
      {-3059, "File lock error"},
      {-3060, "File unlock error"},
      {-3062, "Mutex creation failed"},
      {-3064, "Copy of XML data failed"},
      {-3072, "Invalid group specified"},
      {-3073, "Attempt to set xml failed"},
      {-3077, "Log file write error"},
      {-3078, "Log file open error"},
      {-3079, "Log file seek error"},
      {-3080, "Log file header error"},
      {-3081, "SysInfo already exists"},
      {-3088, "Thread job queue full"},
      {-3514, "Linux command not found"},
      {-3641, "System command failed"},
      {-3648, "String missing char"},
      {-3650, "Empty value"},
      {-3651, "Encryption error"},
      {-3655, "Invalid UTF8 encoding"},
      {-4001, "memory error"},
      {-4006, "Server returned invalid XML"},
      {-4007, "Server responded to wrong function"},
      {-4008, "Invalid registration xml"},
      {-4011, "Invalid SOAP function"},
      {-4013, "KVA thread job failed"},
      {-4015, "Invalid access to cache file"},
      {-4016, "Cache file lock error"},
      {-4017, "Cache file unlock error"},
      {-4018, "Cache file open failure"},
      {-4019, "Cache file truncation error"},
      {-4020, "Cache file seek error"},
      {-4021, "Cache file write failure"},
      {-4022, "Cache file read failure"},
      {-4023, "XML corrupt or invalid"},
      {-4024, "Location information missing"},
      {-4025, "Mutex creation failed"},
      {-4026, "Mutex Lock error"},
      {-4027, "Cache file too small"},
      {-4028, "Cache file corrupt"},
      {-4037, "Internal use"},
      {-4038, "Server errored but did not return info"},
      {-4200, "SOAP failure"},
      {-4201, "SOAP invalid soap data"},
      {-4204, "SOAP product ID invalid"},
      {-4205, "SOAP customer ID invalid"},
      {-4207, "SOAP date invalid"},
      {-4208, "SOAP DB error"},
      {-4209, "SOAP cannot get IP address"},
      {-4210, "SOAP invalid prodID or custID"},
      {-4300, "SOAP Network initialization failed"},
      {-4301, "SOAP Invalid URL specified"},
      {-4302, "SOAP Proxy can't be resolved"},
      {-4303, "SOAP Host can't be resolved"},
      {-4304, "SOAP Couldn't connect to host"},
      {-4305, "SOAP Network write error"},
      {-4306, "SOAP Network read error"},
      {-4307, "SOAP Memory error"},
      {-4308, "SOAP Connection timed out"},
      {-4309, "SOAP Empty response from server"},
      {-4310, "SOAP Network send error"},
      {-4311, "SOAP Network receive error"},
      {-4312, "SOAP Network filesize error"},
      {-6000, "Memory error"},
      {-6003, "Lookup of tag failed"},
      {-6008, "XML file read error"},
      {-6009, "XML file write error"},
      {-6010, "XML type conversion failed"},
      {-6011, "Mutex creation failed"},
      {-6013, "XML file open error"},
      {-6014, "XML file lock failed"},
      {-6015, "XML file unlock failed"},
      {-6021, "XML file seek error"},
      {-7001, "Memory error"},
      {-7102, "Mutex creation failed"},
      {-7115, "Library's stamped values invalid"},
      {-9007, "JNI memory error"},
      {-9015, "Java or JNI memory error"},
      {-9017, "Value out of range"},
      {-9024, "JNI memory error"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.code);
    char* text = nullptr;
    ASSERT_EQ(KestGetErrorMsg(row.code, &text), KEST_OK);
    EXPECT_EQ(takeText(text), row.text);
  }
  for (int n = 0; n <= 98; ++n) {
    char* text = nullptr;
    ASSERT_EQ(KestGetErrorMsg(-4400 - n, &text), KEST_OK);
    EXPECT_EQ(takeText(text),
              "SOAP transmission error " + std::to_string(n) + "\n");
  }
  for (int code : {12345, -4499, -4399, -1, -3071, 1}) {
    char* text = nullptr;
    ASSERT_EQ(KestGetErrorMsg(code, &text), KEST_OK);
    EXPECT_EQ(takeText(text), "Invalid Error Code") << code;
  }
  EXPECT_EQ(KestGetErrorMsg(0, nullptr), KEST_E_INVALID_PARAMETER);
}

}  // namespace
}  // namespace vorlan
