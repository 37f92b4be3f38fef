// check-site against the scripted server (make_check_site_script.py): a good
// signed site, then one row per fault that a check must catch, with the exit
// code and the very lines that tell it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/velmorandix-manifest/manifest_tool.h"
#include "update/update_keys.h"

namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

struct Row {
  const char* site;  // the prefix on the server; nullptr: no server at all
  std::vector<std::string> options;
  int code;
  // Substrings of the output; the FAIL lines must be exactly those listed.
  std::vector<std::string> lines;
};

TEST(CheckSite, TellsEachFaultOnItsOwnLine) {
  const std::string base = "https://127.0.0.1:" + env("VX_TEST_PORT_HTTPS") + "/";
  const std::string cacert = env("VX_TEST_CERT_DIR") + "/self-signed.crt";
  const std::string a = vx::update_keys().keys[0].base64;
  const std::string b = vx::update_keys().keys[1].base64;
  const std::vector<std::string> trusted = {"--cacert", cacert};
  const Row rows[] = {
      {"good",
       {"--keys", a + ";" + b, "--cacert", cacert},
       0,
       {"ok   manifest: 200", "ok   signature: verifies under key 1 of 2", "serial 5",
        "ok   jar: 200, 3000 bytes", "ok   java64.zip unpacked: 4 files",
        "ok   java32.zip: the same", "ok   jar: downloads can resume"}},
      {"good", {"--keys", b, "--insecure"}, 1, {"FAIL signature: the signature matches none"}},
      {"manifest_missing", trusted, 1, {"FAIL manifest: status 404"}},
      {"manifest_html", trusted, 1, {"FAIL manifest: not JSON"}},
      {"manifest_incomplete", trusted, 1, {"FAIL manifest: 200", "lacks run_args"}},
      {"jar_missing", trusted, 1, {"FAIL jar: status 404"}},
      {"jar_changed", trusted, 1, {"FAIL jar: fingerprint"}},
      {"jar_long", trusted, 1, {"FAIL jar: more than the 3000 bytes"}},
      {"zip_damaged",
       trusted,
       1,
       {"FAIL java64.zip: SHA-256", "FAIL java64.zip unpacked:", "first differing file: 'release'",
        "ok   java32.zip: the same"}},
      {"zip32_differs",
       trusted,
       1,
       {"FAIL java32.zip: differs from java64.zip: first differing file: 'release'"}},
      {"runtime_other",
       trusted,
       1,
       {"FAIL java64.zip unpacked:", "the manifest describes other files"}},
      {"no_resume",
       trusted,
       0,
       {"warn jar: downloads cannot resume", "warn java64.zip: downloads cannot resume",
        "warn java32.zip: downloads cannot resume"}},
      {nullptr, {"https://127.0.0.1:1"}, 2, {"FAIL manifest: cannot reach"}},
      {nullptr, {base + "good", "--insecure", "--cacert", cacert}, 2, {}},
      {nullptr, {"--insecure"}, 2, {}},
  };
  for (const Row& row : rows) {
    std::vector<std::string> args = {"check-site"};
    if (row.site) args.push_back(base + row.site);
    args.insert(args.end(), row.options.begin(), row.options.end());
    std::ostringstream out;
    std::ostringstream err;
    const int code = vx::run_manifest_tool(args, out, err);
    const std::string text = out.str();
    SCOPED_TRACE((row.site ? row.site : row.options[0]) + std::string("\n") + text + err.str());
    EXPECT_EQ(code, row.code);
    size_t expected_failures = 0;
    for (const std::string& line : row.lines) {
      EXPECT_NE(text.find(line), std::string::npos) << line;
      expected_failures += line.rfind("FAIL", 0) == 0 ? 1 : 0;
    }
    size_t failures = 0;
    for (size_t at = text.find("FAIL "); at != std::string::npos; at = text.find("FAIL ", at + 1)) {
      ++failures;
    }
    EXPECT_EQ(failures, expected_failures);
    if (row.code == 0 && row.lines[0].rfind("warn", 0) != 0) {
      EXPECT_EQ(text.find("warn "), std::string::npos);
    }
  }

  // Every request went out as the program's: its User-Agent, system=win64.
  std::ifstream log(env("VX_TEST_SERVER_LOG_UNIX"));
  const std::string requests((std::istreambuf_iterator<char>(log)),
                             std::istreambuf_iterator<char>());
  EXPECT_NE(requests.find("\"/good/updater?system=win64\""), std::string::npos);
  EXPECT_NE(requests.find("[\"User-Agent\", \"Mozilla/5.0 (Windows NT 10.0; Win64; x64)"),
            std::string::npos);
  EXPECT_EQ(requests.find("curl/"), std::string::npos);
}

}  // namespace
