// run_update, on_download_progress and delete_tree under Wine, against the
// scripted loopback server (tests/update/installer_script.json), in the real
// roaming AppData folder of the test's own Wine prefix.
//
// Each route prefix of the script is one server behaviour: /ok serves a
// 3 MiB launcher jar and a small runtime zip, /small a 512 KiB jar in slow
// pieces, /nolength a jar without Content-Length, /empty empty bodies,
// /notzip an archive that is not a zip; anything else is the server's 404
// page. The zip holds runtime_files() below plus the folder item "conf/";
// "lib/security/cacerts" is stored read-only.
#include "update/installer.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/bootstrap_state.h"
#include "base/win_raii.h"
#include "net/http_client.h"
#include "tests/update/appdata_support.h"
#include "update/cng_crypto.h"
#include "update/fingerprint.h"
#include "update/install_check.h"
#include "update/manifest_reader.h"
#include "update/partial_record.h"

namespace {

constexpr int32_t kMiB = 1048576;

struct RuntimeFile {
  const wchar_t* path;  // below the runtime folder
  std::string content;
};

std::string repeat(const std::string& unit, size_t count) {
  std::string out;
  out.reserve(count);
  while (out.size() < count) out += unit;
  out.resize(count);
  return out;
}

std::string all_bytes_eight_times() {
  std::string out;
  for (int round = 0; round < 8; ++round) {
    for (int b = 0; b < 256; ++b) out += static_cast<char>(b);
  }
  return out;
}

const std::vector<RuntimeFile>& runtime_files() {
  static const std::vector<RuntimeFile> files = {
      {L"bin\\java.exe", repeat("stand-in java\n", 14 * 20)},
      {L"lib\\modules", all_bytes_eight_times()},
      {L"lib\\security\\cacerts", "read-only trust store\n"},
      {L"release", "JAVA_VERSION=\"17.0.9\"\n"},
  };
  return files;
}

// The /ok launcher jar, exactly as the server fills it.
const std::string& served_jar() {
  static const std::string jar = repeat("velmorandix-launcher-", 3 * kMiB + 12345);
  return jar;
}

std::wstring port() {
  const char* value = std::getenv("VX_TEST_PORT_HTTP");
  return value ? std::wstring(value, value + std::strlen(value)) : std::wstring();
}

std::wstring base(const std::wstring& route) { return L"http://127.0.0.1:" + port() + route; }

// Nothing listens on port 1 of the loopback address.
const wchar_t kDownServer[] = L"http://127.0.0.1:1";

// Paths of all requests the server has logged so far, in order; a request
// that asked for a range is followed by " Range: <value>".
std::vector<std::string> logged_paths() {
  std::vector<std::string> paths;
  const char* log = std::getenv("VX_TEST_SERVER_LOG");
  if (!log) return paths;
  std::ifstream in(log);
  std::string line;
  const std::string key = "\"path\": \"";
  while (std::getline(in, line)) {
    const size_t at = line.find(key);
    if (at == std::string::npos) continue;
    const size_t start = at + key.size();
    std::string path = line.substr(start, line.find('"', start) - start);
    const std::string range = "[\"Range\", \"";
    const size_t range_at = line.find(range);
    if (range_at != std::string::npos) {
      const size_t value = range_at + range.size();
      path += " Range: " + line.substr(value, line.find('"', value) - value);
    }
    paths.push_back(path);
  }
  return paths;
}

using vx_test::read_file;

bool exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool is_empty_folder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return false;
  }
  std::error_code ec;
  return std::filesystem::is_empty(std::filesystem::path(path), ec) && !ec;
}

void make_read_only(const std::wstring& path) {
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY);
}

