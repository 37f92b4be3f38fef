// fetch_manifest in a program built with the test keys A and B, against the
// scripted loopback server (routes made by make_signed_fetch_script.py), in
// the real roaming AppData folder of the test's Wine prefix.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/bootstrap_state.h"
#include "tests/update/appdata_support.h"
#include "update/manifest.h"

namespace {

std::wstring base(const std::string& route) {
  const char* port = std::getenv("VX_TEST_PORT_HTTP");
  return L"http://127.0.0.1:" + utf8_to_wide(port ? port : "") + L"/" + utf8_to_wide(route);
}

const wchar_t kDownServer[] = L"http://127.0.0.1:1";

std::string read_file(const std::wstring& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return in ? out.str() : "(none)";
}

enum class Outcome { kManifest, kIncomplete, kC1, kC2 };

class SignedFetch : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(vx::update_keys().count, 2u) << "built with the test keys";
    vx_test::clear_install();
  }
  void TearDown() override { vx_test::clear_install(); }

  std::wstring serial_file() const { return vx_test::roaming_app_data() + kManifestSerialFile; }

  // Asks the two servers with the console line sent nowhere.
  void fetch(const std::wstring& primary, const std::wstring& fallback) {
    state = create_bootstrap_state();
    prepare_servers();
    state->server_urls = {primary, fallback};
    HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
    fetch_manifest();
    SetStdHandle(STD_OUTPUT_HANDLE, saved);
  }

  Outcome outcome() const {
    if (state->manifest_ok) return Outcome::kManifest;
    if (!state->failed) return Outcome::kIncomplete;
    return state->error_detail.find(L"C2.") != std::wstring::npos ? Outcome::kC2 : Outcome::kC1;
  }

  BootstrapState* state = nullptr;
};

// One server, a stored serial of 5: which replies are taken, and what each
// leaves in the serial file.
TEST_F(SignedFetch, EachReplyAgainstAStoredSerialOf5) {
  struct Case {
    const char* route;
    Outcome expected;
    const char* stored_after;
  };
  const Case cases[] = {
      {"a7", Outcome::kManifest, "7"},
      {"b7", Outcome::kManifest, "7"},  // the second key of the set
      {"unsigned", Outcome::kC2, "5"},
      {"garbage", Outcome::kC2, "5"},
      {"oversized", Outcome::kC2, "5"},
      {"truncated", Outcome::kC2, "5"},
      {"other_key", Outcome::kC2, "5"},
      {"tampered", Outcome::kC2, "5"},
      {"status500", Outcome::kC2, "5"},
      {"serial3", Outcome::kC2, "5"},          // verified, but older than stored
      {"no_pins", Outcome::kIncomplete, "7"},  // verified; the downloads have no pins
      {"serial_text", Outcome::kIncomplete, "5"},
      {"null", Outcome::kC1, "5"},           // the operator signed "no manifest"
      {"null_unsigned", Outcome::kC1, "5"},  // passed over: nothing to take
      {"html", Outcome::kC1, "5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.route);
    vx_test::write_file(serial_file(), "5");
    fetch(base(c.route), kDownServer);
    EXPECT_EQ(outcome(), c.expected);
    EXPECT_EQ(read_file(serial_file()), c.stored_after);
    if (c.expected == Outcome::kC2) {
      EXPECT_EQ(state->error_title, L"Нет соединения :(");
      EXPECT_EQ(state->error_detail, L"Не удалось проверить подпись обновления. Код C2.");
    }
    if (c.expected == Outcome::kIncomplete) {
      EXPECT_EQ(state->error_detail, L"Попробуйте еще раз чуть позже.");
    }
    if (c.expected == Outcome::kManifest) {
      EXPECT_TRUE(state->pinned_downloads);
      EXPECT_EQ(state->launcher_sha256, state->java_zip_sha256);  // "abab...", either case
      EXPECT_EQ(state->launcher_sha256[31], 0xab);
    }
  }
}

// A tampered manifest on the primary: the fallback's signed one is taken, and
// the signature requests write no console line.
TEST_F(SignedFetch, TheFallbackIsUsedAfterAnUnverifiedManifest) {
  const char* log_path = std::getenv("VX_TEST_SERVER_LOG");
  ASSERT_NE(log_path, nullptr);
  const size_t logged_before = read_file(utf8_to_wide(log_path)).size();
  fetch(base("tampered"), base("a7"));
  EXPECT_EQ(outcome(), Outcome::kManifest);
  EXPECT_EQ(state->server_url, base("a7"));
  const std::string log = read_file(utf8_to_wide(log_path)).substr(logged_before);
  for (const char* path :
       {"/tampered/updater?", "/tampered/updater.sig?", "/a7/updater?", "/a7/updater.sig?"}) {
    EXPECT_NE(log.find(path), std::string::npos) << path;
  }
}

// A serial file holding garbage counts as 0; the new serial replaces it, and
// a temporary file left from an interrupted write, through a rename.
TEST_F(SignedFetch, AGarbageSerialFileCountsAsZeroAndIsReplacedWhole) {
  vx_test::write_file(serial_file(), "not a number\n");
  vx_test::write_file(serial_file() + L".tmp", "left from a crash");
  fetch(base("serial3"), kDownServer);
  EXPECT_EQ(outcome(), Outcome::kManifest);
  EXPECT_EQ(read_file(serial_file()), "3");
  EXPECT_EQ(GetFileAttributesW((serial_file() + L".tmp").c_str()), INVALID_FILE_ATTRIBUTES);

  // No serial file, and no install folder yet: the folders are made.
  vx_test::clear_install();
  fetch(base("a7"), kDownServer);
  EXPECT_EQ(read_file(serial_file()), "7");
}

// Both servers down is C1 as ever; C2 needs a reply that unsigned mode would
// have taken.
TEST_F(SignedFetch, C2OnlyWhenAServerGaveAManifest) {
  fetch(kDownServer, base("html"));
  EXPECT_EQ(outcome(), Outcome::kC1);
  EXPECT_EQ(state->error_detail, L"Ошибка обновления лаунчера. Код C1.");
  fetch(base("other_key"), base("html"));
  EXPECT_EQ(outcome(), Outcome::kC2);
}

// The charset a reply declares is not signed: a signed manifest is read as
// UTF-8 whatever the reply says, so its texts are exactly what was signed.
TEST_F(SignedFetch, ASignedManifestIsReadAsUtf8WhateverTheCharset) {
  fetch(base("cyrillic"), kDownServer);
  EXPECT_EQ(outcome(), Outcome::kManifest);
  EXPECT_EQ(state->run_args, L"-Dplayer=Игрок -jar \"%launcher%\"");
}

}  // namespace
