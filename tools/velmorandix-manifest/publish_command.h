// publish: the whole update site in one command. It zips the runtime folder
// itself, confirms that the program unpacks that zip to exactly the folder,
// writes the jar, both runtime zips, the manifest and its signature under
// temporary names, puts them in place with the manifest and signature last,
// and prints what it published.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace vx {

// publish --launcher JAR --java-dir FOLDER --java-path TEXT --run-args TEXT
//         [--serial N] [--sign KEYFILE] -o SITE
// Exit codes as the tool's: 0 published; 1 SITE could not be written, or the
// written zip does not unpack to FOLDER (nothing was put in place then); 2
// bad options or input, with the offending path: a link, a name Windows
// cannot create as given, two names Windows takes for one, a path over the
// length budget, a file of 2 GiB or more, a runtime of 2 GiB or more, a key
// that cannot sign, a serial below the one SITE serves.
int run_publish(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace vx
