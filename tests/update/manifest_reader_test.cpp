// Reading manifests: the table's keys and types, malformed replies of every
// kind, and the UTF-8 codecs the values go through.
#include "update/manifest_reader.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "app/bootstrap_state.h"

namespace {

using vx::ManifestParse;
using vx::read_manifest;

const char kComplete[] = R"({
  "launcher": {"hash": "fa93ddb3", "size": 3},
  "java": {"hash": "7132be8e", "size": 7},
  "java_zip": {"hash": "0badc0de", "size": 2147483647},
  "java_path": "%java%\\bin\\javaw.exe",
  "run_args": "-jar \"%launcher%\" --updater \"%updater_path%\"",
  "unknown": [1, {"x": null}]
})";

std::string with(const std::string& launcher_value) {
  return R"({"launcher": )" + launcher_value +
         R"(, "java": {"hash": "h", "size": 1}, "java_zip": {"hash": "z", "size": 2},
            "java_path": "p", "run_args": "r"})";
}

TEST(ManifestReader, CompleteManifestGivesEveryValue) {
  const vx::ManifestReading reading = read_manifest(kComplete);
  ASSERT_EQ(reading.parse, ManifestParse::kParsed);
  EXPECT_TRUE(reading.complete);
  EXPECT_EQ(*reading.launcher.hash, L"fa93ddb3");
  EXPECT_EQ(*reading.launcher.size, 3);
  EXPECT_EQ(*reading.java.hash, L"7132be8e");
  EXPECT_EQ(*reading.java.size, 7);
  EXPECT_EQ(*reading.java_zip.hash, L"0badc0de");
  EXPECT_EQ(*reading.java_zip.size, 2147483647);
  EXPECT_EQ(*reading.java_path, L"%java%\\bin\\javaw.exe");
  EXPECT_EQ(*reading.run_args, L"-jar \"%launcher%\" --updater \"%updater_path%\"");
}

TEST(ManifestReader, RepliesThatAreNotOneJsonValue) {
  for (const char* body :
       {"", "   ", "<html><body>Not found</body></html>", R"({"launcher": {}} trailing)",
        R"({"a": 1}{"b": 2})", "{", R"({"a": 1,})", "// comment\n{}", "1e400"}) {
    SCOPED_TRACE(body);
    const vx::ManifestReading reading = read_manifest(body);
    EXPECT_EQ(reading.parse, ManifestParse::kNotJson);
    EXPECT_FALSE(reading.complete);
  }
}

TEST(ManifestReader, LiteralNullIsToldApart) {
  EXPECT_EQ(read_manifest("null").parse, ManifestParse::kNullRoot);
  EXPECT_EQ(read_manifest(" \r\n null \t").parse, ManifestParse::kNullRoot);
}

TEST(ManifestReader, ValuesOfOtherTypesMakeItIncomplete) {
  struct Case {
    const char* launcher;
    bool hash_present;
    bool size_present;
  };
  const Case cases[] = {
      {R"({"hash": "h", "size": "3"})", true, false},
      {R"({"hash": "h", "size": 3.0})", true, false},
      {R"({"hash": "h", "size": 3.5})", true, false},
      {R"({"hash": "h", "size": true})", true, false},
      {R"({"hash": "h", "size": null})", true, false},
      {R"({"hash": "h", "size": 2147483648})", true, false},
      {R"({"hash": "h", "size": -2147483649})", true, false},
      {R"({"hash": "h", "size": 18446744073709551615})", true, false},
      {R"({"hash": 3, "size": 3})", false, true},
      {R"({"hash": ["h"], "size": 3})", false, true},
      {R"({"hash": 1, "hash": "later", "size": 3})", false, true},  // the first key counts
      {R"("fa93ddb3")", false, false},
      {R"([{"hash": "h", "size": 3}])", false, false},
      {"null", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.launcher);
    const vx::ManifestReading reading = read_manifest(with(c.launcher));
    EXPECT_EQ(reading.parse, ManifestParse::kParsed);
    EXPECT_FALSE(reading.complete);
    EXPECT_EQ(reading.launcher.hash.has_value(), c.hash_present);
    EXPECT_EQ(reading.launcher.size.has_value(), c.size_present);
    EXPECT_EQ(*reading.java.size, 1);
  }
  EXPECT_EQ(*read_manifest(with(R"({"hash": "h", "size": -2147483648})")).launcher.size,
            -2147483647 - 1);
  EXPECT_FALSE(
      read_manifest(R"({"launcher": {"hash": "h", "size": 1}, "java": {"hash": "h", "size": 1},
      "java_zip": {"hash": "z", "size": 2}, "java_path": 5, "run_args": "r"})")
          .complete);
}

