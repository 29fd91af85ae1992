// Exchanges with the analytics test service on loopback, directly, over
// HTTPS and through a real proxy.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <thread>

#include "frame/stampAccess.h"
#include "frame/vorlan.h"
#include "include/vorlan.h"
#include "runtime/kestThreads.h"
#include "serviceFixture.h"
#include "soap/clientSoap.h"

namespace vorlan {
namespace {

using test::TempDir;
using test::TestService;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class ExchangeTest : public ::testing::Test {
 protected:
  void TearDown() override { KestLibClose(); }
  void open(const std::string& extra = "") {
    std::string doc = "<p><KVAEnabled>1</KVAEnabled><WorkDir>" + dir_.path() +
                      "</WorkDir>" + extra + "</p>";
    ASSERT_EQ(KestLibOpen(doc.c_str()), KEST_OK);
  }
  XmlDocPtr record() {
    XmlDocPtr doc;
    std::string text =
        "<vorlanserver><featurecode>F-1 &amp; more</featurecode>"
        "</vorlanserver>";
    EXPECT_EQ(textToXml(text.data(), text.size(), &doc, nullptr), 0);
    return doc;
  }
  int exchange(const TestService& service, const char* operation = "Op",
               xmlDoc* request = nullptr, XmlDocPtr* reply = nullptr,
               int transferMs = 5000) {
    XmlDocPtr ignored;
    return soapExchange(1, 42, 7, 3000, transferMs, "127.0.0.1",
                        (":" + std::to_string(service.port())).c_str(),
                        operation, request, reply ? reply : &ignored, nullptr);
  }
  TempDir dir_;
};

TEST_F(ExchangeTest, PostsTheEnvelopeAndReadsTheReply) {
  TestService service(dir_);
  ASSERT_TRUE(service.ok());
  open();
  XmlDocPtr request = record(), reply;
  // The suffix as a path ...
  EXPECT_EQ(soapExchange(1, 42, 7, 3000, 5000, service.hostPort().c_str(),
                         "/KestActServ", "RecordFeatureStart", request.get(),
                         &reply, nullptr),
            0);
  ASSERT_NE(reply, nullptr);
  // ... and as ":port".
  EXPECT_EQ(exchange(service, "GetLocation", nullptr, &reply), 0);
  std::optional<std::string> country;
  getLocationValue(reply.get(), "countryid", &country, nullptr);
  EXPECT_EQ(country, "42");

  std::vector<std::string> seen = service.requests();
  ASSERT_EQ(seen.size(), 2u);
  const std::string& first = seen[0];
  EXPECT_TRUE(contains(first, "\"path\": \"/KestActServ\"")) << first;
  EXPECT_TRUE(contains(seen[1], "\"path\": \"/\"")) << seen[1];
  EXPECT_TRUE(contains(first, "\"problems\": []")) << first;
  EXPECT_TRUE(contains(first, "\"expect_header_present\": false"));
  EXPECT_TRUE(contains(first, "\"customer_id\": 42"));
  EXPECT_TRUE(contains(first, "\"product_id\": 7"));
  EXPECT_TRUE(contains(first, "\"User-Agent\": \"KestavornKVA/4.0.0.29\""));
  EXPECT_TRUE(contains(first, "\"Connection\": \"close\""));
  EXPECT_TRUE(contains(first,
                       "action=\\\"http://services.kestavorn.example/"
                       "KestActServ/RecordFeatureStart\\\""))
      << first;
  EXPECT_TRUE(contains(first, "F-1 &amp; more")) << "the record arrived";
  EXPECT_TRUE(contains(first, "\"header_information\": \"0\""));
  // The headers arrive in the order they were given.
  std::size_t agent = first.find("\"User-Agent\""),
              connection = first.find("\"Connection\""),
              type = first.find("\"Content-Type\"");
  EXPECT_LT(agent, connection);
  EXPECT_LT(connection, type);
  EXPECT_NE(type, std::string::npos);
  EXPECT_TRUE(contains(seen[1], "\"operation\": \"GetLocation\""));
}

TEST_F(ExchangeTest, EachReplyBehaviourHasItsStatus) {
  TestService service(dir_);
  ASSERT_TRUE(service.ok());
  open();
  struct Case {
    const char* control;
    int rc;
  } cases[] = {
      {R"({"mode": "normal", "returnvalue": "0"})", 0},
      {R"({"mode": "normal", "returnvalue": "00"})", 0},
      {R"({"mode": "normal", "returnvalue": "-5"})", -4205},
      {R"({"mode": "relay", "returnvalue": "-5"})", -5},
      {R"({"mode": "normal", "returnvalue": "abc"})", -4200},
      {R"({"mode": "normal", "returnvalue": "-32"})", -4037},
      {R"({"mode": "no-returnvalue"})", -4038},
      {R"({"mode": "fault"})", -4007},
      {R"({"mode": "empty-body"})", -4006},
      {R"({"mode": "not-xml"})", -4006},
      {R"({"mode": "empty-result"})", -4006},
      {R"({"mode": "bad-cipher"})", -2016},
      {R"({"mode": "doctype"})", -4006},
      {R"({"mode": "inner-doctype"})", -6008},
      {R"({"mode": "huge"})", -4305},
      {R"({"mode": "close"})", -4309},
  };
  XmlDocPtr request = record();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.control);
    ASSERT_TRUE(service.control(c.control));
    EXPECT_EQ(exchange(service, "RecordLogin", request.get()), c.rc);
  }
  ASSERT_TRUE(service.control(R"({"mode": "delay", "seconds": 3})"));
  EXPECT_EQ(exchange(service, "RecordLogin", request.get(), nullptr, 1000),
            -4308);
}

