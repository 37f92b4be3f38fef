// fetch_manifest against the scripted loopback server, under Wine, with the
// console lines captured through a pipe; and stage 1 and stage 2 run for
// real through the stage sequencer.
#include "update/manifest.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/bootstrap_state.h"
#include "app/stages.h"
#include "base/timing.h"
#include "base/win_raii.h"
#include "tests/update/appdata_support.h"
#include "update/install_check.h"

namespace {

std::wstring port() {
  const char* value = std::getenv("VX_TEST_PORT_HTTP");
  return value ? std::wstring(value, value + std::strlen(value)) : std::wstring();
}

// A base URL on the test server; the path selects the scripted reply.
std::wstring base(const std::wstring& route) {
  return L"http://127.0.0.1:" + port() + L"/" + route;
}

// Nothing listens on port 1 of the loopback address.
const wchar_t kDownServer[] = L"http://127.0.0.1:1";

std::string line_for(const std::wstring& base_url) {
  return wide_to_utf8(L"Файл не найден, пропускаем: " + base_url + L"/updater?system=win64\r\n");
}

// Lines of the server's request log that hold `text`.
int server_log_lines_with(const std::string& text) {
  const char* path = std::getenv("VX_TEST_SERVER_LOG");
  if (path == nullptr) return -1;
  vx::UniqueHandle log(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
  std::string all;
  char chunk[4096];
  DWORD got = 0;
  while (log && ReadFile(log.get(), chunk, sizeof chunk, &got, nullptr) && got > 0) {
    all.append(chunk, got);
  }
  int count = 0;
  for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++count;
  return count;
}

// Runs fetch_manifest with standard output sent into a pipe and returns the
// bytes written there.
std::string fetch_capturing_output() {
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, nullptr, 1 << 16)) return "no pipe";
  vx::UniqueNullHandle reader(read_end);
  vx::UniqueNullHandle writer(write_end);
  HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
  SetStdHandle(STD_OUTPUT_HANDLE, writer.get());
  fetch_manifest();
  SetStdHandle(STD_OUTPUT_HANDLE, saved);
  writer.reset();
  std::string bytes;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(reader.get(), chunk, sizeof chunk, &got, nullptr) && got > 0) {
    bytes.append(chunk, got);
  }
  return bytes;
}

class FetchManifest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(port().empty()) << "run through run_with_server.py";
    state = create_bootstrap_state();
    prepare_servers();
  }

  // Asks the two given servers; returns the console output.
  std::string fetch(const std::wstring& primary, const std::wstring& fallback) {
    state->server_urls = {primary, fallback};
    return fetch_capturing_output();
  }

  void expect_default_texts() {
    EXPECT_EQ(state->error_title, L"Нет соединения :(");
    EXPECT_EQ(state->error_detail, L"Попробуйте еще раз чуть позже.");
  }

  void expect_c1() {
    EXPECT_FALSE(state->manifest_ok);
    EXPECT_TRUE(state->failed);
    EXPECT_EQ(state->error_title, L"Нет соединения :(");
    EXPECT_EQ(state->error_detail, L"Ошибка обновления лаунчера. Код C1.");
  }

  BootstrapState* state = nullptr;
};

TEST_F(FetchManifest, PrepareServersNamesBothServersAndTheDefaultTexts) {
  ASSERT_EQ(state->server_urls.size(), 2u);
  EXPECT_EQ(state->server_urls[0], VX_PRIMARY_URL);
  EXPECT_EQ(state->server_urls[1], VX_FALLBACK_URL);
  expect_default_texts();
}

TEST_F(FetchManifest, PrimaryWithACompleteManifestIsTheOnlyOneAsked) {
  const std::string output = fetch(base(L"complete"), base(L"c404"));
  // Byte for byte: the Cyrillic arrives as UTF-8, once, with its line end.
  EXPECT_EQ(output, line_for(base(L"complete")));
  EXPECT_TRUE(state->manifest_ok);
  EXPECT_FALSE(state->failed);
  EXPECT_EQ(state->server_url, base(L"complete"));
  EXPECT_TRUE(state->is_64bit_os);
  EXPECT_EQ(state->launcher_hash, L"fa93ddb3");
  EXPECT_EQ(state->launcher_size, 3);
  EXPECT_EQ(state->java_hash, L"7132be8e");
  EXPECT_EQ(state->java_size, 7);
  EXPECT_EQ(state->java_zip_hash, L"0badc0de");
  EXPECT_EQ(state->java_zip_size, 123);
  EXPECT_EQ(state->java_path, L"%java%\\bin\\javaw.exe");
  EXPECT_EQ(state->run_args, L"-jar \"%launcher%\"");
  expect_default_texts();
}

TEST_F(FetchManifest, FallbackIsAskedWhenThePrimaryGivesNoJson) {
  // "huge" announces 2 GiB: refused before any of it is read.
  for (const wchar_t* route : {L"c404", L"html", L"empty", L"trailing", L"huge"}) {
    SCOPED_TRACE(wide_to_utf8(route));
    state = create_bootstrap_state();
    prepare_servers();
    const std::string output = fetch(base(route), base(L"complete"));
    EXPECT_EQ(output, line_for(base(route)) + line_for(base(L"complete")));
    EXPECT_TRUE(state->manifest_ok);
    EXPECT_EQ(state->server_url, base(L"complete"));
  }
  // One request, not three attempts each waiting out the stalled body.
  EXPECT_EQ(server_log_lines_with("\"target\": \"/huge/updater?system=win64\""), 1);
}

TEST_F(FetchManifest, BothServersDownEndInC1) {
  const std::string output = fetch(kDownServer, base(L"empty"));
  EXPECT_EQ(output, line_for(kDownServer) + line_for(base(L"empty")));
  expect_c1();
  EXPECT_EQ(state->server_url, base(L"empty"));
}

