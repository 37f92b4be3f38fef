// check-site: fetches from one update server what a player's program would,
// with its User-Agent and system=win64, over libcurl (native tool only), and
// tells, one line per check, whether a player would end up current:
//   ok   <what>: <what was found>
//   warn <what>: <what was found>
//   FAIL <what>: <what was found>
// and a last line with the counts and the verdict. Every download is bounded
// by the size the manifest gives it; the runtime zip is unpacked in memory by
// the same walk of the program's zip rules that publish uses.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace vx {

// check-site URL [--keys LIST] [--cacert FILE | --insecure]
// Exit codes: 0 a player would install and launch (warnings allowed), 1 any
// FAIL, 2 bad options or the server cannot be reached at all.
int run_check_site(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace vx
