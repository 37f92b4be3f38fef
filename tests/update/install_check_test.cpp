// check_install on real folders under the roaming AppData folder of the
// test's Wine prefix.
#include "update/install_check.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "app/bootstrap_state.h"
#include "tests/update/appdata_support.h"
#include "update/fingerprint.h"

namespace {

using vx_test::install_dir;
using vx_test::write_file;

std::wstring jar() { return install_dir() + L"\\launcher.jar"; }
std::wstring java() { return install_dir() + L"\\java"; }

std::wstring wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// Java folder with exactly the two files of the documented example.
void write_example_runtime() {
  write_file(java() + L"\\bin\\abc.dll", "abc");
  write_file(java() + L"\\lib\\modules", "abcd");
}

class InstallCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(vx_test::roaming_app_data().empty());
    vx_test::clear_install();
    state = create_bootstrap_state();
    // A current jar "abc" and the example runtime, unless a test says else.
    state->launcher_hash = L"fa93ddb3";
    state->launcher_size = 3;
    state->java_hash = L"7132be8e";
    state->java_size = 7;
  }
  void TearDown() override { vx_test::clear_install(); }

  // Exactly one of the four outcomes holds after every check.
  void expect_outcome(bool launcher_outdated, bool java_outdated, bool up_to_date) {
    EXPECT_FALSE(state->failed);
    EXPECT_EQ(state->launcher_outdated, launcher_outdated);
    EXPECT_EQ(state->java_outdated, java_outdated);
    EXPECT_EQ(state->up_to_date, up_to_date);
  }

  BootstrapState* state = nullptr;
};

