#include <gtest/gtest.h>

#include <string>

#include "tvlib/files/rotating.h"
#include "support/temp_dir.h"
#include "tvlib/xml/xml.h"

namespace {

const char kBody[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\n"
    "<config version=\"1.0.14\" latency=\"2560\">\n"
    "    <ch1 enable=\"true\" watermarking_channel=\"3\" />\n"
    "</config>\n";

std::string LoadAndRender(const std::string& path, bool* hadMark) {
  TiXmlDocument doc;
  EXPECT_TRUE(LoadXmlFile(doc, path, TIXML_ENCODING_UTF8, hadMark)) << doc.ErrorDesc();
  std::string out;
  SaveToString(doc, out, *hadMark);
  return out;
}

TEST(XmlByteOrderMark, FileWithMarkKeepsIt) {
  TestTempDir dir;
  const std::string path = dir.File("bom.xml");
  const std::string content = std::string("\xEF\xBB\xBF") + kBody;
  testsupport::WriteBytes(path, content);
  bool hadMark = false;
  const std::string rendered = LoadAndRender(path, &hadMark);
  EXPECT_TRUE(hadMark);
  EXPECT_EQ(content, rendered);
  // Through the unbuffered write, byte for byte.
  ASSERT_TRUE(FileWrite_NoCache(dir.File("copy.xml"), rendered));
  EXPECT_EQ(content, testsupport::ReadBytes(dir.File("copy.xml")));
}

TEST(XmlByteOrderMark, FileWithoutMarkStaysWithout) {
  TestTempDir dir;
  const std::string path = dir.File("plain.xml");
  testsupport::WriteBytes(path, kBody);
  bool hadMark = true;
  EXPECT_EQ(kBody, LoadAndRender(path, &hadMark));
  EXPECT_FALSE(hadMark);
}

TEST(XmlByteOrderMark, ShortAndMissingFiles) {
  TestTempDir dir;
  testsupport::WriteBytes(dir.File("two"), "\xEF\xBB");
  EXPECT_FALSE(FileHasUtf8ByteOrderMark(dir.File("two")));
  EXPECT_FALSE(FileHasUtf8ByteOrderMark(dir.File("missing")));
  TiXmlDocument doc;
  bool hadMark = true;
  EXPECT_FALSE(LoadXmlFile(doc, dir.File("missing"), TIXML_ENCODING_UTF8, &hadMark));
  EXPECT_FALSE(hadMark);
}

}  // namespace
