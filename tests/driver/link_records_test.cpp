// The link's records without a wire: error records as callers read them and
// the identification answer's three lines.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/src/linkerror.h"
#include "driver/src/moduleinfo.h"

namespace {

// Reading composes the text only for a caller that passes the full record,
// and always clears the error.
TEST(LinkErrorTest, ReadingComposesTheTextForTheFullRecordAndClears) {
  struct Case {
    int32_t number;
    std::string detail;
    int size;
    std::string text;  // what the caller finds in the text field
  } cases[] = {
      {1, ": OpenModule #56000001", 276, "module not found: OpenModule #56000001"},
      {2, ": SetPosition #56000001", 276, "unknown error number: SetPosition #56000001"},
      {3, " x", 275, " x"},  // a shorter buffer gets the record as it is
      {-11, "", 276, "pcap: unable to open network device list"},
      {3, std::string(300, 'd'), 276, "range or parameter error" + std::string(255 - 24, 'd')},
  };
  for (const Case& c : cases) {
    LinkError e;
    e.Set(c.number, c.detail.c_str());
    QuorvErrorRecord r;
    std::memset(&r, 0x5A, sizeof r);
    EXPECT_TRUE(e.Take(&r, c.size)) << c.text;
    EXPECT_EQ(r.number, c.number);
    EXPECT_EQ(std::string(r.text), c.text);
    EXPECT_EQ(e.Number(), 0);
    EXPECT_FALSE(e.Take(&r, 276)) << "read once";
  }
}

std::vector<uint8_t> IdentFrame(const std::string& text, int countByte = -1) {
  std::vector<uint8_t> f(22 + text.size(), 0);
  f[20] = static_cast<uint8_t>(countByte >= 0 ? countByte : static_cast<int>(text.size()));
  f[21] = 255;
  for (size_t i = 0; i < text.size(); ++i) f[22 + i] = static_cast<uint8_t>(text[i]);
  return f;
}

TEST(IdentificationTest, ThreeLinesSplitAtTheFirstTwoLineFeedsAndCutToTheirFields) {
  struct Case {
    std::string text;
    int countByte;  // -1: the text's length
    std::string name, hardware, software;
  } cases[] = {
      {"Axis controller\nHw V2.1\nSw V1.40", -1, "Axis controller", "Hw V2.1", "Sw V1.40"},
      {"Plain name", -1, "Plain name", "", ""},
      {"Only one\nline feed", -1, "Only one", "", ""},
      {"A\nB\nC\nD", -1, "A", "B", "C\nD"},
      {"N\nHardware text longer than fifteen\nSw", -1, "N", "Hardware text l", "Sw"},
      {"Name\nHw\nSw V1.35 and more", 12, "Name", "Hw", "Sw V"},  // the count byte rules
      {"Name\nHw\nSw", 200, "Name", "Hw", "Sw"},                  // a count past the frame is cut
      {std::string("Na\0me\nHw\nSw", 11), -1, "Na", "Hw", "Sw"},
      {std::string(255, 'n'), -1, std::string(255, 'n'), "", ""},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> f = IdentFrame(c.text, c.countByte);
    ASSERT_TRUE(IsIdentificationAnswer(f.data(), f.size()));
    ModuleIdentity id;
    ParseIdentification(f.data(), f.size(), id);
    EXPECT_EQ(id.name, c.name) << c.text;
    EXPECT_EQ(id.hardware, c.hardware) << c.text;
    EXPECT_EQ(id.software, c.software) << c.text;
  }
  const std::vector<uint8_t> empty = IdentFrame("", 0);
  EXPECT_FALSE(IsIdentificationAnswer(empty.data(), empty.size())) << "a zero length is no answer";
}

}  // namespace
