// The operator's manifest tool: its options, its messages and exit codes, and
// manifests that the bootstrapper reads back complete with the values it
// computes itself.
#include "tools/velmorandix-manifest/manifest_tool.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "update/fingerprint.h"
#include "update/manifest_reader.h"

namespace fs = std::filesystem;

namespace {

struct ToolRun {
  int code = -1;
  std::string out;
  std::string err;
};

ToolRun run(const std::vector<std::string>& args) {
  std::ostringstream out;
  std::ostringstream err;
  ToolRun result;
  result.code = vx::run_manifest_tool(args, out, err);
  result.out = out.str();
  result.err = err.str();
  return result;
}

class ManifestTool : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = fs::temp_directory_path() / (std::string("vx-manifest-tool-") + info->name());
    fs::remove_all(root_);
    write("launcher.jar", "abc");
    write("runtime/bin/one", "abc");
    write("runtime/lib/deeper/two", "abcd");
    write("java64.zip", "PK-zip");
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  void write(const std::string& name, const std::string& content) {
    const fs::path path = root_ / fs::u8path(name);
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
  }
  std::string at(const std::string& name) const { return (root_ / fs::u8path(name)).u8string(); }

  std::vector<std::string> args(const std::string& run_args = "-jar %launcher%") const {
    return {"--launcher",  at("launcher.jar"),
            "--java-dir",  at("runtime"),
            "--java-zip",  at("java64.zip"),
            "--java-path", "%java%\\bin\\javaw.exe",
            "--run-args",  run_args};
  }

  fs::path root_;
};

TEST_F(ManifestTool, WritesAManifestTheBootstrapperReadsComplete) {
  const ToolRun result = run(args("-Dname=\"Игрок\" \\ -jar %launcher%\t\x01"));
  ASSERT_EQ(result.code, vx::kToolOk) << result.err;
  EXPECT_TRUE(result.err.empty());
  const vx::ManifestReading reading = vx::read_manifest(result.out);
  ASSERT_TRUE(reading.complete) << result.out;
  EXPECT_EQ(*reading.launcher.hash, L"fa93ddb3");
  EXPECT_EQ(*reading.launcher.size, 3);
  EXPECT_EQ(*reading.java.hash, L"7132be8e");  // the documented two-file example
  EXPECT_EQ(*reading.java.size, 7);
  EXPECT_EQ(*reading.java_zip.hash, utf8_to_wide(vx::fingerprint_of("PK-zip", 6)));
  EXPECT_EQ(*reading.java_zip.size, 6);
  EXPECT_EQ(*reading.java_path, L"%java%\\bin\\javaw.exe");
  EXPECT_EQ(*reading.run_args,
            L"-Dname=\"\u0418\u0433\u0440\u043e\u043a\" \\ -jar %launcher%\t\x01");
}

TEST_F(ManifestTool, WritesToAFileWithDashO) {
  std::vector<std::string> arguments = args();
  arguments.push_back("-o");
  arguments.push_back(at("out/../manifest.json"));
  fs::create_directories(root_ / "out");
  const ToolRun result = run(arguments);
  ASSERT_EQ(result.code, vx::kToolOk) << result.err;
  EXPECT_TRUE(result.out.empty());
  std::ifstream in(root_ / "manifest.json", std::ios::binary);
  const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(vx::read_manifest(written).complete);

  arguments.back() = at("no-such-folder/manifest.json");
  EXPECT_EQ(run(arguments).code, vx::kToolOutputFailed);
}

TEST_F(ManifestTool, NonAsciiPathsAndEmptyRuntime) {
  write("Сборка/launcher.jar", "");
  fs::create_directories(root_ / fs::u8path("Сборка/пустая"));
  std::vector<std::string> arguments = args();
  arguments[1] = at("Сборка/launcher.jar");
  arguments[3] = at("Сборка/пустая");
  const ToolRun result = run(arguments);
  ASSERT_EQ(result.code, vx::kToolOk) << result.err;
  const vx::ManifestReading reading = vx::read_manifest(result.out);
  EXPECT_EQ(*reading.launcher.hash, L"00000000");
  EXPECT_EQ(*reading.launcher.size, 0);
  EXPECT_EQ(*reading.java.hash, L"00000000");
  EXPECT_EQ(*reading.java.size, 0);
}

