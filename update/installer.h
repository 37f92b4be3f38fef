// Download and installation of one stale item: the launcher jar, or else the
// zipped Java runtime, which is unpacked into the emptied runtime folder.
// Downloads stream to disk as they arrive, into partials under
// downloads_dir() that a later attempt, round or start continues (see
// update/partial_download.h). Nothing installed here is verified against the
// manifest's fingerprints; the next install check does that. With pinned
// downloads (a signed manifest) the download must match its SHA-256 pin
// before anything installed is touched.
//
// Windows only (files through Win32).
#pragma once

#include <cstdint>
#include <string>

// Replaces at most one item per call, reading the shared record: the launcher
// jar when launcher_outdated is set, otherwise the Java runtime when
// java_outdated is set. Resets failed first. On a failure sets failed,
// error_title and error_detail; everything it ignores (a folder not emptied,
// an archive that is not a zip, an item that does not unpack, an error page
// written as the item) is left for the next check. Sets progress_total_mb
// before the download; the progress callback keeps progress_percent and
// progress_done_mb current with the whole item's share while it runs.
//
// No download reads more than the manifest's size of the item. A request
// that fails (also a body cut before its end) gives L2/J3 and keeps the
// partial; one that failed because the partial could not be written, or
// brought nothing, gives L3/J4. Before anything of the runtime is deleted or
// fetched, a file below the runtime folder held by another program gives J1.
// Unsigned, the old jar is deleted (L1) and the runtime folder emptied before
// the download, and an item continued from held bytes that is not the
// manifest's size is dropped with L2/J3. With pinned_downloads the old item
// stays until the download matches launcher_sha256 or java_zip_sha256 (else
// L4/J5, the partial dropped); a jar that cannot be deleted then gives L1.
//
// Each install counts in launcher_installs or java_installs, and
// launcher_resumed or java_resumed tells whether it was continued from held
// bytes; such an item is fetched whole if it comes round again.
void run_update();

// The download progress receiver: progress_percent := percent truncated to
// an integer, progress_done_mb := progress_total_mb * percent / 100.0
// truncated. Values outside the 32-bit range saturate instead of wrapping.
// Always returns true.
bool on_download_progress(double percent);

// The folder that keeps partial downloads: install_dir followed by
// "\downloads".
std::wstring downloads_dir();

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
