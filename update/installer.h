// Download and installation of one stale item: the launcher jar, or else the
// zipped Java runtime, which is unpacked into the emptied runtime folder.
// Nothing installed here is verified against the manifest's fingerprints; the
// next install check does that. With pinned downloads (a signed manifest) the
// downloaded body must match its SHA-256 pin before anything is written.
//
// Windows only (files through Win32 and the C runtime's wide functions).
#pragma once

#include <cstdint>
#include <string>

// Replaces at most one item per call, reading the shared record: the launcher
// jar when launcher_outdated is set, otherwise the Java runtime when
// java_outdated is set. Resets failed first. On a failure sets failed,
// error_title and error_detail (codes L1-L4, J3-J5); everything it ignores
// (a folder not emptied, an archive that is not a zip, an item that does not
// unpack, an error page written as the item) is left for the next check.
// Sets progress_total_mb before the download; the progress callback keeps
// progress_percent and progress_done_mb current while it runs.
//
// Unsigned, the old jar is deleted (L1) and the runtime folder emptied before
// the download. With pinned_downloads both wait until the body has arrived
// (L2/J3), is not empty (L3/J4) and matches launcher_sha256 or
// java_zip_sha256 (else L4/J5, and nothing on disk has changed); a jar that
// cannot be deleted then gives L1 after its download.
void run_update();

// The download progress receiver: progress_percent := percent truncated to
// an integer, progress_done_mb := progress_total_mb * percent / 100.0
// truncated. Values outside the 32-bit range saturate instead of wrapping.
// Always returns true.
bool on_download_progress(double percent);

// Whether another program holds a file below `folder` in a way that would
// stop its deletion. Every file is opened for delete access with full
// sharing and closed again: only a holder that denies delete sharing (a
// running java.exe, a file open in another program) refuses; read-only
// files do not, and nothing is changed. Returns 0 when none refuses (also
// for a folder that does not exist or cannot be listed), else the first
// refusal's Win32 error code.
uint32_t first_file_in_use(const std::wstring& folder);

// Deletes the files below `folder` and, with `recurse`, its subfolders, then
// the folder itself. Only "." and ".." are skipped, so names that begin with
// a full stop go too. A subfolder that is a link (a reparse point) is never
// entered: the link itself is removed and whatever it points at is left
// alone. Read-only files are made writable first. Without `recurse`,
// subfolders stay and so does the folder, and the result is 0.
// Returns 0 on success, also when the folder does not exist, or the Win32
// error code of the first step that failed (the deletion stops there).
uint32_t delete_tree(const std::wstring& folder, bool recurse);
