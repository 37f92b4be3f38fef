// Update servers and the manifest.
//
// Windows only (the request goes through HttpClient); the manifest reading
// itself is portable, in manifest_reader.h.
#pragma once

#include <string>

#include "base/console_line.h"  // vx::write_stdout_line
#include "update/manifest_reader.h"

// Appends the primary and then the fallback base URL to server_urls and sets
// the default failure texts ("Нет соединения :(" / "Попробуйте еще раз чуть
// позже."), which the error screen shows when no later step replaces them.
void prepare_servers();

// Asks each server in list order for "/updater?system=win64", writing one
// line to standard output per request, until one answers "200" with a body
// that parses as JSON. Stores the manifest's values in the record and sets
// manifest_ok only when the manifest is complete. When no server gives a
// parsable reply, or the reply is the JSON literal null, sets failed and the
// C1 texts. Also sets is_64bit_os and leaves server_url naming the server
// asked last (the one that answered, on success).
void fetch_manifest();

// Whether Windows itself is 64-bit (x64 or ARM64) and this process does not
// run under WOW64. Looks the WOW64 queries up at run time.
bool detect_64bit_os();
