// Indexed record stores in memory and in their locked, enciphered files.
#include <apr_portable.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "runtime/payloadCipher.h"
#include "storeUtil.h"
#include "testUtil.h"
#include "xml/HLAccess.h"
#include "xml/SIAccess.h"
#include "xml/xmlHelpers.h"

namespace vorlan {
namespace {

using test::childNames;
using test::readFile;
using test::StorePtr;
using test::TempDir;
using test::textField;
using test::writeFile;

StorePtr sysInfoStore(const std::string& rootXml = "") {
  VorlanXML* store = nullptr;
  EXPECT_EQ(createSysInfoStore(&store, nullptr), 0);
  if (!rootXml.empty()) {
    XmlDocPtr doc;
    EXPECT_EQ(textToXml(rootXml.data(), rootXml.size(), &doc, nullptr), 0);
    store->doc = doc.release();
  }
  return StorePtr(store);
}

TEST(Store, SetReplacesInPlaceOrAppends) {
  StorePtr store = sysInfoStore("<sysinfo/>");
  const char* os = "Linux:6.1";
  ASSERT_EQ(setSysInfoField(1, const_cast<char*>(os), store.get(),
                            kSiOperatingSystem, nullptr),
            0);
  std::uint16_t privacy = 2;
  ASSERT_EQ(
      setSysInfoField(1, &privacy, store.get(), kSiSystemPrivacy, nullptr), 0);
  std::uint64_t date = 1700000000123ull;
  ASSERT_EQ(setSysInfoField(1, &date, store.get(), kSiSysInfoDate, nullptr), 0);
  const char* os2 = "Linux:6.2";
  ASSERT_EQ(setSysInfoField(1, const_cast<char*>(os2), store.get(),
                            kSiOperatingSystem, nullptr),
            0);
  EXPECT_EQ(childNames(store.get()),
            "operatingsystem systemprivacy sysinfoDate ");
  EXPECT_EQ(textField(store.get(), kSiOperatingSystem), "Linux:6.2");
  std::uint64_t dateBack = 0;
  EXPECT_EQ(getSysInfoField(1, &dateBack, store.get(), kSiSysInfoDate, nullptr),
            0);
  EXPECT_EQ(dateBack, date);
  // A null text leaves an element that reads as missing.
  ASSERT_EQ(
      setSysInfoField(1, nullptr, store.get(), kSiOperatingSystem, nullptr), 0);
  EXPECT_EQ(textField(store.get(), kSiOperatingSystem), "rc -6003");
  EXPECT_EQ(childNames(store.get()),
            "operatingsystem systemprivacy sysinfoDate ");

  // Host-location stores take signed numbers.
  VorlanXML* raw = nullptr;
  ASSERT_EQ(createHostLocationStore(&raw, nullptr), 0);
  StorePtr hl(raw);
  XmlDocPtr doc;
  ASSERT_EQ(textToXml("<location/>", 11, &doc, nullptr), 0);
  hl->doc = doc.release();
  std::int32_t rv = -32;
  ASSERT_EQ(setHostLocationField(1, &rv, hl.get(), kHlReturnValue, nullptr), 0);
  std::int32_t back = 0;
  EXPECT_EQ(getHostLocationField(1, &back, hl.get(), kHlReturnValue, nullptr),
            0);
  EXPECT_EQ(back, -32);
}

TEST(Store, GetsReportMissingAndBadValues) {
  StorePtr empty = sysInfoStore();
  const char* v = "x";
  EXPECT_EQ(
      setSysInfoField(1, const_cast<char*>(v), empty.get(), kSiKvaId, nullptr),
      0);  // nothing stored without a document
  EXPECT_EQ(textField(empty.get(), kSiKvaId), "rc -6003");

  StorePtr store = sysInfoStore(
      "<s><kvaid></kvaid><systemprivacy>65536</systemprivacy>"
      "<sysinfoDate>12x</sysinfoDate></s>");
  char* value = reinterpret_cast<char*>(1);
  EXPECT_EQ(getSysInfoField(1, &value, store.get(), kSiKvaId, nullptr), -6003);
  EXPECT_EQ(value, nullptr);
  std::uint16_t privacy = 9;
  EXPECT_EQ(
      getSysInfoField(1, &privacy, store.get(), kSiSystemPrivacy, nullptr), 0);
  EXPECT_EQ(privacy, 0);  // 65536 truncated to 16 bits
  std::uint64_t date = 9;
  EXPECT_EQ(getSysInfoField(1, &date, store.get(), kSiSysInfoDate, nullptr),
            -6010);
  EXPECT_EQ(date, 0u);
  std::string xml = "<s><systemprivacy>12x</systemprivacy></s>";
  StorePtr bad = sysInfoStore(xml);
  privacy = 9;
  EXPECT_EQ(getSysInfoField(1, &privacy, bad.get(), kSiSystemPrivacy, nullptr),
            -6010);
  EXPECT_EQ(privacy, 0);
}

class StoreFileTest : public ::testing::Test {
 protected:
  StorePtr fileStore(const std::string& name, const std::string& rootXml = "") {
    StorePtr store = sysInfoStore(rootXml);
    store->filePath = dir_.file(name);
    return store;
  }
  TempDir dir_;
};

TEST_F(StoreFileTest, WriteThenReadGivesTheSameFields) {
  StorePtr store = fileStore("a.sinfo", "<sysinfo/>");
  const char* id = "0123456789abcdef0123456789abcdef";
  ASSERT_EQ(
      setSysInfoField(1, const_cast<char*>(id), store.get(), kSiKvaId, nullptr),
      0);
  std::uint16_t privacy = 1;
  ASSERT_EQ(
      setSysInfoField(1, &privacy, store.get(), kSiSystemPrivacy, nullptr), 0);
  ASSERT_EQ(lockVorlanXML(0, store.get(), nullptr), 0);
  ASSERT_EQ(writeVorlanXML(1, store.get(), nullptr), 0);
  ASSERT_EQ(unlockVorlanXML(store.get(), nullptr), 0);
  std::string first = readFile(dir_.file("a.sinfo"));
  EXPECT_EQ(first.size(), 2 * store->text.size() + 36);
  EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos);

