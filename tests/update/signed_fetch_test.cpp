// fetch_manifest in a program built with the test keys A and B, against the
// scripted loopback server (routes made by make_signed_fetch_script.py), in
// the real roaming AppData folder of the test's Wine prefix. The fallback,
// and what the screens show, are covered by the signed scenarios.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>

#include "app/bootstrap_state.h"
#include "tests/update/appdata_support.h"
#include "update/manifest.h"

namespace {

// Each reply on the primary (the fallback is down), against a stored serial:
// what the fetch ends in, and what it leaves in the serial file.
TEST(SignedFetch, EachReplyAgainstTheStoredSerial) {
  ASSERT_EQ(vx::update_keys().count, 2u) << "built with the test keys";
  const char* port = std::getenv("VX_TEST_PORT_HTTP");
  ASSERT_NE(port, nullptr);
  const std::wstring serial_file = vx_test::roaming_app_data() + kManifestSerialFile;
  const wchar_t* kC1 = L"Ошибка обновления лаунчера. Код C1.";
  const wchar_t* kC2 = L"Не удалось проверить подпись обновления. Код C2.";
  const wchar_t* kIncomplete = L"Попробуйте еще раз чуть позже.";  // the default texts
  struct Case {
    const char* route;
    const char* stored_before;  // nullptr: no install folder at all
    const wchar_t* detail;      // nullptr: a complete manifest
    const char* stored_after;
  };
  const Case cases[] = {
      {"a7", "5", nullptr, "7"},
      {"b7", "5", nullptr, "7"},  // the second key of the set
      {"a7", nullptr, nullptr, "7"},
      {"serial3", "not a number\n", nullptr, "3"},  // garbage counts as 0
      {"unsigned", "5", kC2, "5"},
      {"garbage", "5", kC2, "5"},
      {"oversized", "5", kC2, "5"},
      {"truncated", "5", kC2, "5"},
      {"other_key", "5", kC2, "5"},
      {"tampered", "5", kC2, "5"},
      {"status500", "5", kC2, "5"},
      {"serial3", "5", kC2, "5"},  // verified, but older than the stored serial
      {"no_pins", "5", kIncomplete, "7"},
      {"serial_text", "5", kIncomplete, "5"},
      {"null", "5", kC1, "5"},  // the operator signed "no manifest"
      {"null_unsigned", "5", kC1, "5"},
      {"html", "5", kC1, "5"},
      // No charset: read by it, the Cyrillic would not be what was signed.
      {"cyrillic", "5", nullptr, "7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.route) + " after " + (c.stored_before ? c.stored_before : "none"));
    vx_test::clear_install();
    if (c.stored_before) {
      vx_test::write_file(serial_file, c.stored_before);
      vx_test::write_file(serial_file + L".tmp", "left by an interrupted write");
    }
    BootstrapState* state = create_bootstrap_state();
    prepare_servers();
    state->server_urls = {L"http://127.0.0.1:" + utf8_to_wide(port) + L"/" + utf8_to_wide(c.route),
                          L"http://127.0.0.1:1"};
    HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
    fetch_manifest();
    SetStdHandle(STD_OUTPUT_HANDLE, console);

    EXPECT_EQ(state->manifest_ok, c.detail == nullptr);
    EXPECT_EQ(state->error_detail, c.detail ? c.detail : kIncomplete);
    EXPECT_EQ(state->failed, c.detail != nullptr && c.detail != kIncomplete);
    EXPECT_EQ(vx_test::read_file(serial_file), c.stored_after);
    if (std::string(c.stored_after) != (c.stored_before ? c.stored_before : "")) {
      // Written through the temporary file, which the rename used up.
      EXPECT_EQ(GetFileAttributesW((serial_file + L".tmp").c_str()), INVALID_FILE_ATTRIBUTES);
    }
    if (c.detail == nullptr) {
      EXPECT_TRUE(state->pinned_downloads);
      EXPECT_EQ(state->launcher_sha256, state->java_zip_sha256);  // "abab...", either case
      EXPECT_EQ(state->launcher_sha256[31], 0xab);
      EXPECT_EQ(state->run_args, std::string(c.route) == "cyrillic"
                                     ? L"-Dplayer=Игрок -jar \"%launcher%\""
                                     : L"-jar \"%launcher%\"");
    }
  }
  vx_test::clear_install();
}

}  // namespace