TEST_F(FetchManifest, LiteralNullEndsInC1WithoutAskingTheFallback) {
  const std::string output = fetch(base(L"null"), base(L"complete"));
  EXPECT_EQ(output, line_for(base(L"null")));
  expect_c1();
  EXPECT_EQ(state->server_url, base(L"null"));
}

TEST_F(FetchManifest, IncompleteManifestsKeepTheDefaultTexts) {
  fetch(base(L"no_run_args"), base(L"complete"));
  EXPECT_FALSE(state->manifest_ok);
  EXPECT_FALSE(state->failed);
  EXPECT_EQ(state->server_url, base(L"no_run_args"));
  EXPECT_EQ(state->launcher_hash, L"fa93ddb3");
  EXPECT_EQ(state->java_zip_size, 123);
  EXPECT_EQ(state->java_path, L"%java%\\bin\\javaw.exe");
  EXPECT_TRUE(state->run_args.empty());
  expect_default_texts();

  for (const wchar_t* route : {L"no_zip_hash", L"array", L"astral"}) {
    SCOPED_TRACE(wide_to_utf8(route));
    state = create_bootstrap_state();
    prepare_servers();
    const std::string output = fetch(base(route), base(L"complete"));
    EXPECT_EQ(output, line_for(base(route)));
    EXPECT_FALSE(state->manifest_ok);
    EXPECT_FALSE(state->failed);
    expect_default_texts();
  }
}

TEST_F(FetchManifest, FirstOfTwoHashesCounts) {
  fetch(base(L"dup_hash"), base(L"complete"));
  EXPECT_TRUE(state->manifest_ok);
  EXPECT_EQ(state->launcher_hash, L"first000");
}

TEST_F(FetchManifest, CyrillicNeedsAResponseThatDeclaresUtf8) {
  fetch(base(L"cyrillic_utf8"), base(L"complete"));
  EXPECT_TRUE(state->manifest_ok);
  EXPECT_EQ(state->run_args, L"-Dplayer=Игрок -jar \"%launcher%\"");

  // Without a charset the body is read in the ANSI code page.
  state = create_bootstrap_state();
  prepare_servers();
  fetch(base(L"cyrillic_plain"), base(L"complete"));
  EXPECT_TRUE(state->manifest_ok);
  EXPECT_EQ(state->server_url, base(L"cyrillic_plain"));
  const std::string utf8 = wide_to_utf8(L"Игрок");
  wchar_t ansi[64] = {};
  const int length = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, utf8.data(),
                                         static_cast<int>(utf8.size()), ansi, 64);
  ASSERT_GT(length, 0);
  EXPECT_EQ(state->run_args, L"-Dplayer=" + std::wstring(ansi, static_cast<size_t>(length)) +
                                 L" -jar \"%launcher%\"");
}

// ------------------------------------------------ stage 1 and stage 2 for real

std::atomic<int> update_calls{0};
std::atomic<int> close_requests{0};
std::wstring stage_primary;

void test_prepare_servers() {
  prepare_servers();
  bootstrap_state->server_urls = {stage_primary, kDownServer};
}

// Stage 4 stand-in: notes the visit and fails, so that the chain ends on the
// error screen instead of checking again.
void failing_update() {
  ++update_calls;
  bootstrap_state->failed = true;
}

void no_timer(uint32_t) {}
void note_close() { ++close_requests; }
void no_sleep(uint32_t) {}

class StageChain : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(port().empty());
    vx_test::clear_install();
    update_calls = 0;
    close_requests = 0;
    vx::set_sleep_function(&no_sleep);
    StageHooks hooks = default_stage_hooks();
    hooks.prepare_servers = &test_prepare_servers;
    hooks.run_update = &failing_update;
    hooks.start_timer = &no_timer;
    hooks.stop_timer = &no_timer;
    hooks.post_close = &note_close;
    set_stage_hooks(hooks);
  }
  void TearDown() override {
    set_stage_hooks(default_stage_hooks());
    vx::set_sleep_function(nullptr);
    vx_test::clear_install();
  }

  // Runs stage 1 on this thread; the stages it starts run on their own
  // threads until the error stage posts its close request.
  void run_chain(const std::wstring& primary) {
    stage_primary = primary;
    HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, nullptr);  // the lines are tested above
    connect_stage();
    for (int i = 0; i < 600 && close_requests == 0; ++i) Sleep(50);
    SetStdHandle(STD_OUTPUT_HANDLE, saved);
    ASSERT_EQ(close_requests.load(), 1);
  }
};

TEST_F(StageChain, CompleteManifestWithNothingInstalledReachesTheUpdateStage) {
  run_chain(base(L"complete"));
  EXPECT_EQ(update_calls.load(), 1);
  EXPECT_TRUE(bootstrap_state->manifest_ok);
  EXPECT_TRUE(bootstrap_state->launcher_outdated);
  EXPECT_EQ(bootstrap_state->launcher_path, vx_test::install_dir() + L"\\launcher.jar");
}

TEST_F(StageChain, IncompleteManifestGoesToTheErrorScreenWithTheDefaultTexts) {
  run_chain(base(L"no_run_args"));
  EXPECT_EQ(update_calls.load(), 0);
  EXPECT_FALSE(bootstrap_state->manifest_ok);
  EXPECT_TRUE(bootstrap_state->install_dir.empty());  // stage 2 never ran
  EXPECT_EQ(bootstrap_state->error_title, L"Нет соединения :(");
  EXPECT_EQ(bootstrap_state->error_detail, L"Попробуйте еще раз чуть позже.");
}

}  // namespace
