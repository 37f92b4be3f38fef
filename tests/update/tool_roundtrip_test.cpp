// A manifest written by the operator's tool for an installed jar and runtime
// makes check_install find both current, under Wine on real AppData folders.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/bootstrap_state.h"
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

}  // namespace
