// The extraction rules that need no Windows API: name cleaning and
// containment, attributes by host, MS-DOS times, the extended-timestamp
// scan, the empty-archive record and the encryption check byte.
#include "archive/zip_rules.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vx {
namespace zip {
namespace {

std::u16string clean(std::u16string name) {
  name.resize(cleanItemName(&name[0], name.size()));
  return name;
}

bool contained(const std::u16string& name) { return isContainedName(name.data(), name.size()); }

TEST(ZipRules, CleaningAppliesTheRulesInOrderAndRepeats) {
  struct Case {
    std::u16string in, out;
  };
  const Case cases[] = {
      {u"D:\\dir\\x.txt", u"dir\\x.txt"},
      {u"/etc/x", u"etc/x"},
      {u"//server/x", u"server/x"},
      {u"a/b/../lib/x", u"lib/x"},
      {u"a\\..\\b\\..\\lib", u"lib"},
      {u"bin/", u"bin/"},
      // Rule 1 then rule 2 then nothing: a ".." component is left behind.
      {u"x:/../y", u"../y"},
      {u"../x", u"../x"},
      {u"a/../../b", u"../b"},
      // The four runs are tried in their order, not by position.
      {u"a/../b\\..\\c", u"c"},
      {u"a/..\\b", u"b"},
      {u"a\\../b", u"b"},
      // Repeats: a drive after a dropped run, then a separator.
      {u"q/../C:/../\\y", u"../\\y"},
      {u"C:\\\\/x", u"x"},
      {u"a:", u""},
      {u":", u":"},
      {u"", u""},
      // The second code unit decides, whatever the first one is.
      {u"\u00e9:x", u"x"},
      {u"ab:c", u"ab:c"},
      {u"sub/..", u"sub/.."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(clean(c.in), c.out) << std::string(c.in.begin(), c.in.end());
  }
  // The same rules over wchar_t, whatever its width here.
  std::wstring w = L"D:\\dir\\x.txt";
  w.resize(cleanItemName(&w[0], w.size()));
  EXPECT_EQ(w, L"dir\\x.txt");
}

TEST(ZipRules, ContainmentRefusesEveryParentReference) {
  for (const char16_t* ok : {u"lib/x", u"bin/", u"a/./b", u"", u"a..b", u"..a", u"a/..b/c", u".x",
                             u"a/b..", u"x.", u"a//b", u". /x"}) {
    EXPECT_TRUE(contained(ok)) << std::u16string(ok).size();
  }
  for (const char16_t* bad :
       {u"..", u"../x", u"a/..", u"a\\..", u"a/../b", u"a\\..\\b", u"...", u"a/.../b", u". .",
        u".. /x", u"a/ ..", u"/x", u"\\x", u"C:x", u"C:\\x"}) {
    EXPECT_FALSE(contained(bad)) << std::u16string(bad).size();
  }
  // Every raw name that cleans to a climbing name is caught after cleaning.
  for (const char16_t* hostile : {u"../x", u"x:/../y", u"a/../../b", u"/../x", u"C:..\\x",
                                  u"\\\\..\\x", u"sub/..", u"a\\b\\.."}) {
    EXPECT_FALSE(contained(clean(hostile))) << std::u16string(hostile).size();
  }
}

TEST(ZipRules, AttributesByHost) {
  // MS-DOS-style hosts: the low byte, only the five known bits.
  for (uint16_t host : {0, 7, 11, 14}) {
    const uint16_t madeBy = static_cast<uint16_t>(host << 8 | 20);
    EXPECT_EQ(decodeAttributes(madeBy, 0x01), kAttrReadOnly) << host;
    EXPECT_EQ(decodeAttributes(madeBy, 0x3F), 0x37u) << host;
    EXPECT_EQ(decodeAttributes(madeBy, 0x81A40000u | 0xC8), 0u) << host;
  }
  // Unix and every other host: the mode in the high 16 bits.
  const uint16_t unix = 3 << 8 | 30;
  EXPECT_EQ(decodeAttributes(unix, 0100644u << 16), kAttrArchive);
  EXPECT_EQ(decodeAttributes(unix, 0100444u << 16), kAttrArchive | kAttrReadOnly);
  EXPECT_EQ(decodeAttributes(unix, (040755u << 16) | 0x10), kAttrArchive | kAttrDirectory);
  EXPECT_EQ(decodeAttributes(unix, (0100644u << 16) | 0x07), kAttrArchive);
  EXPECT_EQ(decodeAttributes(19 << 8, 0), kAttrArchive | kAttrReadOnly);
  EXPECT_EQ(decodeAttributes(1 << 8, 0x00800000u), kAttrArchive);
}

TEST(ZipRules, MsDosDatesAndTimes) {
  CalendarTime t{};
  const uint32_t d2021 = (41u << 25) | (3u << 21) | (4u << 16) | (5u << 11) | (6u << 5) | 4u;
  ASSERT_TRUE(decodeDosDateTime(d2021, &t));
  EXPECT_EQ(t.year, 2021);
  EXPECT_EQ(t.month, 3);
  EXPECT_EQ(t.day, 4);
  EXPECT_EQ(t.hour, 5);
  EXPECT_EQ(t.minute, 6);
  EXPECT_EQ(t.second, 8);

  auto dos = [](unsigned y, unsigned mo, unsigned d, unsigned h, unsigned mi, unsigned s2) {
    return ((y - 1980) << 25) | (mo << 21) | (d << 16) | (h << 11) | (mi << 5) | s2;
  };
  EXPECT_TRUE(decodeDosDateTime(dos(2020, 2, 29, 23, 59, 29), nullptr));
  EXPECT_TRUE(decodeDosDateTime(dos(2107, 12, 31, 0, 0, 0), nullptr));
  EXPECT_TRUE(decodeDosDateTime(dos(2000, 2, 29, 0, 0, 0), nullptr));
  EXPECT_FALSE(decodeDosDateTime(0, nullptr));
  EXPECT_FALSE(decodeDosDateTime(dos(2021, 2, 29, 0, 0, 0), nullptr));
  EXPECT_FALSE(decodeDosDateTime(dos(2100, 2, 29, 0, 0, 0), nullptr));
  EXPECT_FALSE(decodeDosDateTime(dos(2021, 4, 31, 0, 0, 0), nullptr));
  EXPECT_FALSE(decodeDosDateTime(dos(2021, 13, 1, 0, 0, 0), nullptr));
  EXPECT_FALSE(decodeDosDateTime(dos(2021, 1, 0, 0, 0, 0), nullptr));
  EXPECT_FALSE(decodeDosDateTime(dos(2021, 1, 1, 24, 0, 0), nullptr));
  EXPECT_FALSE(decodeDosDateTime(dos(2021, 1, 1, 0, 60, 0), nullptr));
  EXPECT_FALSE(decodeDosDateTime(dos(2021, 1, 1, 0, 0, 30), nullptr));

  EXPECT_EQ(unixTimeToFileTime(0), 116444736000000000ULL);
  EXPECT_EQ(unixTimeToFileTime(-1), 116444735990000000ULL);
  EXPECT_EQ(unixTimeToFileTime(INT32_MIN), (11644473600ULL - 2147483648ULL) * 10000000ULL);
  EXPECT_EQ(unixTimeToFileTime(INT32_MAX), (11644473600ULL + 2147483647ULL) * 10000000ULL);
}

std::vector<uint8_t> utBlock(uint8_t flags, std::vector<int32_t> times, int dataLength = -1) {
  std::vector<uint8_t> b = {'U', 'T', 0, 0, flags};
  for (int32_t t : times) {
    const uint32_t u = static_cast<uint32_t>(t);
    for (int k = 0; k < 4; ++k) b.push_back(static_cast<uint8_t>(u >> (8 * k)));
  }
  const size_t len = dataLength < 0 ? b.size() - 4 : static_cast<size_t>(dataLength);
  b[2] = static_cast<uint8_t>(len);
  b[3] = static_cast<uint8_t>(len >> 8);
  return b;
}

std::vector<uint8_t> otherBlock(uint16_t tag, size_t size) {
  std::vector<uint8_t> b = {static_cast<uint8_t>(tag), static_cast<uint8_t>(tag >> 8),
                            static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8)};
  b.resize(4 + size, 0x55);  // 'U' bytes: a block's data is never taken for a tag
  return b;
}

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

ExtendedTimes scan(const std::vector<uint8_t>& field) {
  return scanExtendedTimestamp(field.data(), field.size());
}

TEST(ZipRules, ExtendedTimestampScan) {
  ExtendedTimes t = scan(utBlock(1, {1600000000}));
  EXPECT_TRUE(t.hasWrite);
  EXPECT_FALSE(t.hasAccess);
  EXPECT_FALSE(t.hasCreation);
  EXPECT_EQ(t.writeTime, unixTimeToFileTime(1600000000));

  // Times follow in bit order, only for the flags that are set.
  t = scan(utBlock(5, {100, 200}));
  EXPECT_EQ(t.writeTime, unixTimeToFileTime(100));
  EXPECT_FALSE(t.hasAccess);
  EXPECT_EQ(t.creationTime, unixTimeToFileTime(200));
  t = scan(utBlock(6, {-1, 0}));
  EXPECT_FALSE(t.hasWrite);
  EXPECT_EQ(t.accessTime, 116444735990000000ULL);
  EXPECT_EQ(t.creationTime, 116444736000000000ULL);

  // Blocks before it are skipped by their whole 16-bit length.
  t = scan(otherBlock(0xCAFE, 300) + otherBlock(0x0001, 0) + utBlock(7, {1, 2, 3}));
  ASSERT_TRUE(t.hasWrite && t.hasAccess && t.hasCreation);
  EXPECT_EQ(t.accessTime, unixTimeToFileTime(2));
  // Only the first UT block counts.
  t = scan(utBlock(1, {10}) + utBlock(3, {20, 30}));
  EXPECT_EQ(t.writeTime, unixTimeToFileTime(10));
  EXPECT_FALSE(t.hasAccess);

  // A flagged time outside the field is not read, nor any after it.
  std::vector<uint8_t> cut = utBlock(7, {1, 2, 3});
  cut.resize(4 + 1 + 4 + 3);
  t = scan(cut);
  EXPECT_TRUE(t.hasWrite);
  EXPECT_FALSE(t.hasAccess || t.hasCreation);
  // ...nor outside the block: the next block's bytes are no access time.
  t = scan(utBlock(3, {1600000000}) + otherBlock(0x7777, 8));
  EXPECT_TRUE(t.hasWrite);
  EXPECT_FALSE(t.hasAccess);
  t = scan(utBlock(1, {}, 0) + otherBlock(0x7777, 8));
  EXPECT_FALSE(t.hasWrite);

  // Fields of 4 bytes or fewer, empty fields, and a block that claims more
  // than the field holds.
  EXPECT_FALSE(scan({'U', 'T', 1, 0}).hasWrite);
  EXPECT_FALSE(scanExtendedTimestamp(nullptr, 0).hasWrite);
  EXPECT_FALSE(scan(otherBlock(0x0009, 2) + std::vector<uint8_t>{0xFF, 0xFF}).hasWrite);
  std::vector<uint8_t> liar = otherBlock(0x0009, 0);
  liar[2] = 0xFF, liar[3] = 0xFF;
  EXPECT_FALSE(scan(liar + utBlock(1, {5})).hasWrite);
}

TEST(ZipRules, EmptyArchiveRecordAndEncryptionCheckByte) {
  std::vector<uint8_t> eocd = {'P', 'K', 5, 6, 0, 0, 0, 0, 0, 0, 0,
                               0,   0,   0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_TRUE(isEmptyArchive(eocd.data(), eocd.size(), 22));
  EXPECT_FALSE(isEmptyArchive(eocd.data(), eocd.size(), 23));
  EXPECT_FALSE(isEmptyArchive(eocd.data(), 21, 21));
  std::vector<uint8_t> commented = eocd;
  commented[20] = 3;
  EXPECT_TRUE(isEmptyArchive(commented.data(), commented.size(), 25));
  EXPECT_FALSE(isEmptyArchive(commented.data(), commented.size(), 22));
  for (size_t field = 4; field < 20; ++field) {
    std::vector<uint8_t> counted = eocd;
    counted[field] = 1;
    EXPECT_FALSE(isEmptyArchive(counted.data(), counted.size(), 22)) << field;
  }
  std::vector<uint8_t> local = eocd;
  local[2] = 3, local[3] = 4;
  EXPECT_FALSE(isEmptyArchive(local.data(), local.size(), 22));

  EXPECT_EQ(encryptionCheckByte(0x0001, 0xA1B2C3D4u, 0x526629A4u), 0xA1);
  EXPECT_EQ(encryptionCheckByte(0x0009, 0xA1B2C3D4u, 0x526629A4u), 0x29);
}

}  // namespace
}  // namespace zip
}  // namespace vx