TEST(ManifestReader, RootsThatAreNotObjectsAreIncomplete) {
  for (const char* body : {"{}", "[]", "[{\"launcher\": 1}]", "5", "\"text\"", "true", "false"}) {
    SCOPED_TRACE(body);
    const vx::ManifestReading reading = read_manifest(body);
    EXPECT_EQ(reading.parse, ManifestParse::kParsed);
    EXPECT_FALSE(reading.complete);
    EXPECT_FALSE(reading.launcher.hash || reading.run_args);
  }
  // Keys are case-sensitive.
  EXPECT_FALSE(
      read_manifest(std::string(kComplete).replace(std::string(kComplete).find("run_args"), 1, "R"))
          .complete);
}

TEST(ManifestReader, CyrillicTextIsStoredAsWideText) {
  const std::string run_args = "-Dname=\xd0\x98\xd0\xb3\xd1\x80\xd0\xb0 -jar %launcher%";
  std::string body = kComplete;
  body.replace(body.find("\"-jar"),
               std::string(R"("-jar \"%launcher%\" --updater \"%updater_path%\"")").size(),
               "\"" + run_args + "\"");
  const vx::ManifestReading reading = read_manifest(body);
  EXPECT_TRUE(reading.complete);
  EXPECT_EQ(*reading.run_args, L"-Dname=\u0418\u0433\u0440\u0430 -jar %launcher%");
  // The same text written as escapes.
  const vx::ManifestReading escaped = read_manifest(with(R"({"hash": "\u0418\u0433", "size": 1})"));
  EXPECT_EQ(*escaped.launcher.hash, L"\u0418\u0433");
}

