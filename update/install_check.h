// The install layout and the integrity check. Windows only; the fingerprint
// arithmetic itself is portable, in fingerprint.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Returned by java_folder_fingerprint when the files' size total differs from
// java_size (or a file cannot be opened or holds 2 GiB or more). It holds a
// lone surrogate, which no manifest text can contain, so it equals no
// java_hash; check_install also tests for it explicitly.
extern const std::wstring kJavaSizeMismatch;

// Size of a file in bytes; -1 when it cannot be opened or holds 2 GiB or more
// (such a file never matches a manifest size).
int32_t file_size(const std::wstring& path);

// FileFingerprint of a file's content: 8 lowercase hex digits; "00000000" for
// an empty or unreadable file, and for one of 2 GiB or more.
std::wstring file_fingerprint(const std::wstring& path);

// Fills `files` with the full paths of all files below `root` (depth first;
// "." and ".." skipped, other names starting with a dot kept). Returns false
// when a folder cannot be searched or its enumeration ends in an error.
bool list_files(const std::wstring& root, const std::wstring& pattern,
                std::vector<std::wstring>& files);

// Folder fingerprint of java_dir when its files add up to java_size;
// kJavaSizeMismatch when they do not. When the folder cannot be searched,
// sets failed and the code 6 detail and returns an empty text.
std::wstring java_folder_fingerprint();

// Lays out and creates the install folders, publishes their paths in the
// record and sets exactly one outcome: failed (with error_detail),
// launcher_outdated, java_outdated or up_to_date. Resets the decision flags
// and the progress numbers first. An item found stale after two installs in
// this start (launcher_installs, java_installs) fails instead: "Нет доступа
// :(" with code L5 for the jar, J6 for the runtime. When everything is
// current, the partial downloads left in downloads_dir() are removed.
void check_install();
