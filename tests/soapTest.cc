// The SOAP envelope, the library ID and the reading of replies.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "runtime/payloadCipher.h"
#include "soap/clientSoap.h"
#include "soap/kestsoap.h"

namespace vorlan {
namespace {

XmlDocPtr parse(const std::string& text) {
  XmlDocPtr doc;
  EXPECT_EQ(textToXml(text.data(), text.size(), &doc, nullptr), 0);
  return doc;
}

std::vector<std::string> elementNames(xmlNode* parent) {
  std::vector<std::string> names;
  for (xmlNode* n = parent->children; n != nullptr; n = n->next)
    if (n->type == XML_ELEMENT_NODE)
      names.push_back(reinterpret_cast<const char*>(n->name));
  return names;
}

TEST(LibraryId, IsStableAndBounded) {
  std::string id, again;
  ASSERT_EQ(makeLibraryId(42, 7, &id), 0);
  ASSERT_EQ(makeLibraryId(42, 7, &again), 0);
  EXPECT_EQ(id, again);
  ASSERT_EQ(id.size(), 20u);
  // Undoing the exclusive or gives the IDs back.
  const char key[] = "Vn4rQ8zKt2Lw7Xp1Hc9MbS";
  std::string plain;
  for (int i = 0; i < 10; ++i)
    plain +=
        static_cast<char>(std::stoi(id.substr(2 * i, 2), nullptr, 16) ^ key[i]);
  EXPECT_EQ(plain, "0004200007");
  EXPECT_EQ(makeLibraryId(100000, 7, &id), -2900);
  EXPECT_EQ(makeLibraryId(7, 100000, &id), -2900);
  EXPECT_TRUE(id.empty());
  EXPECT_EQ(makeLibraryId(99999, 99999, &id), 0);
}

TEST(Envelope, HasItsFixedShape) {
  std::string text;
  ASSERT_EQ(buildSoapEnvelope(1, &text, "KestavornKVA/4.0.0.29", nullptr, 0,
                              "GetLocation", nullptr, nullptr),
            0);
  EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n", 0), 0u);
  EXPECT_NE(
      text.find("<SOAP-ENV:Envelope "
                "xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\" "
                "xmlns:SOAP-ENC=\"http://www.w3.org/2003/05/soap-encoding\" "
                "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
                "xmlns:KestActServ=\"http://services.kestavorn.example/"
                "KestActServ\" "
                "xmlns:KestActServ2=\"http://services.kestavorn.example/"
                "KestActServSoap\" "
                "xmlns:KestActServ3=\"http://services.kestavorn.example/"
                "KestActServSoap12\">"),
      std::string::npos)
      << text;
  EXPECT_NE(text.find("<SOAPKestParms "
                      "xmlns=\"http://services.kestavorn.example/"
                      "KestActServ\">"),
            std::string::npos);
  XmlDocPtr doc = parse(text);
  xmlNode* root = xmlDocGetRootElement(doc.get());
  EXPECT_EQ(elementNames(root), (std::vector<std::string>{"Header", "Body"}));
  std::optional<std::string> value;
  getXmlString(&value, "libraryID", doc.get(), nullptr, nullptr);
  EXPECT_EQ(value, "KESTNA");
  getXmlString(&value, "headerInformation", doc.get(), nullptr, nullptr);
  EXPECT_EQ(value, "0");
  getXmlString(&value, "libraryInformation", doc.get(), nullptr, nullptr);
  EXPECT_EQ(value, "KestavornKVA/4.0.0.29");
  xmlNode* op = nullptr;
  ASSERT_EQ(findXmlElement(doc.get(), "GetLocation", &op, nullptr), 0);
  EXPECT_EQ(op->children, nullptr);
  EXPECT_EQ(
      buildSoapEnvelope(1, &text, "x", nullptr, 0, nullptr, nullptr, nullptr),
      -4011);
  EXPECT_EQ(buildSoapEnvelope(1, &text, "x", nullptr, 0, "Op", "a", nullptr),
            -2018);
}

TEST(Envelope, CarriesTheRecordEnciphered) {
  std::string record =
      "<?xml version=\"1.0\"?>\n<vorlanserver><a>b &amp; c</a>"
      "</vorlanserver>\n";
  std::string text;
  ASSERT_EQ(buildSoapEnvelope(1, &text, "KestavornKVA/4.0.0.29", "00ff", 7,
                              "RecordFeatureStart", record.c_str(), nullptr),
            0);
  XmlDocPtr doc = parse(text);
  xmlNode* op = nullptr;
  ASSERT_EQ(findXmlElement(doc.get(), "RecordFeatureStart", &op, nullptr), 0);
  EXPECT_EQ(elementNames(op), std::vector<std::string>{"XMLData"});
  xmlNode* data = op->children;
  while (data->type != XML_ELEMENT_NODE) data = data->next;
  ASSERT_NE(data->children, nullptr);
  EXPECT_EQ(data->children->type, XML_CDATA_SECTION_NODE);
  EXPECT_EQ(data->children->next, nullptr);
  std::string plain;
  ASSERT_EQ(payloadDecipher(
                reinterpret_cast<const char*>(data->children->content), &plain),
            0);
  EXPECT_EQ(plain, record);
  std::optional<std::string> value;
  getXmlString(&value, "headerInformation", doc.get(), nullptr, nullptr);
  EXPECT_EQ(value, "7");
}

// A reply as the service sends it, around an inner document.
std::string reply(const std::string& operation, const std::string& inner) {
  char* cipher = nullptr;
  EXPECT_EQ(payloadEncipher(inner.c_str(), &cipher), 0);
  std::string text =
      "<?xml version=\"1.0\"?><soap:Envelope "
      "xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Body><" +
      operation + "Response xmlns=\"urn:x\"><" + operation + "Result>" +
      cipher + "</" + operation + "Result></" + operation +
      "Response></soap:Body></soap:Envelope>";
  std::free(cipher);
  return text;
}

std::string inner(const std::string& body) {
  return "<?xml version=\"1.0\"?><vorlanserver>" + body + "</vorlanserver>";
}

TEST(SoapReplyParsing, MapsEachReplyToItsStatus) {
  struct Case {
    const char* name;
    std::string bytes;
    int rc;
    bool document;
  } cases[] = {
      {"0", reply("Op", inner("<returnvalue>0</returnvalue>")), 0, true},
      {"00", reply("Op", inner("<returnvalue>00</returnvalue>")), 0, true},
      {"0abc", reply("Op", inner("<returnvalue>0abc</returnvalue>")), 0, true},
      {"-5", reply("Op", inner("<returnvalue>-5</returnvalue>")), -4205, true},
      {"-5 from a relay",
       reply("Op", inner("<returnvalue>-5</returnvalue>"
                         "<KestavornDaemon>1</KestavornDaemon>")),
       -5, true},
      {"abc", reply("Op", inner("<returnvalue>abc</returnvalue>")), -4200,
       true},
      {"-32", reply("Op", inner("<returnvalue>-32</returnvalue>")), -4037,
       true},
      {"no returnvalue", reply("Op", inner("<other>1</other>")), -4038, true},
      {"wrong operation", reply("Other", inner("<returnvalue>0</returnvalue>")),
       -4007, false},
      {"fault",
       "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\">"
       "<soap:Body><soap:Fault><soap:Reason><soap:Text>bad</soap:Text>"
       "</soap:Reason></soap:Fault></soap:Body></soap:Envelope>",
       -4007, false},
      {"empty body", "", -4006, false},
      {"not xml", "HTTP garbage <", -4006, false},
      {"empty result", "<r><OpResult/></r>", -4006, false},
      {"undecipherable", "<r><OpResult>zz</OpResult></r>", -2016, false},
      {"inner not xml", reply("Op", "not xml"), -6008, false},
      {"inner doctype",
       reply("Op",
             "<!DOCTYPE v [<!ENTITY a \"aaaa\">]><vorlanserver>"
             "<returnvalue>&a;</returnvalue></vorlanserver>"),
       -6008, false},
      {"doctype envelope",
       "<!DOCTYPE r [<!ENTITY a \"" + std::string(1000, 'a') +
           "\">]><r><OpResult>&a;&a;&a;</OpResult></r>",
       -4006, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    XmlDocPtr doc;
    EXPECT_EQ(
        parseSoapReply(1, "Op", c.bytes.data(), c.bytes.size(), &doc, nullptr),
        c.rc);
    EXPECT_EQ(doc != nullptr, c.document);
  }
}

TEST(SoapTransfer, ErrorsAndTheReplyCap) {
  struct Row {
    int curl, status;
  } rows[] = {{2, -4300},  {3, -4301},  {5, -4302},  {6, -4303},
              {7, -4304},  {23, -4305}, {26, -4306}, {27, -4307},
              {28, -4308}, {52, -4309}, {55, -4310}, {56, -4311},
              {63, -4312}, {35, -4435}, {60, -4460}, {1, -4401}};
  for (const Row& r : rows) EXPECT_EQ(curlErrorToStatus(r.curl), r.status);

  SoapReply collected;
  std::string chunk(64 * 1024, 'x');
  std::size_t total = 0;
  while (collectReply(chunk.data(), 1, chunk.size(), &collected) ==
         chunk.size())
    total += chunk.size();
  EXPECT_EQ(total, kMaxReplySize);
  EXPECT_EQ(collected.bytes.size(), kMaxReplySize);
}

}  // namespace
}  // namespace vorlan
