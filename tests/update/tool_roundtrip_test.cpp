// A manifest written by the operator's tool for an installed jar and runtime
// makes check_install find both current, under Wine on real AppData folders.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/bootstrap_state.h"
#include "archive/zip_archive.h"
#include "tests/update/appdata_support.h"
#include "tools/velmorandix-manifest/manifest_tool.h"
#include "update/cng_crypto.h"
#include "update/install_check.h"
#include "update/manifest_reader.h"

namespace {

using vx_test::install_dir;
using vx_test::write_file;

class ToolRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(vx_test::roaming_app_data().empty());
    vx_test::clear_install();
  }
  void TearDown() override { vx_test::clear_install(); }

  // Runs the tool on the installed files and checks the install against its
  // output; returns the record.
  BootstrapState* check_with_tool_manifest() {
    const std::wstring zip = vx_test::roaming_app_data() + L"\\Velmorandix\\Сервер\\java64.zip";
    write_file(zip, "PK\x03\x04 not really a zip");
    std::ostringstream out;
    std::ostringstream err;
    const int code = vx::run_manifest_tool(
        {"--launcher", wide_to_utf8(install_dir() + L"\\launcher.jar"), "--java-dir",
         wide_to_utf8(install_dir() + L"\\java"), "--java-zip", wide_to_utf8(zip), "--java-path",
         "%java%\\bin\\javaw.exe", "--run-args", "-jar \"%launcher%\""},
        out, err);
    EXPECT_EQ(code, vx::kToolOk) << err.str();
    BootstrapState* state = create_bootstrap_state();
    reading_ = vx::read_manifest(out.str());
    EXPECT_TRUE(vx::signed_manifest_complete(reading_)) << out.str();
    vx::apply_manifest(reading_, *state);
    check_install();
    return state;
  }

  vx::ManifestReading reading_;
};

TEST_F(ToolRoundTrip, JarAndRuntimeWrittenByTheToolAreCurrent) {
  std::string jar(70000, '\0');
  for (size_t i = 0; i < jar.size(); ++i) jar[i] = static_cast<char>(i * 7 + i / 251);
  write_file(install_dir() + L"\\launcher.jar", jar);
  write_file(install_dir() + L"\\java\\bin\\javaw.exe", "MZ runtime");
  write_file(install_dir() + L"\\java\\bin\\same.dll", "shared");
  write_file(install_dir() + L"\\java\\lib\\same.dll", "shared");
  write_file(install_dir() + L"\\java\\lib\\security\\.policy", "");
  write_file(install_dir() + L"\\java\\lib\\Библиотека.jar", "cyrillic name");

  BootstrapState* state = check_with_tool_manifest();
  EXPECT_FALSE(state->failed);
  EXPECT_FALSE(state->launcher_outdated);
  EXPECT_FALSE(state->java_outdated);
  EXPECT_TRUE(state->up_to_date);
  EXPECT_EQ(state->launcher_size, 70000);
  // The pin is what the program computes over the downloaded body.
  EXPECT_EQ(reading_.launcher.sha256, vx::sha256_of(jar.data(), jar.size()));

  // A runtime file that changes afterwards is caught.
  write_file(install_dir() + L"\\java\\bin\\javaw.exe", "MZ runtimf");
  check_install();
  EXPECT_TRUE(state->java_outdated);
  EXPECT_FALSE(state->up_to_date);
}

// publish over a small tree (a non-ASCII name, an empty file, a read-only
// file, a nested folder); the zip it serves, unpacked by the program's own
// extraction as the install does, is the runtime the manifest describes.
TEST_F(ToolRoundTrip, PublishedSiteInstallsCurrent) {
  const std::wstring source = vx_test::roaming_app_data() + L"\\Velmorandix\\release";
  write_file(source + L"\\launcher.jar", "the launcher");
  write_file(source + L"\\java\\bin\\java.exe", "MZ read-only");
  write_file(source + L"\\java\\conf\\пустой.cfg", "");
  write_file(source + L"\\java\\lib\\security\\deep\\policy", "nested");
  const std::wstring read_only = source + L"\\java\\bin\\java.exe";
  ASSERT_TRUE(SetFileAttributesW(read_only.c_str(), FILE_ATTRIBUTE_READONLY));
  std::ostringstream out;
  std::ostringstream err;
  const int code = vx::run_manifest_tool(
      {"publish", "--launcher", wide_to_utf8(source + L"\\launcher.jar"), "--java-dir",
       wide_to_utf8(source + L"\\java"), "--java-path", "%java%\\bin\\java.exe", "--run-args",
       "-jar %launcher%", "-o", wide_to_utf8(source + L"\\site")},
      out, err);
  SetFileAttributesW(read_only.c_str(), FILE_ATTRIBUTE_NORMAL);
  ASSERT_EQ(code, vx::kToolOk) << err.str();

  // The install's own steps: the jar in place, every item in index order.
  CreateDirectoryW(install_dir().c_str(), nullptr);
  ASSERT_TRUE(CopyFileW((source + L"\\site\\Velmorandix.jar").c_str(),
                        (install_dir() + L"\\launcher.jar").c_str(), FALSE));
  vx::ZipArchive* archive = vx::openArchive((source + L"\\site\\bootstrap\\java64.zip").c_str());
  ASSERT_NE(archive, nullptr);
  vx::ZipItemInfo info{};
  vx::describeItem(archive, -1, &info);
  for (int32_t i = 0, count = info.index; i < count; ++i) {
    ASSERT_EQ(vx::describeItem(archive, i, &info), vx::ZipResult::Ok);
    const std::wstring destination = install_dir() + L"\\java\\" + info.name;
    ASSERT_EQ(vx::extractItem(archive, i, destination.c_str()), vx::ZipResult::Ok) << i;
  }
  vx::closeArchive(archive);

  BootstrapState* state = create_bootstrap_state();
  const vx::ManifestReading reading =
      vx::read_manifest(vx_test::read_file(source + L"\\site\\updater\\win64.json"));
  vx::apply_manifest(reading, *state);
  check_install();
  EXPECT_TRUE(state->up_to_date);
  EXPECT_EQ(state->java_size, 18);
  const std::wstring installed = install_dir() + L"\\java\\bin\\java.exe";
  EXPECT_TRUE(GetFileAttributesW(installed.c_str()) & FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(vx_test::read_file(install_dir() + L"\\java\\conf\\пустой.cfg"), "");
  SetFileAttributesW(installed.c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