// Texts that are not UTF-8 within the Basic Multilingual Plane: the value is
// not stored, and anywhere in the reply they make the manifest incomplete.
TEST(ManifestReader, TextsOutsideTheFormatMakeItIncomplete) {
  struct Case {
    const char* what;
    std::string hash;
  };
  const Case cases[] = {
      {"stray continuation byte", "\"a\x80z\""},
      {"overlong slash", "\"\xc0\xaf\""},
      {"truncated sequence", "\"\xd0\""},
      {"raw emoji", "\"\xf0\x9f\x98\x80\""},
      {"escaped emoji", R"("\ud83d\ude00")"},
      {"lone low surrogate escape", R"("\udc00")"},
      {"surrogate pair sent unit by unit", "\"\xed\xa0\xbd\xed\xb8\x80\""},
      {"byte 0xff", "\"\xff\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const vx::ManifestReading reading =
        read_manifest(with(R"({"hash": )" + c.hash + R"(, "size": 1})"));
    EXPECT_FALSE(reading.complete);
    EXPECT_FALSE(reading.launcher.hash);
    EXPECT_EQ(*reading.launcher.size, 1);
  }
  const vx::ManifestReading in_ignored_key =
      read_manifest(std::string(kComplete).replace(1, 0, "\"note\": \"\xf0\x9f\x98\x80\","));
  EXPECT_EQ(in_ignored_key.parse, ManifestParse::kParsed);
  EXPECT_FALSE(in_ignored_key.complete);
  EXPECT_TRUE(in_ignored_key.run_args);
  EXPECT_FALSE(
      read_manifest(std::string(kComplete).replace(1, 0, "\"\xed\xa0\x80\": 1,")).complete);
}

// The parser recurses per level; a hostile nesting depth must not exhaust the
// stack.
TEST(ManifestReader, DeepNestingIsRefusedWithoutRecursion) {
  const std::string deep = std::string(1000000, '[') + std::string(1000000, ']');
  EXPECT_EQ(read_manifest(deep).parse, ManifestParse::kNotJson);
  const std::string deep_inside = "{\"x\": " + std::string(100000, '{');
  EXPECT_EQ(read_manifest(deep_inside).parse, ManifestParse::kNotJson);

  // Moderate nesting in an ignored key is still fine, and brackets inside
  // strings do not count.
  std::string nested = std::string(kComplete);
  nested.replace(
      1, 0,
      "\"deep\": " + std::string(60, '[') + std::string(60, ']') +
          ", \"text\": "
          "\"[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[\\\"[[[\",");
  EXPECT_TRUE(read_manifest(nested).complete);
}

// "serial" and "sha256" matter only to signed updates: whatever they hold,
// the unsigned reading (complete, values) stays what it was.
TEST(ManifestReader, SerialAndSha256AreReadForSignedUpdates) {
  const std::string sha = "BA7816BF8F01CFEA414140DE5DAE2223b00361a396177a9cb410ff61f20015ad";
  auto body = [&](const std::string& serial, const std::string& launcher_sha,
                  const std::string& zip_sha) {
    std::string text = std::string(kComplete).replace(1, 0, serial);
    const std::string launcher_end = "\"size\": 3}";
    const std::string zip_end = "\"size\": 2147483647}";
    text.replace(text.find(launcher_end), launcher_end.size(), "\"size\": 3" + launcher_sha + "}");
    text.replace(text.find(zip_end), zip_end.size(), "\"size\": 2147483647" + zip_sha + "}");
    return text;
  };
  const std::string good_sha = ", \"sha256\": \"" + sha + "\"";
  struct Case {
    std::string serial;
    std::string launcher_sha;
    std::optional<uint32_t> read_serial;
    bool signed_complete;
  };
  // The first "serial" counts; -1, 2^31, a text, a fraction and null are
  // refused; so are a missing "sha256", one of 63 digits, a non-digit and a
  // number.
  // clang-format off
  const Case cases[] = {
      {"", good_sha, 0u, true}, {"\"serial\": 7,", good_sha, 7u, true},
      {"\"serial\": 2147483647,", good_sha, 2147483647u, true},
      {"\"serial\": 0, \"serial\": \"x\",", good_sha, 0u, true},
      {"\"serial\": -1,", good_sha, std::nullopt, false},
      {"\"serial\": 2147483648,", good_sha, std::nullopt, false},
      {"\"serial\": \"7\",", good_sha, std::nullopt, false},
      {"\"serial\": 7.0,", good_sha, std::nullopt, false},
      {"\"serial\": null,", good_sha, std::nullopt, false},
      {"", "", 0u, false}, {"", ", \"sha256\": \"" + sha.substr(1) + "\"", 0u, false},
      {"", ", \"sha256\": \"" + sha.substr(1) + "g\"", 0u, false},
      {"", ", \"sha256\": 5", 0u, false}};
  // clang-format on

  for (const Case& c : cases) {
    const std::string text = body(c.serial, c.launcher_sha, good_sha);
    SCOPED_TRACE(text);
    const vx::ManifestReading reading = read_manifest(text);
    EXPECT_TRUE(reading.complete);
    EXPECT_EQ(*reading.launcher.size, 3);
    EXPECT_EQ(reading.serial, c.read_serial);
    EXPECT_EQ(vx::signed_manifest_complete(reading), c.signed_complete);
  }
  const vx::ManifestReading reading = read_manifest(body("", good_sha, good_sha));
  EXPECT_EQ(vx::sha256_hex(*reading.launcher.sha256), vx::sha256_hex(*vx::parse_sha256_hex(sha)));
  EXPECT_TRUE(reading.java_zip.sha256);
  EXPECT_FALSE(vx::signed_manifest_complete(read_manifest(body("", good_sha, ""))));
  EXPECT_FALSE(vx::signed_manifest_complete(read_manifest(with(R"({"hash": "h", "size": 1})"))));
}

TEST(ManifestReader, ApplyStoresPresentValuesAndKeepsTheOthers) {
  BootstrapState state;
  state.launcher_hash = L"old";
  state.launcher_size = 11;
  state.run_args = L"old args";
  state.java_zip_size = 22;
  state.manifest_ok = true;
  vx::apply_manifest(read_manifest(R"({"launcher": {"hash": "new", "size": "x"},
                                        "java_zip": {"size": 5}, "java_path": "p"})"),
                     state);
  EXPECT_FALSE(state.manifest_ok);
  EXPECT_EQ(state.launcher_hash, L"new");
  EXPECT_EQ(state.launcher_size, 11);
  EXPECT_EQ(state.java_zip_size, 5);
  EXPECT_EQ(state.java_path, L"p");
  EXPECT_EQ(state.run_args, L"old args");

  vx::apply_manifest(read_manifest(kComplete), state);
  EXPECT_TRUE(state.manifest_ok);
  EXPECT_EQ(state.launcher_size, 3);
  EXPECT_EQ(state.java_hash, L"7132be8e");
  EXPECT_EQ(state.java_zip_hash, L"0badc0de");
}

