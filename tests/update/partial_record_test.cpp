// The record beside a partial download: what is written reads back, and
// every malformed text counts as no record at all.
#include "update/partial_record.h"

#include <gtest/gtest.h>

#include <string>

namespace {

bool equal(const vx::PartialRecord& a, const vx::PartialRecord& b) {
  return vx::same_item(a, b) && a.validator == b.validator;
}

TEST(PartialRecord, WrittenRecordsReadBackAndValuesThatCannotBeWrittenAreRefused) {
  const std::string pin = "0123456789abcdef" + std::string(48, '0');
  const vx::PartialRecord good[] = {
      {"https://127.0.0.1:47443/bootstrap/java64.zip", 151234567, pin, "\"5f3e-1a2b\""},
      {"https://h/Velmorandix.jar", 0, "", ""},
      {"https://h/java32.zip", 2147483647, "", "Tue, 01 Dec 2026 10:00:00 GMT"},
  };
  for (const vx::PartialRecord& record : good) {
    std::string text;
    vx::PartialRecord read;
    ASSERT_TRUE(vx::format_partial_record(record, text)) << record.url;
    ASSERT_TRUE(vx::parse_partial_record(text, read)) << text;
    EXPECT_TRUE(equal(read, record)) << text;
  }
  // A line end in a value would let it forge the lines after it.
  const vx::PartialRecord bad[] = {
      {"https://h/j\nsize=1", 12, "", ""},
      {"https://h/j", 12, "", "\"e\"\r"},
      {"https://h/j", -1, "", ""},
      {"https://h/j", 2147483648, "", ""},
      {"https://h/j", 12, std::string(64, 'A'), ""},
      {std::string(vx::kMaxPartialRecordLength, 'u'), 12, "", ""},
  };
  for (const vx::PartialRecord& record : bad) {
    std::string text = "stale";
    EXPECT_FALSE(vx::format_partial_record(record, text)) << record.url.substr(0, 20);
    EXPECT_TRUE(text.empty());
  }
}

TEST(PartialRecord, MalformedTextsCountAsNone) {
  const std::string head = "velmorandix-partial 1\nurl=https://h/j\n";
  const std::string tail = "sha256=\nvalidator=\n";
  const std::string good = head + "size=12\n" + tail;
  vx::PartialRecord read;
  ASSERT_TRUE(vx::parse_partial_record(good, read));
  const std::string cases[] = {
      "",
      "velmorandix-partial 2\nurl=https://h/j\nsize=12\n" + tail,
      good.substr(0, good.size() - 1),  // the last LF is missing
      good + "extra=1\n",
      "velmorandix-partial 1\nsize=12\nurl=https://h/j\n" + tail,
      head + "size=12\nsize=12\n" + tail,
      head + "size=-1\n" + tail,
      head + "size=012\n" + tail,
      head + "size=2147483648\n" + tail,
      head + "size=1x\n" + tail,
      head + "size=\n" + tail,
      head + "size=12\nsha256=" + std::string(64, 'A') + "\nvalidator=\n",
      head + "size=12\nsha256=" + std::string(63, 'a') + "\nvalidator=\n",
      head + "size=12\nsha256=\nvalidator=\"e\"\r\n",
      head + "size=12\nsha256=\nvalidator=" + std::string(vx::kMaxPartialRecordLength, 'v') + "\n",
  };
  for (const std::string& text : cases) {
    vx::PartialRecord record{"kept", 7, "", "kept"};
    EXPECT_FALSE(vx::parse_partial_record(text, record)) << text.substr(0, 120);
    EXPECT_TRUE(equal(record, {"kept", 7, "", "kept"}));
  }
}

}  // namespace