// Removes the install folder even when it holds read-only files, which the
// unpacked runtime and several tests leave behind.
void wipe_install() {
  const std::filesystem::path top(vx_test::roaming_app_data() + L"\\Velmorandix");
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it(top, ec), end; !ec && it != end;
       it.increment(ec)) {
    SetFileAttributesW(it->path().wstring().c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  vx_test::clear_install();
}

class Installer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(port().empty()) << "run through run_with_server.py";
    wipe_install();
    state = create_bootstrap_state();
    state->error_title = L"Нет соединения :(";
    state->error_detail = L"Попробуйте еще раз чуть позже.";
    state->is_64bit_os = true;
    state->server_url = base(L"/ok");
    // The manifest of the /ok route.
    state->launcher_size = static_cast<int32_t>(served_jar().size());
    state->launcher_hash =
        utf8_to_wide(vx::fingerprint_of(served_jar().data(), served_jar().size()));
    std::vector<std::string> fingerprints;
    int32_t total = 0;
    for (const RuntimeFile& file : runtime_files()) {
      fingerprints.push_back(vx::fingerprint_of(file.content.data(), file.content.size()));
      total += static_cast<int32_t>(file.content.size());
    }
    state->java_hash = utf8_to_wide(vx::folder_fingerprint_of(fingerprints));
    state->java_size = total;
    state->java_zip_hash = L"0badc0de";
    state->java_zip_size = 5 * kMiB + 1;
    // Lays out the folders and publishes their paths.
    check_install();
    ASSERT_FALSE(state->failed);
    ASSERT_FALSE(state->java_dir.empty());
  }

  void TearDown() override { wipe_install(); }

  // Runs run_update and returns the paths it requested.
  std::vector<std::string> update() {
    const size_t before = logged_paths().size();
    run_update();
    std::vector<std::string> paths = logged_paths();
    paths.erase(paths.begin(), paths.begin() + static_cast<std::ptrdiff_t>(before));
    return paths;
  }

  void install_current_jar() { vx_test::write_file(state->launcher_path, served_jar()); }

  void install_current_runtime() {
    for (const RuntimeFile& file : runtime_files()) {
      vx_test::write_file(state->java_dir + L"\\" + file.path, file.content);
    }
  }

  void expect_runtime_unpacked() {
    for (const RuntimeFile& file : runtime_files()) {
      SCOPED_TRACE(wide_to_utf8(file.path));
      EXPECT_EQ(read_file(state->java_dir + L"\\" + file.path), file.content);
    }
    const DWORD conf = GetFileAttributesW((state->java_dir + L"\\conf").c_str());
    EXPECT_TRUE(conf != INVALID_FILE_ATTRIBUTES && (conf & FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_FALSE(exists(state->java_dir + L"\\tempfile.zip"));
    EXPECT_FALSE(exists(partial(L"java.zip")));
  }

  void expect_failure(const wchar_t* title, const wchar_t* detail) {
    EXPECT_TRUE(state->failed);
    EXPECT_EQ(state->error_title, title);
    EXPECT_EQ(state->error_detail, detail);
  }

  // Current, and no partial download is left.
  void expect_current() {
    check_install();
    EXPECT_TRUE(state->up_to_date);
    EXPECT_FALSE(state->failed);
    EXPECT_FALSE(exists(downloads_dir()));
  }

  std::wstring partial(const wchar_t* item) const {
    return state->install_dir + L"\\downloads\\" + item + L".part";
  }

  BootstrapState* state = nullptr;
};

const std::vector<std::string> kJarRequest = {"/ok/Velmorandix.jar"};
const std::vector<std::string> kArchive64Request = {"/ok/bootstrap/java64.zip"};

TEST_F(Installer, OnlyTheJarStaleFetchesTheJarAndLeavesTheRuntimeAlone) {
  vx_test::write_file(state->launcher_path, "an older launcher");
  install_current_runtime();
  const std::wstring modules = state->java_dir + L"\\lib\\modules";
  WIN32_FILE_ATTRIBUTE_DATA before{};
  ASSERT_TRUE(GetFileAttributesExW(modules.c_str(), GetFileExInfoStandard, &before));
  check_install();
  ASSERT_TRUE(state->launcher_outdated);

  EXPECT_EQ(update(), kJarRequest);
  EXPECT_FALSE(state->failed);
  EXPECT_EQ(state->progress_total_mb, 3);  // launcher_size / 1048576, toward zero
  EXPECT_EQ(state->progress_percent, 100);
  EXPECT_EQ(state->progress_done_mb, 3);
  EXPECT_EQ(read_file(state->launcher_path), served_jar());
  WIN32_FILE_ATTRIBUTE_DATA after{};
  ASSERT_TRUE(GetFileAttributesExW(modules.c_str(), GetFileExInfoStandard, &after));
  EXPECT_EQ(CompareFileTime(&before.ftLastWriteTime, &after.ftLastWriteTime), 0);
  expect_current();
}

TEST_F(Installer, BothStaleTakeTwoRoundsAndEndCurrent) {
  // From an empty install: no jar on disk, so its deletion finds nothing and
  // the download goes ahead.
  ASSERT_TRUE(state->launcher_outdated);
  EXPECT_EQ(update(), kJarRequest);
  EXPECT_FALSE(state->failed);
  EXPECT_TRUE(is_empty_folder(state->java_dir));

  check_install();
  ASSERT_TRUE(state->java_outdated);
  EXPECT_EQ(update(), kArchive64Request);
  EXPECT_FALSE(state->failed);
  // The total comes from the manifest, and so does the percentage now: the
  // small served archive is a sliver of the 5 MiB the manifest names.
  EXPECT_EQ(state->progress_total_mb, 5);  // java_zip_size / 1048576
  EXPECT_EQ(state->progress_percent, 0);
  EXPECT_EQ(state->progress_done_mb, 0);
  expect_runtime_unpacked();
  EXPECT_TRUE(GetFileAttributesW((state->java_dir + L"\\lib\\security\\cacerts").c_str()) &
              FILE_ATTRIBUTE_READONLY);
  expect_current();

  // A later runtime update replaces the unpacked runtime, read-only file
  // included.
  vx_test::write_file(state->java_dir + L"\\bin\\leftover.dll", "from an older runtime");
  check_install();
  ASSERT_TRUE(state->java_outdated);
  EXPECT_EQ(update(), kArchive64Request);
  EXPECT_FALSE(exists(state->java_dir + L"\\bin\\leftover.dll"));
  expect_current();
}

TEST_F(Installer, A32BitSystemFetchesThe32BitRuntime) {
  install_current_jar();
  check_install();
  ASSERT_TRUE(state->java_outdated);
  state->is_64bit_os = false;
  EXPECT_EQ(update(), std::vector<std::string>{"/ok/bootstrap/java32.zip"});
  expect_runtime_unpacked();
}

TEST_F(Installer, NoFlagSetDoesNothingButClearFailed) {
  state->launcher_outdated = false;
  state->java_outdated = false;
  state->failed = true;
  EXPECT_TRUE(update().empty());
  EXPECT_FALSE(state->failed);
}

// A jar held open without sharing gives L1 and stays as it was. Unpinned it
// is found before any request; pinned, only once the new jar has arrived
// and matched its pin.
TEST_F(Installer, AJarHeldOpenWithoutSharingGivesL1) {
  for (const bool pinned : {false, true}) {
    SCOPED_TRACE(pinned ? "pinned" : "unpinned");
    vx_test::write_file(state->launcher_path, "a launcher that is running");
    vx::UniqueHandle held(CreateFileW(state->launcher_path.c_str(), GENERIC_READ, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held.valid());
    state->pinned_downloads = pinned;
    state->launcher_sha256 = *vx::sha256_of(served_jar().data(), served_jar().size());
    EXPECT_EQ(update(), pinned ? kJarRequest : std::vector<std::string>());
    expect_failure(L"Нет доступа :(", L"Ошибка обновления лаунчера. Код L1.");
    held.reset();
    EXPECT_EQ(read_file(state->launcher_path), "a launcher that is running");
    wipe_install();
    check_install();
  }
}

// A runtime file held open without delete sharing (the game still running
// from it) gives J1 before any request, and nothing of the runtime goes.
// Read-only files, which every runtime holds, are no holders.
TEST_F(Installer, ARuntimeInUseGivesJ1AndKeepsEveryFile) {
  install_current_jar();
  install_current_runtime();
  make_read_only(state->java_dir + L"\\lib\\security\\cacerts");
  vx_test::write_file(state->java_dir + L"\\bin\\stale.dll", "from an older runtime");
  check_install();
  ASSERT_TRUE(state->java_outdated);
  {
    vx::UniqueHandle held(CreateFileW((state->java_dir + L"\\bin\\java.exe").c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held.valid());
    EXPECT_TRUE(update().empty());
    expect_failure(L"Нет доступа :(", L"Ошибка обновления Java. Код J1.");
    EXPECT_EQ(read_file(state->java_dir + L"\\bin\\stale.dll"), "from an older runtime");
  }
  EXPECT_EQ(update(), kArchive64Request);
  EXPECT_FALSE(state->failed);
  expect_runtime_unpacked();
}

// A served item that never matches its manifest is installed twice in one
// start; then the check gives up with L5 (jar) or J6 (runtime).
TEST_F(Installer, AnItemStillStaleAfterTwoInstallsEndsOnL5OrJ6) {
  for (const bool jar : {true, false}) {
    SCOPED_TRACE(jar ? "jar" : "runtime");
    SetUp();  // a fresh record and install folder: no installs counted yet
    if (!jar) install_current_jar();
    (jar ? state->launcher_hash : state->java_hash) = L"0badc0de";
    for (int round = 0; round < 2; ++round) {
      check_install();
      ASSERT_TRUE(jar ? state->launcher_outdated : state->java_outdated);
      EXPECT_EQ(update(), jar ? kJarRequest : kArchive64Request);
      EXPECT_FALSE(state->failed);
    }
    check_install();
    expect_failure(L"Нет доступа :(", jar ? L"Ошибка обновления лаунчера. Код L5."
                                          : L"Ошибка обновления Java. Код J6.");
  }
}

TEST_F(Installer, AMissingInstallFolderIsNoL1ButTheJarCannotBeWritten) {
  // Path not found (3) is accepted like file not found (2); the request goes
  // out, and only the target that cannot be opened fails, with L3.
  state->launcher_path = state->install_dir + L"\\no such folder\\launcher.jar";
  EXPECT_EQ(update(), kJarRequest);
  expect_failure(L"Нет доступа :(", L"Ошибка обновления лаунчера. Код L3.");
}

TEST_F(Installer, ServerDownGivesL2OrJ3) {
  vx_test::write_file(state->launcher_path, "an older launcher");
  state->server_url = kDownServer;
  EXPECT_TRUE(update().empty());
  expect_failure(L"Нет соединения :(", L"Ошибка обновления лаунчера. Код L2.");
  // The old jar was deleted before the request.
  EXPECT_FALSE(exists(state->launcher_path));

  // The runtime folder is emptied and re-created before the request.
  install_current_runtime();
  state->launcher_outdated = false;
  state->java_outdated = true;
  state->error_title = L"Нет доступа :(";
  EXPECT_TRUE(update().empty());
  expect_failure(L"Нет соединения :(", L"Ошибка обновления Java. Код J3.");
  EXPECT_TRUE(is_empty_folder(state->java_dir));
}

TEST_F(Installer, AnEmptyBodyGivesL3OrJ4) {
  state->server_url = base(L"/empty");
  EXPECT_EQ(update(), std::vector<std::string>{"/empty/Velmorandix.jar"});
  expect_failure(L"Нет доступа :(", L"Ошибка обновления лаунчера. Код L3.");
  EXPECT_FALSE(exists(state->launcher_path));

  state->launcher_outdated = false;
  state->java_outdated = true;
  EXPECT_EQ(update(), std::vector<std::string>{"/empty/bootstrap/java64.zip"});
  expect_failure(L"Нет доступа :(", L"Ошибка обновления Java. Код J4.");
  EXPECT_TRUE(is_empty_folder(state->java_dir));
}

TEST_F(Installer, AnErrorPageIsWrittenAsTheJarAndTheNextCheckFindsItStale) {
  state->server_url = base(L"/gone");
  EXPECT_EQ(update(), std::vector<std::string>{"/gone/Velmorandix.jar"});
  EXPECT_FALSE(state->failed);
  EXPECT_EQ(read_file(state->launcher_path), "not scripted\n");
  check_install();
  EXPECT_TRUE(state->launcher_outdated);
}

TEST_F(Installer, AnArchiveThatIsNoZipUnpacksNothingAndIsDeleted) {
  install_current_jar();
  install_current_runtime();
  check_install();
  state->java_outdated = true;
  state->server_url = base(L"/notzip");
  EXPECT_EQ(update(), std::vector<std::string>{"/notzip/bootstrap/java64.zip"});
  EXPECT_FALSE(state->failed);
  EXPECT_TRUE(is_empty_folder(state->java_dir));
  check_install();
  EXPECT_TRUE(state->java_outdated);
}

TEST_F(Installer, WithoutContentLengthTheFiguresStayAtZeroButTheTotal) {
  state->server_url = base(L"/nolength");
  state->launcher_size = 2 * kMiB + 7;
  EXPECT_EQ(update(), std::vector<std::string>{"/nolength/Velmorandix.jar"});
  EXPECT_FALSE(state->failed);
  EXPECT_EQ(state->progress_total_mb, 2);
  EXPECT_EQ(state->progress_percent, 0);
  EXPECT_EQ(state->progress_done_mb, 0);
  EXPECT_EQ(read_file(state->launcher_path), "launcher sent without a length\n");
}

TEST_F(Installer, A512KiBJarShowsATotalOfZeroWhileThePercentageRises) {
  state->server_url = base(L"/small");
  state->launcher_size = 512 * 1024;
  // What the window thread would paint, sampled while the download runs.
  std::atomic<bool> running{true};
  std::atomic<int32_t> seen_between{0}, seen_done{0}, seen_total{0};
  std::thread painter([&] {
    while (running) {
      const int32_t percent = state->progress_percent;
      if (percent > 0 && percent < 100) seen_between = percent;
      seen_done = std::max<int32_t>(seen_done, state->progress_done_mb);
      seen_total = std::max<int32_t>(seen_total, state->progress_total_mb);
      Sleep(1);
    }
  });
  const std::vector<std::string> requests = update();
  running = false;
  painter.join();
  EXPECT_EQ(requests, std::vector<std::string>{"/small/Velmorandix.jar"});
  EXPECT_FALSE(state->failed);
  EXPECT_GT(seen_between, 0) << "no progress between 0 and 100 was seen";
  EXPECT_EQ(seen_done, 0);
  EXPECT_EQ(seen_total, 0);
  EXPECT_EQ(state->progress_percent, 100);
  EXPECT_EQ(read_file(state->launcher_path).size(), 512u * 1024u);
}

// The runtime folder holds a dot-file and a dot-folder that no runtime has.
// They are deleted with the rest, so the update converges: the next check
// finds the runtime current instead of fetching it again every round.
TEST_F(Installer, DotNamesInTheRuntimeFolderAreRemovedAndTheUpdateConverges) {
  install_current_jar();
  vx_test::write_file(state->java_dir + L"\\.hidden", "left behind");
  vx_test::write_file(state->java_dir + L"\\.cache\\index", "left behind");
  check_install();
  ASSERT_TRUE(state->java_outdated);
  EXPECT_EQ(update(), kArchive64Request);
  EXPECT_FALSE(exists(state->java_dir + L"\\.hidden"));
  EXPECT_FALSE(exists(state->java_dir + L"\\.cache"));
  expect_runtime_unpacked();
  expect_current();
}

// The jar arrives in pieces: three cut replies fail the request (L2) and
// keep the 1060921 bytes that came; the next round asks for the rest and is
// done. A resumed item the check still finds stale is fetched whole: even
// after a cut, the retry asks for all of it.
TEST_F(Installer, APartialOutlivesAFailedRoundAndAResumedItemComesBackWhole) {
  state->server_url = base(L"/resume");
  const std::string jar = "/resume/Velmorandix.jar";
  const std::string rest = jar + " Range: bytes=1060921-";
  EXPECT_EQ(update(), (std::vector<std::string>{jar, rest, rest}));
  expect_failure(L"Нет соединения :(", L"Ошибка обновления лаунчера. Код L2.");
  EXPECT_EQ(read_file(partial(L"launcher.jar")), served_jar().substr(0, 1060921));
  EXPECT_EQ(update(), std::vector<std::string>{rest});
  EXPECT_FALSE(state->failed);
  EXPECT_EQ(state->progress_percent, 100);
  EXPECT_EQ(read_file(state->launcher_path), served_jar());
  EXPECT_TRUE(state->launcher_resumed);

  vx_test::write_file(state->launcher_path, "changed since");
  check_install();
  ASSERT_TRUE(state->launcher_outdated);
  EXPECT_EQ(update(), (std::vector<std::string>{jar, jar}));
  EXPECT_FALSE(state->failed);
  EXPECT_FALSE(state->launcher_resumed);
  EXPECT_EQ(read_file(state->launcher_path), served_jar());
  EXPECT_FALSE(exists(partial(L"launcher.jar")));
}

// Held bytes are continued only under a well-formed record of this very
// item (URL, size, pin) and only while shorter than it; anything else is
// deleted and the item fetched whole. Partials left when everything is
// current are removed.
TEST_F(Installer, OnlyAPartialOfThisVeryItemIsContinued) {
  const std::string url = wide_to_utf8(base(L"/ok")) + "/Velmorandix.jar";
  const int32_t size = state->launcher_size;
  const vx::Sha256Digest pin = *vx::sha256_of(served_jar().data(), served_jar().size());
  const auto record = [](const std::string& of, int64_t length, const std::string& sha256) {
    std::string text;
    vx::format_partial_record({of, length, sha256, "\"ok-jar\""}, text);
    return text;
  };
  struct Case {
    const char* name;
    std::string record;  // empty: none
    size_t held;
    bool pinned;
    bool continued;
  };
  const Case cases[] = {
      {"this item", record(url, size, ""), 777777, false, true},
      // The held bytes are hashed from disk, or the pin would fail.
      {"this item, pinned", record(url, size, vx::sha256_hex(pin)), 777777, true, true},
      {"another URL", record(url + "?v=2", size, ""), 777777, false, false},
      {"another size", record(url, size + 1, ""), 777777, false, false},
      {"no record", "", 777777, false, false},
      {"a malformed record", "velmorandix-partial 1\nurl=", 777777, false, false},
      {"as long as the item", record(url, size, ""), served_jar().size(), false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();  // nothing installed or counted yet
    state->pinned_downloads = c.pinned;
    state->launcher_sha256 = pin;
    vx_test::write_file(partial(L"launcher.jar"), served_jar().substr(0, c.held));
    if (!c.record.empty()) vx_test::write_file(partial(L"launcher.jar") + L".info", c.record);
    const std::string rest = " Range: bytes=" + std::to_string(c.held) + "-";
    EXPECT_EQ(update(),
              std::vector<std::string>{"/ok/Velmorandix.jar" + (c.continued ? rest : "")});
    EXPECT_FALSE(state->failed);
    EXPECT_EQ(state->launcher_resumed, c.continued);
    EXPECT_EQ(read_file(state->launcher_path), served_jar());
    EXPECT_FALSE(exists(partial(L"launcher.jar") + L".info"));
  }
  install_current_jar();
  install_current_runtime();
  vx_test::write_file(partial(L"java.zip"), "of an earlier release");
  expect_current();
}

// Pinned downloads (a signed manifest): the body must match its SHA-256 pin,
// and nothing installed is touched until it has. Each case starts from an
// older jar and an older runtime on disk.
TEST_F(Installer, PinnedDownloadsReplaceOnlyWithWhatMatchesAndLoseNothingOtherwise) {
  HttpClient archive(base(L"/ok/bootstrap/java64.zip"), nullptr);
  ASSERT_TRUE(archive.request(L"GET"));
  const vx::Sha256Digest jar_pin = *vx::sha256_of(served_jar().data(), served_jar().size());
  const vx::Sha256Digest zip_pin = *vx::sha256_of(archive.body.get(), archive.bodyLength);
  vx::Sha256Digest one_bit_off = jar_pin;
  one_bit_off[17] ^= 0x01;
  struct Case {
    const char* name;
    bool jar;  // the jar is stale; otherwise the runtime
    bool right_pin;
    const wchar_t* route;
    const wchar_t* title;  // nullptr: installed
    const wchar_t* detail;
  };
  const wchar_t* no_link = L"Нет соединения :(";
  const Case cases[] = {
      {"jar", true, true, L"/ok", nullptr, nullptr},
      {"runtime", false, true, L"/ok", nullptr, nullptr},
      {"jar L4", true, false, L"/ok", no_link, L"Ошибка обновления лаунчера. Код L4."},
      {"runtime J5", false, false, L"/ok", no_link, L"Ошибка обновления Java. Код J5."},
      {"jar L2", true, true, kDownServer, no_link, L"Ошибка обновления лаунчера. Код L2."},
      {"runtime J3", false, true, kDownServer, no_link, L"Ошибка обновления Java. Код J3."},
      {"jar L3", true, true, L"/empty", L"Нет доступа :(", L"Ошибка обновления лаунчера. Код L3."},
  };
  const std::wstring old_file = L"\\lib\\old.bin";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vx_test::write_file(state->launcher_path, "an older launcher");
    vx_test::write_file(state->java_dir + old_file, "an older runtime");
    state->pinned_downloads = true;
    state->launcher_sha256 = c.right_pin ? jar_pin : one_bit_off;
    state->java_zip_sha256 = c.right_pin ? zip_pin : one_bit_off;
    state->launcher_outdated = c.jar;
    state->java_outdated = !c.jar;
    state->server_url = c.route[0] == L'/' ? base(c.route) : c.route;
    update();
    if (c.title == nullptr) {
      EXPECT_FALSE(state->failed);
      if (c.jar) {
        EXPECT_EQ(read_file(state->launcher_path), served_jar());
      } else {
        expect_runtime_unpacked();
      }
      EXPECT_EQ(exists(state->java_dir + old_file), c.jar);
    } else {
      // A download that does not match its pin is fetched whole next time.
      EXPECT_FALSE(exists(partial(c.jar ? L"launcher.jar" : L"java.zip")));
      expect_failure(c.title, c.detail);
      EXPECT_EQ(read_file(state->launcher_path), "an older launcher");
      EXPECT_EQ(read_file(state->java_dir + old_file), "an older runtime");
      EXPECT_FALSE(exists(state->java_dir + L"\\tempfile.zip"));
    }
    wipe_install();
    check_install();
  }
}

TEST(DownloadProgress, TruncatesThePercentageAndComputesWholeMiB) {
  BootstrapState* state = create_bootstrap_state();
  struct Case {
    int32_t total;
    double percent;
    int32_t want_percent;
    int32_t want_done;
  };
  const Case cases[] = {
      {3, 0.0, 0, 0},
      {3, 33.3, 33, 0},
      {3, 50.0, 50, 1},
      {3, 99.99, 99, 2},
      {3, 100.0, 100, 3},
      {150, 66.7, 66, 100},
      {150, 0.5, 0, 0},
      {0, 73.9, 73, 0},
      {2047, 100.0, 100, 2047},
      // The product comes first: 50 * 58 / 100.0 is exactly 29, while
      // 50 * (58 / 100.0) falls just short of it.
      {50, 58.0, 58, 29},
      // A server that announces far too short a Content-Length gives huge
      // percentages; they saturate instead of wrapping.
      {150, 4.0e11, INT32_MAX, INT32_MAX},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.total << " MiB at " << c.percent << "%");
    state->progress_total_mb = c.total;
    EXPECT_TRUE(on_download_progress(c.percent));
    EXPECT_EQ(state->progress_percent, c.want_percent);
    EXPECT_EQ(state->progress_done_mb, c.want_done);
    EXPECT_EQ(state->progress_total_mb, c.total);
  }
}

// delete_tree works in a scratch folder of its own under the install folder.
class DeleteTree : public ::testing::Test {
 protected:
  void SetUp() override {
    wipe_install();
    root = vx_test::install_dir() + L"\\scratch";
  }
  void TearDown() override { wipe_install(); }

  std::wstring at(const std::wstring& relative) const { return root + L"\\" + relative; }

  std::wstring root;
};

TEST_F(DeleteTree, ReadOnlyFilesNestedFoldersAndDotNamesAreAllDeleted) {
  vx_test::write_file(at(L"plain.txt"), "x");
  vx_test::write_file(at(L"a\\b\\c\\deep.bin"), "x");
  vx_test::write_file(at(L"a\\read-only.txt"), "x");
  vx_test::write_file(at(L".hidden"), "x");
  vx_test::write_file(at(L".config\\settings"), "x");
  vx_test::write_file(at(L"a\\b\\..dots"), "x");
  make_read_only(at(L"a\\read-only.txt"));
  make_read_only(at(L"a\\b\\c\\deep.bin"));
  SetFileAttributesW(at(L"plain.txt").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  SetFileAttributesW(at(L"a\\b").c_str(), FILE_ATTRIBUTE_READONLY);

  EXPECT_EQ(delete_tree(root, true), 0u);
  EXPECT_FALSE(exists(root));
}

TEST_F(DeleteTree, WithoutRecurseSubfoldersAndTheFolderStay) {
  vx_test::write_file(at(L"plain.txt"), "x");
  vx_test::write_file(at(L".hidden"), "x");
  vx_test::write_file(at(L"sub\\kept.txt"), "x");
  EXPECT_EQ(delete_tree(root, false), 0u);
  EXPECT_FALSE(exists(at(L"plain.txt")));
  EXPECT_FALSE(exists(at(L".hidden")));
  EXPECT_TRUE(exists(at(L"sub\\kept.txt")));

  // Without subfolders the folder itself goes as well.
  EXPECT_EQ(delete_tree(at(L"sub"), false), 0u);
  EXPECT_FALSE(exists(at(L"sub")));
}

TEST_F(DeleteTree, AMissingFolderCountsAsDeleted) {
  EXPECT_EQ(delete_tree(at(L"never made"), true), 0u);
}

TEST_F(DeleteTree, AFileHeldOpenStopsTheDeletionWithItsErrorCode) {
  vx_test::write_file(at(L"held.txt"), "x");
  vx::UniqueHandle held(CreateFileW(at(L"held.txt").c_str(), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(held.valid());
  EXPECT_EQ(delete_tree(root, true), static_cast<uint32_t>(ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(exists(at(L"held.txt")));
  held.reset();
  EXPECT_EQ(delete_tree(root, true), 0u);
  EXPECT_FALSE(exists(root));
}

// The Unix path of a Windows path, through Wine's own export; empty outside
// Wine.
std::string unix_path(const std::wstring& path) {
  using Convert = char* (*)(const wchar_t*);
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  const auto convert = kernel ? reinterpret_cast<Convert>(reinterpret_cast<void*>(
                                    GetProcAddress(kernel, "wine_get_unix_file_name")))
                              : nullptr;
  if (!convert) return std::string();
  char* converted = convert(path.c_str());
  if (!converted) return std::string();
  std::string out = converted;
  HeapFree(GetProcessHeap(), 0, converted);
  return out;
}

// Runs a Unix program of the host (Wine starts native executables too).
bool run_host(const std::wstring& command_line) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  vx::ProcessInfo process;
  std::wstring line = command_line;
  if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      process.put())) {
    return false;
  }
  return WaitForSingleObject(process.get().hProcess, 30000) == WAIT_OBJECT_0;
}

// Makes `link` a symbolic link to `target`: a Unix one under Wine (whose
// CreateSymbolicLinkW makes nothing), a Windows one elsewhere. Returns
// whether the link now exists as a reparse point.
bool make_link(const std::wstring& link, const std::wstring& target, bool folder) {
  const std::string link_unix = unix_path(link);
  if (!link_unix.empty()) {
    const std::string target_unix = unix_path(target);
    run_host(L"Z:\\bin\\ln -s \"" + utf8_to_wide(target_unix) + L"\" \"" + utf8_to_wide(link_unix) +
             L"\"");
  } else {
    CreateSymbolicLinkW(link.c_str(), target.c_str(),
                        (folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | 0x2 /* unprivileged */);
  }
  // Wine does not wait for a host program to end, so give ln a moment.
  for (int tries = 0; tries < 100; ++tries) {
    const DWORD attributes = GetFileAttributesW(link.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    }
    Sleep(50);
  }
  return false;
}

// Removes a link left behind without following it.
void remove_link(const std::wstring& link) {
  const std::string link_unix = unix_path(link);
  if (!link_unix.empty()) {
    run_host(L"Z:\\bin\\rm -f \"" + utf8_to_wide(link_unix) + L"\"");
    for (int tries = 0; tries < 100 && exists(link); ++tries) Sleep(50);
  } else if (!RemoveDirectoryW(link.c_str())) {
    DeleteFileW(link.c_str());
  }
}

// Links inside the folder are removed as links, never followed: what they
// point at lies outside the folder and must survive. (Wine shows links to
// folders as reparse points, but links to files as plain files, so the file
// link is checked only where it is a reparse point.)
TEST_F(DeleteTree, LinksAreNotFollowed) {
  const std::wstring outside = vx_test::install_dir() + L"\\outside";
  vx_test::write_file(outside + L"\\precious\\save.dat", "the player's own data");
  vx_test::write_file(outside + L"\\notes.txt", "more of the player's data");
  make_read_only(outside + L"\\notes.txt");
  vx_test::write_file(at(L"plain.txt"), "x");
  if (!make_link(at(L"linked folder"), outside + L"\\precious", true)) {
    remove_link(at(L"linked folder"));
    GTEST_SKIP() << "symbolic links cannot be made here";
  }
  const bool file_link = make_link(at(L"linked.txt"), outside + L"\\notes.txt", false);

  delete_tree(root, true);  // the folder link itself may not be removable here
  remove_link(at(L"linked folder"));
  remove_link(at(L"linked.txt"));

  EXPECT_EQ(read_file(outside + L"\\precious\\save.dat"), "the player's own data");
  EXPECT_EQ(read_file(outside + L"\\notes.txt"), "more of the player's data");
  if (file_link) {
    EXPECT_TRUE(GetFileAttributesW((outside + L"\\notes.txt").c_str()) & FILE_ATTRIBUTE_READONLY);
  }
  SetFileAttributesW((outside + L"\\notes.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
