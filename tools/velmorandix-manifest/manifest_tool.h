// The operator's manifest tool: builds the update manifest for a launcher
// jar, an unpacked Java runtime folder and its zip, with the fingerprints
// that the bootstrapper computes, from the same code.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace vx {

// Exit codes of the tool.
constexpr int kToolOk = 0;
constexpr int kToolOutputFailed = 1;  // a file could not be written; verify: not verified
constexpr int kToolBadInput = 2;      // bad options, paths, values or keys

// Runs the tool on its arguments (without the program name), all given as
// UTF-8: manifest mode, or the publish (publish_command.h), check-site
// (check_site.h), keygen and verify (signing_commands.h) commands.
// Writes the manifest JSON to `out` (or to the -o file, with FILE.sig when
// signing), messages to `err`, the help text to `out`; returns the exit code.
int run_manifest_tool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The JSON string literal for a UTF-8 text: quotes, backslashes and control
// characters escaped, everything else kept as UTF-8.
std::string json_quote(const std::string& utf8);

// Shared by the tool's commands.

// One item of the manifest as the bootstrapper computes it: fingerprint and
// size, and for files the SHA-256 (lowercase hex) that pins a download.
struct Item {
  std::string hash;
  int32_t size = 0;
  std::string sha256;
};

// Whether the text is UTF-8 within U+0000..U+FFFF, as the manifest's texts
// must be.
bool is_bmp_text(const std::string& utf8);

// True when the path itself is a symbolic link, a junction or any other
// reparse point.
bool is_link(const std::filesystem::path& path);

// The message for a link at `path`, given through option `name`, with the
// way to do without it. The bootstrapper gets real files only: an archive
// stores a link either as a small file holding its target or as a second
// copy of what it points to, and neither matches a manifest made through the
// link.
std::string link_refused(const std::string& name, const std::filesystem::path& path,
                         const char* fix);

// Size, fingerprint and SHA-256 of the regular file given through option
// `name` (a --launcher that is a link is refused); false with `error` naming
// it when it is missing, unreadable or 2 GiB or more.
bool read_item(const std::string& name, const std::string& path_text, Item& item,
               std::string& error);

// The manifest's text, with "serial" when one is given.
std::string manifest_json(const std::optional<uint32_t>& serial, const Item& launcher,
                          const Item& java, const Item& java_zip, const std::string& java_path,
                          const std::string& run_args);

}  // namespace vx
