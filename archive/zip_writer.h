// Writes a runtime archive as the operator's tool publishes it, through
// minizip's writer and zlib: fixed settings everywhere, so that the same
// entries with the same content and times give the same bytes.
//
// Files are deflated at level 9, folders stored empty. Names are UTF-8 (the
// UTF-8 flag is set when a name needs it). Attributes are written for an
// MS-DOS host, which the program reads as they are: a folder is a folder, a
// file carries the archive bit and, when it is read-only, the read-only bit,
// so the program creates it read-only. The MS-DOS time is the modification
// time in UTC (clamped to 1980..2107) and an extended-timestamp block holds
// it to the second, which is what the program sets as the file's time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vx {
namespace zip {

struct WriterEntry {
  std::string name;              // UTF-8, '/' between components; a folder's ends in '/'
  std::filesystem::path source;  // the file whose content goes in; empty for a folder
  int64_t modified = 0;          // Unix seconds
  bool read_only = false;
};

// Writes the entries, in the order given, to a new archive at `path`
// (replacing any file there). False with `error` naming what could not be
// read or written; the file may then be partial.
bool write_archive(const std::filesystem::path& path, const std::vector<WriterEntry>& entries,
                   std::string& error);

}  // namespace zip
}  // namespace vx