TEST_F(ExchangeTest, TheLogTellsOfFaultsAndUncheckedPeers) {
  TestService service(dir_);
  ASSERT_TRUE(service.ok());
  open("<LogLevel>2</LogLevel><HTTPSVerify>0</HTTPSVerify>");
  ASSERT_TRUE(service.control(R"({"mode": "fault"})"));
  XmlDocPtr reply;
  EXPECT_EQ(soapExchange(1, 42, 7, 3000, 5000, "127.0.0.1",
                         (":" + std::to_string(service.port())).c_str(), "Op",
                         nullptr, &reply, frameLog()),
            -4007);
  char* path = nullptr;
  ASSERT_EQ(KestGetFilepath(".log", &path), KEST_OK);
  std::string log = path;
  std::free(path);
  std::string content;
  for (int i = 0; i < 500; ++i) {
    content = test::readFile(log);
    if (contains(content, "Server Fault: ")) break;
    usleep(10000);
  }
  EXPECT_TRUE(contains(content, "loglevel=33")) << content;
  EXPECT_TRUE(contains(content, ">Server Fault: clientSoap: ")) << content;
  EXPECT_TRUE(contains(content, "not verified")) << content;
}

TEST_F(ExchangeTest, UnreachableServicesFailClearly) {
  open();
  XmlDocPtr reply;
  int port = test::freePort();
  EXPECT_EQ(soapExchange(1, 42, 7, 2000, 3000, "127.0.0.1",
                         (":" + std::to_string(port)).c_str(), "Op", nullptr,
                         &reply, nullptr),
            -4304);
  EXPECT_EQ(soapExchange(1, 42, 7, 2000, 3000, "nosuch-host.invalid", "/x",
                         "Op", nullptr, &reply, nullptr),
            -4303);
  EXPECT_EQ(soapExchange(1, 100000, 7, 2000, 3000, "127.0.0.1", "/x", "Op",
                         nullptr, &reply, nullptr),
            -2900);
  EXPECT_EQ(reply, nullptr);
}

TEST_F(ExchangeTest, HttpsVerifiesThePeerUnlessToldOtherwise) {
  test::Certificate cert(dir_);
  ASSERT_TRUE(cert.ok());
  TestService service(dir_, &cert);
  ASSERT_TRUE(service.ok());
  struct Case {
    std::string params;
    int rc;
  } cases[] = {
      {"<HTTPSEnabled>1</HTTPSEnabled>", -4400 - 60},  // not trusted
      {"<HTTPSEnabled>1</HTTPSEnabled><HTTPSCAFile>" + cert.cert() +
           "</HTTPSCAFile>",
       0},
      {"<HTTPSEnabled>1</HTTPSEnabled><HTTPSVerify>0</HTTPSVerify>", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.params);
    open(c.params);
    EXPECT_EQ(exchange(service), c.rc);
    KestLibClose();
  }
  // The identity's flag 0x20 asks for https whatever the document says.
  open("<HTTPSCAFile>" + cert.cert() + "</HTTPSCAFile>");
  StampRecord r{
      "VORLAN-STAMP", kStampLayoutVersion, 12, 345, 0x20, 0, 0, "h", "/s", 0};
  r.checksum = stampChecksum(r);
  ASSERT_EQ(loadLibraryStampFrom(r), 0);
  EXPECT_EQ(exchange(service), 0);
}

