// The record beside a partial download: what is written reads back, and
// every malformed text counts as no record at all.
#include "update/partial_record.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kGood =
    "velmorandix-partial 1\nurl=https://h/Velmorandix.jar\nsize=12\nsha256=\nvalidator=\"e1\"\n";

void expect_equal(const vx::PartialRecord& a, const vx::PartialRecord& b) {
  EXPECT_EQ(a.url, b.url);
  EXPECT_EQ(a.size, b.size);
  EXPECT_EQ(a.sha256, b.sha256);
  EXPECT_EQ(a.validator, b.validator);
}

TEST(PartialRecord, WrittenRecordsReadBackAndTheValidatorIsNoPartOfTheItem) {
  const vx::PartialRecord records[] = {
      {"https://127.0.0.1:47443/bootstrap/java64.zip", 151234567, std::string(64, 'a'),
       "\"5f3e-1a2b\""},
      {"https://h/Velmorandix.jar", 0, "", ""},
      {"https://h/java32.zip", 2147483647, "0123456789abcdef" + std::string(48, '0'),
       "Tue, 01 Dec 2026 10:00:00 GMT"},
  };
  for (const vx::PartialRecord& record : records) {
    SCOPED_TRACE(record.url);
    std::string text;
    ASSERT_TRUE(vx::format_partial_record(record, text));
    vx::PartialRecord read;
    ASSERT_TRUE(vx::parse_partial_record(text, read));
    expect_equal(read, record);
    read.validator = "\"other\"";
    EXPECT_TRUE(vx::same_item(read, record));
  }
  vx::PartialRecord read;
  ASSERT_TRUE(vx::parse_partial_record(kGood, read));
  for (const auto change :
       {+[](vx::PartialRecord& r) { r.url += "x"; }, +[](vx::PartialRecord& r) { r.size += 1; },
        +[](vx::PartialRecord& r) { r.sha256 = std::string(64, 'f'); }}) {
    vx::PartialRecord other = read;
    change(other);
    EXPECT_FALSE(vx::same_item(read, other));
  }
}

TEST(PartialRecord, MalformedTextsCountAsNone) {
  const std::string head = "velmorandix-partial 1\nurl=https://h/j\n";
  const std::string cases[] = {
      "",
      "velmorandix-partial 2\nurl=https://h/j\nsize=12\nsha256=\nvalidator=\n",
      kGood.substr(0, kGood.size() - 1),  // the last LF is missing
      kGood + "extra=1\n",
      "velmorandix-partial 1\nsize=12\nurl=https://h/j\nsha256=\nvalidator=\n",
      head + "size=12\nsize=12\nsha256=\nvalidator=\n",
      head + "size=-1\nsha256=\nvalidator=\n",
      head + "size=012\nsha256=\nvalidator=\n",
      head + "size=2147483648\nsha256=\nvalidator=\n",
      head + "size=1x\nsha256=\nvalidator=\n",
      head + "size=\nsha256=\nvalidator=\n",
      head + "size=12\nsha256=" + std::string(64, 'A') + "\nvalidator=\n",
      head + "size=12\nsha256=" + std::string(63, 'a') + "\nvalidator=\n",
      head + "size=12\nsha256=\nvalidator=\"e\"\r\n",
      "velmorandix-partial 1\nurl=" + std::string(vx::kMaxPartialRecordLength, 'u') +
          "\nsize=12\nsha256=\nvalidator=\n",
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text.substr(0, 120));
    vx::PartialRecord record{"kept", 7, "", "kept"};
    EXPECT_FALSE(vx::parse_partial_record(text, record));
    expect_equal(record, {"kept", 7, "", "kept"});
  }
}

TEST(PartialRecord, ValuesThatCannotBeWrittenAreRefused) {
  const vx::PartialRecord cases[] = {
      {"https://h/j\nsize=1", 12, "", ""},
      {"https://h/j", 12, "", "\"e\"\r"},
      {"https://h/j", -1, "", ""},
      {"https://h/j", 2147483648, "", ""},
      {"https://h/j", 12, std::string(64, 'A'), ""},
      {std::string(vx::kMaxPartialRecordLength, 'u'), 12, "", ""},
  };
  for (const vx::PartialRecord& record : cases) {
    std::string text = "stale";
    EXPECT_FALSE(vx::format_partial_record(record, text)) << record.url.substr(0, 20);
    EXPECT_TRUE(text.empty());
  }
}

}  // namespace