TEST_F(ManifestTool, HelpAndBadOptions) {
  const ToolRun help = run({"--help"});
  EXPECT_EQ(help.code, vx::kToolOk);
  for (const char* option :
       {"--launcher", "--java-dir", "--java-zip", "--java-path", "--run-args", "-o"}) {
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  }
  EXPECT_EQ(run({"-h"}).out, help.out);

  EXPECT_EQ(run({}).code, vx::kToolBadInput);
  EXPECT_EQ(run({"--frobnicate"}).code, vx::kToolBadInput);
  std::vector<std::string> dangling = args();
  dangling.pop_back();
  EXPECT_EQ(run(dangling).code, vx::kToolBadInput);
  std::vector<std::string> twice = args();
  twice.push_back("--launcher");
  twice.push_back(at("launcher.jar"));
  const ToolRun repeated = run(twice);
  EXPECT_EQ(repeated.code, vx::kToolBadInput);
  EXPECT_NE(repeated.err.find("twice"), std::string::npos);
  EXPECT_TRUE(repeated.out.empty());
}

TEST_F(ManifestTool, BadPathsAreNamedAndGiveExitCode2) {
  struct Case {
    size_t index;
    std::string value;
  };
  const Case cases[] = {
      {1, "missing.jar"},   // no such jar
      {1, "runtime"},       // a folder for the jar
      {3, "launcher.jar"},  // a file for the runtime
      {3, "nowhere"},       // no such runtime
      {5, "missing.zip"},   // no such zip
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments = args();
    arguments[c.index] = at(c.value);
    const ToolRun result = run(arguments);
    SCOPED_TRACE(c.value);
    EXPECT_EQ(result.code, vx::kToolBadInput);
    EXPECT_NE(result.err.find(at(c.value)), std::string::npos) << result.err;
    EXPECT_TRUE(result.out.empty());
  }
}

// The bootstrapper can reproduce no link, so the tool names each one, says
// how to do without it and gives exit code 2.
TEST_F(ManifestTool, LinksAreRefusedByNameWithTheWayOut) {
  struct Case {
    const char* link;
    const char* target;
    size_t index;
    const char* fix;
  };
  const Case cases[] = {
      {"runtime/bin/linked-file", "one", 3, "zip -r without -y"},
      {"runtime/lib/linked-folder", "deeper", 3, "zip -r without -y"},
      {"linked.jar", "launcher.jar", 1, "cp -L"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.link);
    const fs::path link = root_ / c.link;
    std::error_code ec;
    fs::create_symlink(c.target, link, ec);
    if (ec) GTEST_SKIP() << "this system makes no symbolic links: " << ec.message();
    std::vector<std::string> arguments = args();
    if (c.index == 1) arguments[1] = at(c.link);
    const ToolRun result = run(arguments);
    EXPECT_EQ(result.code, vx::kToolBadInput);
    EXPECT_NE(result.err.find("'" + at(c.link) + "'"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find(c.fix), std::string::npos) << result.err;
    EXPECT_TRUE(result.out.empty());
    fs::remove(link);
  }
}

TEST_F(ManifestTool, TextsTheBootstrapperWouldRefuseAreRefused) {
  for (const std::string bad : {"\xff", "\xf0\x9f\x98\x80", "\xed\xa0\x80"}) {
    EXPECT_EQ(run(args("-jar " + bad)).code, vx::kToolBadInput);
  }
}

// Files of 2 GiB or more cannot be described by a signed 32-bit size.
TEST_F(ManifestTool, FilesOfTwoGibibytesOrMoreAreRefused) {
  write("runtime/huge", "");
  fs::resize_file(root_ / "runtime/huge", uint64_t{1} << 31);
  const ToolRun result = run(args());
  EXPECT_EQ(result.code, vx::kToolBadInput);
  EXPECT_NE(result.err.find("2 GiB"), std::string::npos);
}

TEST(JsonQuote, EscapesWhatJsonRequires) {
  EXPECT_EQ(vx::json_quote("a\"b\\c/\n\x1f\x7f\xd0\x98"),
            "\"a\\\"b\\\\c/\\u000a\\u001f\x7f\xd0\x98\"");
}

#ifndef _WIN32
// The program itself: its exit codes and streams as a shell sees them.
TEST(ManifestToolProgram, ExitCodesAndStreams) {
  const std::string tool = VX_MANIFEST_TOOL;
  auto run_program = [&](const std::string& arguments, std::string& out) {
    FILE* pipe = popen((tool + " " + arguments + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) return -1;
    char chunk[4096];
    size_t got = 0;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, got);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  std::string out;
  EXPECT_EQ(run_program("--help", out), 0);
  EXPECT_NE(out.find("--java-dir"), std::string::npos);
  out.clear();
  EXPECT_EQ(run_program("--launcher /nonexistent/launcher.jar --java-dir / --java-zip /x "
                        "--java-path j --run-args r",
                        out),
            2);
  EXPECT_TRUE(out.empty());
}
#endif

}  // namespace
