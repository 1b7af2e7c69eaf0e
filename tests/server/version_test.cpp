// The split of a dotted version text into the four numbers sent in mtVersion.
#include "server/version.h"

#include <gtest/gtest.h>

#include <string>

namespace drvvzt {
namespace {

TEST(Version, SplitsDottedText) {
  struct Case {
    std::string text;
    VersionNumbers expected;
  };
  const Case cases[] = {
      {"2.5.0.17", {2, 5, 0, 17}},
      {"1.2", {1, 0, 0, 2}},
      {"7", {0, 0, 0, 0}},
      {"", {0, 0, 0, 0}},
      {"1.2.3", {1, 2, 0, 3}},
      {"1.x.3.4", {1, 0, 3, 4}},
      {".5..", {0, 5, 0, 0}},
      {"1.2.3.4.5", {1, 2, 3, 0}},      // the rest "4.5" is not a number
      {"65537.-1.0.0", {1, 65535, 0, 0}},  // low 16 bits
      {"99999999999.1.1.1", {0, 1, 1, 1}},  // out of 32-bit range
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SplitVersion(c.text), c.expected) << '"' << c.text << '"';
  }
}

TEST(Version, LongTextIsCutBeforeSplitting) {
  // The fourth number lies beyond character 255 and is cut away with the text.
  const std::string text = "1.2.3." + std::string(249, '0') + "45";
  EXPECT_EQ(SplitVersion(text), (VersionNumbers{1, 2, 3, 0}));
}

TEST(Version, CompiledTextSplitsIntoFourNumbers) {
  const std::string_view text = VersionText();
  ASSERT_FALSE(text.empty());
  const VersionNumbers numbers = SplitVersion(text);
  EXPECT_EQ(std::to_string(numbers.major) + "." + std::to_string(numbers.minor) + "." +
                std::to_string(numbers.release) + "." + std::to_string(numbers.build),
            text);
}

}  // namespace
}  // namespace drvvzt
