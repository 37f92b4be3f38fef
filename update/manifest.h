// Update servers and the manifest.
//
// Windows only (the request goes through HttpClient); the manifest reading
// itself is portable, in manifest_reader.h.
#pragma once

#include <string>

#include "base/console_line.h"  // vx::write_stdout_line
#include "update/manifest_reader.h"
#include "update/update_keys.h"

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
//
// With update keys built in (vx::update_keys()) the manifest must also be
// signed; see fetch_manifest_with.
void fetch_manifest();

// fetch_manifest with the given key set; no keys is the unsigned behaviour
// above. With keys, a reply that would be taken unsigned is taken only when
// "/updater.sig?system=win64" on the same server (no console line) holds a
// signature of the body's exact bytes under one of the keys, and its
// "serial" is not below the one stored in kManifestSerialFile; otherwise the
// next server is asked. The body is read as UTF-8 whatever charset the reply
// declares, since that header is not signed. A verified manifest raises the
// stored serial (through a temporary file and a rename), turns on pinned
// downloads, and is complete only with the "sha256" pins and a valid serial;
// incomplete, it keeps the default texts like any incomplete manifest. When
// no server gives a verified manifest but one gave a reply that unsigned mode
// would have taken, sets failed and the C2 texts; otherwise C1 as above. A
// verified JSON null is C1 too; an unverified one is passed over.
void fetch_manifest_with(const vx::UpdateKeySet& keys);

// The stored serial, below the roaming application-data folder: decimal
// ASCII; a missing, unreadable or malformed file counts as 0.
extern const wchar_t kManifestSerialFile[];

// Whether Windows itself is 64-bit (x64 or ARM64) and this process does not
// run under WOW64. Looks the WOW64 queries up at run time.
bool detect_64bit_os();
