// The operator's manifest tool: builds the update manifest for a launcher
// jar, an unpacked Java runtime folder and its zip, with the fingerprints
// that the bootstrapper computes, from the same code.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace vx {

// Exit codes of the tool.
constexpr int kToolOk = 0;
constexpr int kToolOutputFailed = 1;  // a file could not be written; verify: not verified
constexpr int kToolBadInput = 2;      // bad options, paths, values or keys

// Runs the tool on its arguments (without the program name), all given as
// UTF-8: manifest mode, or the keygen and verify commands (signing_commands.h).
// Writes the manifest JSON to `out` (or to the -o file, with FILE.sig when
// signing), messages to `err`, the help text to `out`; returns the exit code.
int run_manifest_tool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The JSON string literal for a UTF-8 text: quotes, backslashes and control
// characters escaped, everything else kept as UTF-8.
std::string json_quote(const std::string& utf8);

}  // namespace vx