TEST(Utf8, RoundTripAcrossEveryEncodedLength) {
  const std::wstring text = L"A\u007f\u0080\u00e9\u07ff\u0800\u0416\u0451\uabcd\ufffd\uffff";
  const std::string utf8 = wide_to_utf8(text);
  EXPECT_EQ(utf8,
            "A\x7f\xc2\x80\xc3\xa9\xdf\xbf\xe0\xa0\x80\xd0\x96\xd1\x91\xea\xaf\x8d\xef\xbf\xbd\xef"
            "\xbf\xbf");
  EXPECT_EQ(utf8_to_wide(utf8), text);
  std::wstring checked;
  EXPECT_TRUE(vx::utf8_to_wide_checked(utf8, checked));
  EXPECT_EQ(checked, text);
  EXPECT_EQ(utf8_to_wide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
}

TEST(Utf8, MalformedInputIsRefusedOrReplaced) {
  for (const char* bad :
       {"\x80", "\xc0\x80", "\xc1\xbf", "\xe0\x9f\xbf", "\xed\xa0\x80", "\xed\xbf\xbf",
        "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf", "\xf5\x80", "\xe2\x82", "\xd0", "ok\xfe"}) {
    SCOPED_TRACE(testing::PrintToString(std::string(bad)));
    std::wstring out = L"untouched";
    EXPECT_FALSE(vx::utf8_to_wide_checked(bad, out));
    EXPECT_TRUE(out.empty());
    const std::wstring replaced = utf8_to_wide(bad);
    EXPECT_NE(replaced.find(L'\ufffd'), std::wstring::npos);
    std::wstring again;
    EXPECT_TRUE(vx::utf8_to_wide_checked(wide_to_utf8(replaced), again));
  }
  EXPECT_EQ(utf8_to_wide("a\xd0z"), L"a\ufffdz");
}

TEST(Utf8, UnitsOutsideTheBasicPlaneAreNotPassedOn) {
  // On Windows each half of a pair is encoded alone, and the strict decoder
  // refuses the result.
  const std::wstring pair = {static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)};
  const std::string encoded = wide_to_utf8(pair);
  EXPECT_EQ(encoded, "\xed\xa0\xbd\xed\xb8\x80");
  std::wstring out;
  EXPECT_FALSE(vx::utf8_to_wide_checked(encoded, out));
  if (sizeof(wchar_t) > 2) {
    const std::wstring wide_char(1, static_cast<wchar_t>(0x1F600));
    EXPECT_EQ(wide_to_utf8(wide_char), "\xef\xbf\xbd");
  }
}

}  // namespace
