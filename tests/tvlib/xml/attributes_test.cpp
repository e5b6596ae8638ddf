#include <gtest/gtest.h>

#include <string>

#include "tvlib/xml/xml.h"

namespace {

TEST(XmlAttributes, Unsigned32) {
  TiXmlElement e("config");
  e.SetAttribute("latency", "2560");
  uint32_t v = 7;
  const char* text = Attribute(&e, "latency", &v);
  ASSERT_NE(nullptr, text);
  EXPECT_STREQ("2560", text);
  EXPECT_EQ(2560u, v);

  e.SetAttribute("latency", "abc");
  v = 7;
  text = Attribute(&e, "latency", &v);
  ASSERT_NE(nullptr, text);
  EXPECT_STREQ("abc", text);
  EXPECT_EQ(0u, v);

  v = 7;
  EXPECT_EQ(nullptr, Attribute(&e, "missing", &v));
  EXPECT_EQ(7u, v);
  EXPECT_NE(nullptr, Attribute(&e, "latency", static_cast<uint32_t*>(nullptr)));
}

TEST(XmlAttributes, SixtyFourBitRoundTrip) {
  TiXmlElement e("e");
  SetAttribute(&e, "s", static_cast<int64_t>(-5000000000LL));
  SetAttribute(&e, std::string("u"), static_cast<uint64_t>(18000000000000000000ULL));
  SetAttribute(&e, std::string("s2"), static_cast<int64_t>(42));
  SetAttribute(&e, "u2", static_cast<uint64_t>(1));
  EXPECT_STREQ("-5000000000", e.Attribute("s"));
  EXPECT_STREQ("18000000000000000000", e.Attribute("u"));
  int64_t s = 0;
  uint64_t u = 0;
  EXPECT_NE(nullptr, Attribute(&e, "s", &s));
  EXPECT_NE(nullptr, Attribute(&e, "u", &u));
  EXPECT_EQ(-5000000000LL, s);
  EXPECT_EQ(18000000000000000000ULL, u);
  s = 5;
  EXPECT_EQ(nullptr, Attribute(&e, "none", &s));
  EXPECT_EQ(5, s);
}

TEST(XmlAttributes, SetReplacesInPlaceAndAppendsNew) {
  TiXmlElement e("e");
  e.SetAttribute("a", "1");
  e.SetAttribute("b", "2");
  SetAttribute(&e, "a", static_cast<uint32_t>(4294967295u));
  SetAttribute(&e, "c", static_cast<uint32_t>(3));
  std::string out;
  PrintToString(&e, out, 0);
  EXPECT_EQ("<e a=\"4294967295\" b=\"2\" c=\"3\" />", out);
}

}  // namespace