TEST_F(ExchangeTest, ProxyCarriesTheExchangeWithItsCredentials) {
  TestService service(dir_);
  ASSERT_TRUE(service.ok());
  test::Proxy proxy(dir_, "alice", "s3cret");
  ASSERT_TRUE(proxy.accepting());
  std::string via = "<ProxyIP>127.0.0.1</ProxyIP><ProxyPort>" +
                    std::to_string(proxy.port()) + "</ProxyPort>";
  open(via +
       "<ProxyUsername>alice</ProxyUsername>"
       "<ProxyPassword>s3cret</ProxyPassword>");
  EXPECT_EQ(exchange(service), 0);
  EXPECT_EQ(service.requests().size(), 1u);
  KestLibClose();

  open(via +
       "<ProxyUsername>alice</ProxyUsername>"
       "<ProxyPassword>wrong</ProxyPassword>");
  EXPECT_LT(exchange(service), 0);
  EXPECT_EQ(service.requests().size(), 1u) << "nothing got through";
  KestLibClose();

  // Credentials without a proxy address are not used: straight through.
  open("<ProxyUsername>alice</ProxyUsername>");
  EXPECT_EQ(exchange(service), 0);
  EXPECT_EQ(service.requests().size(), 2u);
}

TEST_F(ExchangeTest, ManyExchangesAtOnce) {
  TestService service(dir_);
  ASSERT_TRUE(service.ok());
  open();
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 10; ++t) {
    threads.emplace_back([&] {
      XmlDocPtr request = record();
      for (int i = 0; i < 20; ++i)
        if (exchange(service, "RecordFeatureStop", request.get()) != 0)
          ++failures;
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(service.requests().size(), 200u);
}

struct PipeJob {
  int port;
  xmlDoc* request;
  std::atomic<int>* rc;
  bool pipeBlocked = false;
};

TEST_F(ExchangeTest, ABrokenConnectionNeverSignalsTheHost) {
  ASSERT_EQ(std::signal(SIGPIPE, SIG_DFL), SIG_DFL);
  test::Certificate cert(dir_);
  ASSERT_TRUE(cert.ok());
  TestService service(dir_, &cert);
  ASSERT_TRUE(service.ok());
  open("<HTTPSEnabled>1</HTTPSEnabled><HTTPSVerify>0</HTTPSVerify>");
  ASSERT_TRUE(service.control(R"({"mode": "reset"})"));
  // A record large enough that the request is still being written when
  // the service hangs up.
  XmlDocPtr big;
  std::string text = "<vorlanserver><data>" + std::string(4 << 20, 'x') +
                     "</data></vorlanserver>";
  ASSERT_EQ(textToXml(text.data(), text.size(), &big, nullptr), 0);
  KestPool* pool = nullptr;
  ASSERT_EQ(createKestPool(&pool, 1, 1, "KestSoap", nullptr, nullptr), 0);
  std::atomic<int> rc{1};
  PipeJob job{service.port(), big.get(), &rc};
  auto run = [](void* data) {
    auto* j = static_cast<PipeJob*>(data);
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    j->pipeBlocked = sigismember(&mask, SIGPIPE) == 1;
    XmlDocPtr reply;
    *j->rc = soapExchange(1, 42, 7, 3000, 10000, "127.0.0.1",
                          (":" + std::to_string(j->port)).c_str(), "Op",
                          j->request, &reply, nullptr);
  };
  ASSERT_EQ(submitKestPool(pool, run, &job), APR_SUCCESS);
  for (int i = 0; i < 1000 && rc == 1; ++i) usleep(10000);
  cancelKestPool(pool, nullptr);
  destroyKestPool(pool, nullptr);
  EXPECT_LT(rc.load(), 0) << "the exchange failed, and the process lives";
  // libcurl sends with MSG_NOSIGNAL where it can; whatever else writes to
  // a socket on the library's threads finds SIGPIPE blocked there.
  EXPECT_TRUE(job.pipeBlocked);
}

}  // namespace
}  // namespace vorlan