TEST_F(InstallCheck, LaysOutTheFoldersAndResetsTheDecision) {
  state->up_to_date = true;
  state->failed = true;
  state->java_outdated = true;
  state->progress_percent = 50;
  state->progress_done_mb = 5;
  state->progress_total_mb = 10;
  check_install();
  EXPECT_EQ(state->install_dir, install_dir());
  EXPECT_EQ(state->launcher_path, jar());
  EXPECT_EQ(state->java_dir, java());
  EXPECT_EQ(GetFileAttributesW(java().c_str()) & FILE_ATTRIBUTE_DIRECTORY,
            static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(state->progress_percent.load(), 0);
  EXPECT_EQ(state->progress_done_mb.load(), 0);
  EXPECT_EQ(state->progress_total_mb.load(), 0);
  // No jar yet: stale, and the runtime is not looked at.
  EXPECT_EQ(file_size(jar()), -1);
  expect_outcome(true, false, false);
}

TEST_F(InstallCheck, CurrentJarAndRuntimeAreUpToDate) {
  write_file(jar(), "abc");
  write_example_runtime();
  check_install();
  expect_outcome(false, false, true);
  EXPECT_EQ(file_fingerprint(jar()), L"fa93ddb3");
  EXPECT_EQ(java_folder_fingerprint(), L"7132be8e");
  // The check can run again after an update with the same answer.
  check_install();
  expect_outcome(false, false, true);
}

TEST_F(InstallCheck, JarThatDiffersIsStale) {
  write_example_runtime();
  write_file(jar(), "abd");  // right size, one byte changed
  check_install();
  expect_outcome(true, false, false);
  write_file(jar(), "abcd");  // wrong size
  check_install();
  expect_outcome(true, false, false);
  write_file(jar(), "abc");
  state->launcher_hash = L"FA93DDB3";  // upper case never matches
  check_install();
  expect_outcome(true, false, false);
}

TEST_F(InstallCheck, EmptyJarMatchesOnlyTheEmptyFingerprint) {
  write_file(jar(), "");
  state->launcher_size = 0;
  state->launcher_hash = L"00000000";
  state->java_hash = L"00000000";
  state->java_size = 0;
  check_install();
  expect_outcome(false, false, true);
  state->launcher_hash = L"";
  check_install();
  expect_outcome(true, false, false);
}

// A missing jar has size -1; a manifest that names -1 must not pass it off
// as current.
TEST_F(InstallCheck, MissingJarNeverMatchesWhateverTheManifestSays) {
  state->launcher_size = -1;
  state->launcher_hash = L"00000000";
  check_install();
  expect_outcome(true, false, false);
}

TEST_F(InstallCheck, RuntimeFingerprintIgnoresPlacesAndDuplicates) {
  write_file(jar(), "abc");
  // The same two files elsewhere, one of them under a name with a dot first.
  write_file(java() + L"\\a\\b\\c\\.hidden", "abcd");
  write_file(java() + L"\\x.txt", "abc");
  check_install();
  expect_outcome(false, false, true);

  // A third file equal to one of the others counts in the size only.
  write_file(java() + L"\\copy\\x.txt", "abc");
  state->java_size = 10;
  check_install();
  expect_outcome(false, false, true);

  std::vector<std::wstring> files;
  ASSERT_TRUE(list_files(java(), L"*.*", files));
  EXPECT_EQ(files.size(), 3u);
}

TEST_F(InstallCheck, TwoIdenticalFilesAndAnEmptyRuntime) {
  write_file(jar(), "abc");
  write_file(java() + L"\\one", "abc");
  write_file(java() + L"\\two", "abc");
  state->java_hash = wide(vx::folder_fingerprint_of({"fa93ddb3"}));
  state->java_size = 6;
  check_install();
  expect_outcome(false, false, true);

  vx_test::clear_install();
  write_file(jar(), "abc");
  state->java_hash = L"00000000";
  state->java_size = 0;
  check_install();
  expect_outcome(false, false, true);
}

TEST_F(InstallCheck, ExtraOrChangedRuntimeFilesAreStale) {
  write_file(jar(), "abc");
  write_example_runtime();
  write_file(java() + L"\\extra", "x");
  check_install();
  expect_outcome(false, true, false);
  EXPECT_EQ(java_folder_fingerprint(), kJavaSizeMismatch);

  // Same total size, other content.
  vx_test::clear_install();
  write_file(jar(), "abc");
  write_file(java() + L"\\bin\\abc.dll", "abd");
  write_file(java() + L"\\lib\\modules", "abcd");
  check_install();
  expect_outcome(false, true, false);
}

// An empty java / hash used to equal the empty text returned on a size
// mismatch, so any runtime counted as current.
TEST_F(InstallCheck, EmptyRuntimeHashDoesNotHideASizeMismatch) {
  write_file(jar(), "abc");
  write_example_runtime();
  state->java_hash = L"";
  state->java_size = 8;
  check_install();
  expect_outcome(false, true, false);
  // With matching sizes an empty hash differs from every fingerprint too.
  state->java_size = 7;
  check_install();
  expect_outcome(false, true, false);
  EXPECT_NE(kJavaSizeMismatch, L"");
  EXPECT_NE(kJavaSizeMismatch, L"00000000");
}

TEST_F(InstallCheck, RuntimeFolderThatCannotBeSearchedFailsWithCode6) {
  write_file(jar(), "abc");
  write_file(java(), "a file where the folder belongs");
  state->error_title = L"Нет соединения :(";
  check_install();
  EXPECT_TRUE(state->failed);
  EXPECT_TRUE(state->java_outdated);
  EXPECT_FALSE(state->up_to_date);
  EXPECT_EQ(state->error_detail, L"Ошибка обновления Java. Код 6.");
  EXPECT_EQ(state->error_title, L"Нет соединения :(");

  std::vector<std::wstring> files{L"stale"};
  EXPECT_FALSE(list_files(java(), L"*.*", files));
  // The next check starts from a clean decision.
  DeleteFileW(java().c_str());
  write_example_runtime();
  check_install();
  expect_outcome(false, false, true);
}

// Cut to 32 bits, a jar of 4 GiB + 3 bytes would pass for the 3-byte jar
// whose first three bytes it holds.
TEST_F(InstallCheck, FilesOfTwoGibibytesOrMoreNeverMatch) {
  ASSERT_TRUE(vx_test::make_long_file(jar(), (int64_t{1} << 32) + 3));
  state->launcher_size = 3;
  state->launcher_hash = wide(vx::fingerprint_of("\0\0\0", 3));
  EXPECT_EQ(file_size(jar()), -1);
  EXPECT_EQ(file_fingerprint(jar()), L"00000000");
  check_install();
  expect_outcome(true, false, false);

  write_file(jar(), "abc");
  state->launcher_hash = L"fa93ddb3";
  write_file(java() + L"\\abc", "abc");
  ASSERT_TRUE(vx_test::make_long_file(java() + L"\\huge", (int64_t{1} << 32) + 4));
  state->java_size = 7;
  state->java_hash =
      wide(vx::folder_fingerprint_of({"fa93ddb3", vx::fingerprint_of("\0\0\0\0", 4)}));
  check_install();
  expect_outcome(false, true, false);
}

}  // namespace