  ASSERT_EQ(lockVorlanXML(0, store.get(), nullptr), 0);
  ASSERT_EQ(writeVorlanXML(1, store.get(), nullptr), 0);
  ASSERT_EQ(unlockVorlanXML(store.get(), nullptr), 0);
  EXPECT_NE(readFile(dir_.file("a.sinfo")), first) << "a new salt each time";

  StorePtr reader = fileStore("a.sinfo");
  ASSERT_EQ(lockVorlanXML(0, reader.get(), nullptr), 0);
  ASSERT_EQ(readVorlanXML(1, reader.get(), nullptr), 0);
  ASSERT_EQ(unlockVorlanXML(reader.get(), nullptr), 0);
  EXPECT_EQ(textField(reader.get(), kSiKvaId), id);
  std::uint16_t back = 0;
  EXPECT_EQ(getSysInfoField(1, &back, reader.get(), kSiSystemPrivacy, nullptr),
            0);
  EXPECT_EQ(back, 1);
  EXPECT_EQ(reader->text, store->text);

  // A store swapped into another takes the document and text along.
  StorePtr target = sysInfoStore("<old/>");
  EXPECT_EQ(swapVorlanXML(1, 1, target.get(), reader.get(), nullptr), 0);
  EXPECT_EQ(textField(target.get(), kSiKvaId), id);
  EXPECT_EQ(reader->doc, nullptr);
  EXPECT_TRUE(reader->text.empty());
}

TEST_F(StoreFileTest, LockAndReadFailures) {
  StorePtr store = fileStore("b.sinfo", "<s/>");
  // A just-created, empty file.
  ASSERT_EQ(lockVorlanXML(1, store.get(), nullptr), 0);
  EXPECT_EQ(readVorlanXML(1, store.get(), nullptr), -6008);
  EXPECT_EQ(store->doc, nullptr);
  ASSERT_EQ(unlockVorlanXML(store.get(), nullptr), 0);
  // Exclusive create on an existing file.
  EXPECT_EQ(lockVorlanXML(1, store.get(), nullptr), -6013);
  // The file lock was released: the next lock goes through.
  ASSERT_EQ(lockVorlanXML(0, store.get(), nullptr), 0);
  // A system unlock that fails (its descriptor closed behind its back)
  // still releases everything.
  apr_os_file_t fd = -1;
  ASSERT_EQ(apr_os_file_get(&fd, store->file), APR_SUCCESS);
  close(fd);
  EXPECT_EQ(unlockVorlanXML(store.get(), nullptr), -6015);
  EXPECT_EQ(store->file, nullptr);
  ASSERT_EQ(lockVorlanXML(0, store.get(), nullptr), 0);
  ASSERT_EQ(unlockVorlanXML(store.get(), nullptr), 0);
  StorePtr nowhere = fileStore("missing-dir/c.sinfo");
  EXPECT_EQ(lockVorlanXML(0, nowhere.get(), nullptr), -6013);
}

TEST_F(StoreFileTest, DamagedFilesGiveACodeNotACrash) {
  std::string valid;
  {
    StorePtr store = fileStore("v.sinfo", "<s><kvaid>abc</kvaid></s>");
    ASSERT_EQ(lockVorlanXML(0, store.get(), nullptr), 0);
    ASSERT_EQ(writeVorlanXML(1, store.get(), nullptr), 0);
    ASSERT_EQ(unlockVorlanXML(store.get(), nullptr), 0);
    valid = readFile(dir_.file("v.sinfo"));
  }
  char* dtdCipher = nullptr;
  ASSERT_EQ(payloadEncipher("<!DOCTYPE s [<!ENTITY a \"aaaa\">]><s>&a;</s>",
                            &dtdCipher),
            0);
  std::string withDtd = dtdCipher;
  std::free(dtdCipher);
  std::string garbage(50 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < garbage.size(); ++i)
    garbage[i] = static_cast<char>((i * 2654435761u) >> 13);
  struct Case {
    const char* name;
    std::string content;
  } cases[] = {
      {"truncated", valid.substr(0, valid.size() / 2)},
      {"cut to the salt", valid.substr(valid.size() - 36)},
      {"not hex", std::string(valid.size(), 'z')},
      {"document type declaration", withDtd},
      {"50 MB of garbage", garbage},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(dir_.file("d.sinfo"), c.content);
    StorePtr store = fileStore("d.sinfo");
    ASSERT_EQ(lockVorlanXML(0, store.get(), nullptr), 0);
    int rc = readVorlanXML(1, store.get(), nullptr);
    EXPECT_TRUE(rc == -6008 || rc == -2016) << rc;
    EXPECT_EQ(store->doc, nullptr);
    EXPECT_EQ(unlockVorlanXML(store.get(), nullptr), 0);
  }
}

TEST_F(StoreFileTest, SecondProcessWaitsForTheFile) {
  test::LockHolder holder(VORLAN_STORE_LOCKER, dir_.file("shared.sinfo"));
  ASSERT_EQ(holder.nextLine(), "locked");
  StorePtr store = fileStore("shared.sinfo");
  std::atomic<bool> acquired{false};
  std::thread waiter([&] {
    EXPECT_EQ(lockVorlanXML(0, store.get(), nullptr), 0);
    acquired = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(acquired.load()) << "the other process holds the file";
  EXPECT_TRUE(holder.release());
  waiter.join();
  EXPECT_TRUE(acquired.load());
  EXPECT_EQ(unlockVorlanXML(store.get(), nullptr), 0);
}

}  // namespace
}  // namespace vorlan
