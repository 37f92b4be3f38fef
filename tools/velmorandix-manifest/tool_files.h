// File operations of the tool that differ between Linux and Windows: file
// times, and making files durable and putting them in place in one step.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace vx::tool {

// The file's modification time in Unix seconds; empty when it cannot be read.
std::optional<int64_t> modified_time(const std::filesystem::path& path);

// Makes the file's content durable on disk before it is put in place.
bool sync_file(const std::filesystem::path& path);

// Renames `from` to `to` in one step, replacing a file at `to`: a reader
// sees the old file or the new one, never a mix or none. Then makes the
// folder's new entry durable (on Linux; Windows does it with the rename).
bool replace_file(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace vx::tool
