// The program's one diagnostic output: a line on standard output. Windows
// only.
#pragma once

#include <string>

namespace vx {

// Writes one line of diagnostic text to standard output so that whoever
// reads it gets readable text: through the console's wide-character output
// when standard output is a console, otherwise as UTF-8 bytes followed by
// CR LF, written straight to the handle (nothing is left buffered). Does
// nothing when there is no standard output.
void write_stdout_line(const std::wstring& line);

}  // namespace vx
