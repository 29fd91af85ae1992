// XML lookups and conversions, and hostile documents.
#include <gtest/gtest.h>

#include <string>

#include "xml/xmlHelpers.h"

namespace vorlan {
namespace {

XmlDocPtr parse(const std::string& text) {
  XmlDocPtr doc;
  EXPECT_EQ(textToXml(text.data(), text.size(), &doc, nullptr), 0) << text;
  return doc;
}

TEST(XmlLookup, FirstMatchInDocumentOrder) {
  XmlDocPtr doc = parse(
      "<r><a><b><tag>deep first</tag></b></a><tag>shallow later</tag>"
      "<empty/><blank></blank><amp>x &amp; y</amp></r>");
  std::optional<std::string> value;
  EXPECT_EQ(getXmlString(&value, "tag", doc.get(), nullptr, nullptr), 0);
  EXPECT_EQ(value, "deep first");
  EXPECT_EQ(getXmlString(&value, "amp", doc.get(), nullptr, nullptr), 0);
  EXPECT_EQ(value, "x & y");
  for (const char* missing : {"empty", "blank", "nothere", "r2"}) {
    value = "stale";
    EXPECT_EQ(getXmlString(&value, missing, doc.get(), nullptr, nullptr), -6003)
        << missing;
    EXPECT_FALSE(value) << missing;
  }
  // From a start element: that element, its subtree, its later siblings.
  xmlNode* a = nullptr;
  ASSERT_EQ(findXmlElement(doc.get(), "a", &a, nullptr), 0);
  xmlNode* second = a->next;
  EXPECT_EQ(getXmlString(&value, "tag", doc.get(), second, nullptr), 0);
  EXPECT_EQ(value, "shallow later");
  xmlNode* none = a;
  EXPECT_EQ(findXmlElement(doc.get(), "nothere", &none, nullptr), -6003);
  EXPECT_EQ(none, nullptr);

  // A document without a root element.
  XmlDocPtr bare(xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0")));
  value = "stale";
  EXPECT_EQ(getXmlString(&value, "tag", bare.get(), nullptr, nullptr), 0);
  EXPECT_FALSE(value);
  std::uint32_t n = 5;
  EXPECT_EQ(getXmlUint(&n, "tag", bare.get(), nullptr, nullptr), 0);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(findXmlElement(bare.get(), "tag", &none, nullptr), 0);
  EXPECT_EQ(none, nullptr);
}

TEST(XmlLookup, NumbersConvertAsTheCLibraryDoes) {
  struct Case {
    const char* text;
    int rc;
    std::uint32_t value;
  } cases[] = {
      {"12", 0, 12},     {" 12", 0, 12},       {"12 ", -6010, 0},
      {"12a", -6010, 0}, {"4294967296", 0, 0}, {"-1", 0, 4294967295u},
      {"+7", 0, 7},      {"abc", -6010, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    XmlDocPtr doc = parse(std::string("<r><n>") + c.text + "</n></r>");
    std::uint32_t n = 99;
    EXPECT_EQ(getXmlUint(&n, "n", doc.get(), nullptr, nullptr), c.rc);
    EXPECT_EQ(n, c.value);
  }
  std::int32_t i = 5;
  EXPECT_EQ(strToInt("-32", &i, nullptr), 0);
  EXPECT_EQ(i, -32);
  EXPECT_EQ(strToInt("", &i, nullptr), 0);
  EXPECT_EQ(i, 0);
  i = 5;
  EXPECT_EQ(strToInt(nullptr, &i, nullptr), 0);
  EXPECT_EQ(i, 0);
  EXPECT_EQ(strToInt("3x", &i, nullptr), -6010);
  std::uint64_t big = 0;
  EXPECT_EQ(strToUint64("18446744073709551615", &big, nullptr), 0);
  EXPECT_EQ(big, 18446744073709551615ull);
}

TEST(XmlLookup, RecordValuesAndPrefixedElements) {
  XmlDocPtr record = parse(
      "<vorlanserver><location><country>Utopia</country>"
      "<countryid>42</countryid></location></vorlanserver>");
  std::optional<std::string> value;
  EXPECT_EQ(
      getRecordValue(record.get(), "location", "countryid", &value, nullptr),
      0);
  EXPECT_EQ(value, "42");
  EXPECT_EQ(getLocationValue(record.get(), "country", &value, nullptr), 0);
  EXPECT_EQ(value, "Utopia");
  EXPECT_EQ(getLocationValue(record.get(), "city", &value, nullptr), 0);
  EXPECT_FALSE(value);
  EXPECT_EQ(getRecordValue(record.get(), "bad[", "x", &value, nullptr), 0);
  EXPECT_FALSE(value);

  XmlDocPtr other =
      parse("<other><location><countryid>42</countryid></location></other>");
  EXPECT_EQ(getLocationValue(other.get(), "countryid", &value, nullptr), 0);
  EXPECT_FALSE(value);

  XmlDocPtr reply = parse(
      "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\">"
      "<soap:Body><soap:Fault><soap:Reason>no</soap:Reason></soap:Fault>"
      "</soap:Body></soap:Envelope>");
  xmlNode* fault = nullptr;
  EXPECT_EQ(findXmlElement(reply.get(), "Fault", &fault, nullptr), 0);
  ASSERT_NE(fault, nullptr);
  EXPECT_STREQ(reinterpret_cast<const char*>(fault->ns->prefix), "soap");
}

TEST(XmlText, SerialisesAndParses) {
  XmlDocPtr doc = parse("<r><a>1</a><b>two</b></r>");
  std::string text;
  EXPECT_EQ(xmlToText(&text, doc.get(), nullptr), 0);
  EXPECT_EQ(
      text.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<r>\n  <a>", 0),
      0u)
      << text;
  XmlDocPtr back;
  EXPECT_EQ(textToXml(text.data(), text.size(), &back, nullptr), 0);
  EXPECT_EQ(xmlToText(&text, nullptr, nullptr), 0);
  EXPECT_EQ(text, "");
  EXPECT_EQ(textToXml("", 0, &back, nullptr), -6008);
  EXPECT_EQ(back, nullptr);
  EXPECT_EQ(textToXml("<r>", 3, &back, nullptr), -6008);
  // Only the given length is read.
  EXPECT_EQ(textToXml("<r/>garbage", 4, &back, nullptr), 0);
}

// Hostile documents: each is refused, neither loading anything from disk
// or network nor expanding without bound.
std::string hostile(const std::string& name, const std::string& secretPath) {
  if (name == "billion laughs") {
    std::string d = "<!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\">";
    for (char e = 'b'; e <= 'k'; ++e) {
      d += std::string("<!ENTITY ") + e + " \"";
      for (int i = 0; i < 10; ++i) d += std::string("&") + char(e - 1) + ";";
      d += "\">";
    }
    return d + "]><r><v>&k;</v></r>";
  }
  if (name == "quadratic blow-up") {
    std::string d =
        "<!DOCTYPE r [<!ENTITY a \"" + std::string(20000, 'a') + "\">]><r><v>";
    for (int i = 0; i < 20000; ++i) d += "&a;";
    return d + "</v></r>";
  }
  if (name == "external general entity")
    return "<!DOCTYPE r [<!ENTITY x SYSTEM \"file://" + secretPath +
           "\">]><r><v>&x;</v></r>";
  if (name == "external parameter entity")
    return "<!DOCTYPE r [<!ENTITY % p SYSTEM \"file://" + secretPath +
           "\"> %p;]><r><v>1</v></r>";
  if (name == "external DTD")
    return "<!DOCTYPE r SYSTEM \"http://127.0.0.1:9/evil.dtd\"><r><v>1</v></r>";
  if (name == "nesting deeper than 256") {
    std::string d;
    for (int i = 0; i < 300; ++i) d += "<n>";
    for (int i = 0; i < 300; ++i) d += "</n>";
    return d;
  }
  return "";
}

TEST(XmlText, HostileDocumentsAreRefused) {
  std::string secretPath = "/etc/hostname";
  for (const char* name :
       {"billion laughs", "quadratic blow-up", "external general entity",
        "external parameter entity", "external DTD",
        "nesting deeper than 256"}) {
    SCOPED_TRACE(name);
    std::string text = hostile(name, secretPath);
    XmlDocPtr doc;
    EXPECT_EQ(textToXml(text.data(), text.size(), &doc, nullptr), -6008);
    EXPECT_EQ(doc, nullptr);
  }
  // The billion laughs fail in the parser itself, whatever the caller does
  // with the document afterwards.
  EXPECT_EQ(parseXmlText(hostile("billion laughs", secretPath).c_str()),
            nullptr);
}

}  // namespace
}  // namespace vorlan
