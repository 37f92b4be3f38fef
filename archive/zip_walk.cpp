#include "archive/zip_walk.h"

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "archive/windows_names.h"
#include "archive/zip_crypt.h"
#include "archive/zip_rules.h"
#include "base/utf8.h"
#include "unzip.h"

namespace vx {
namespace zip {

bool MemoryBytes::read(uint64_t offset, void* out, size_t length) {
  if (offset > size_ || length > size_ - offset) return false;
  if (length > 0) std::memcpy(out, data_ + offset, length);
  return true;
}

FileBytes::FileBytes(const std::filesystem::path& path)
    : file_(path, std::ios::binary | std::ios::ate) {
  if (!file_) return;
  const std::streamoff end = file_.tellg();
  if (end < 0) return;
  size_ = static_cast<uint64_t>(end);
  open_ = true;
}

bool FileBytes::read(uint64_t offset, void* out, size_t length) {
  if (!open_ || offset > size_ || length > size_ - offset) return false;
  file_.clear();
  file_.seekg(static_cast<std::streamoff>(offset));
  file_.read(static_cast<char*>(out), static_cast<std::streamsize>(length));
  return file_.gcount() == static_cast<std::streamsize>(length);
}

namespace {

// As the program's front end: names of 260 bytes or more are refused, and
// items are read in chunks of this size, each written as it comes.
constexpr size_t kNameBuffer = 260;
constexpr unsigned kChunk = 16384;

// The reader's view of the archive: a position over ArchiveBytes.
struct Stream {
  ArchiveBytes* bytes = nullptr;
  uint64_t position = 0;
  bool failed = false;
};

voidpf ZCALLBACK stream_open(voidpf opaque, const void*, int) { return opaque; }

uLong ZCALLBACK stream_read(voidpf, voidpf stream, void* buffer, uLong size) {
  Stream* s = static_cast<Stream*>(stream);
  const uint64_t total = s->bytes->size();
  if (s->position >= total) return 0;
  const uint64_t rest = total - s->position;
  const size_t want = static_cast<size_t>(size < rest ? size : rest);
  if (!s->bytes->read(s->position, buffer, want)) {
    s->failed = true;
    return 0;
  }
  s->position += want;
  return static_cast<uLong>(want);
}

uLong ZCALLBACK stream_write(voidpf, voidpf stream, const void*, uLong) {
  static_cast<Stream*>(stream)->failed = true;
  return 0;
}

ZPOS64_T ZCALLBACK stream_tell(voidpf, voidpf stream) {
  return static_cast<Stream*>(stream)->position;
}

long ZCALLBACK stream_seek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  Stream* s = static_cast<Stream*>(stream);
  uint64_t base = 0;
  switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
      base = 0;
      break;
    case ZLIB_FILEFUNC_SEEK_CUR:
      base = s->position;
      break;
    case ZLIB_FILEFUNC_SEEK_END:
      base = s->bytes->size();
      break;
    default:
      return -1;
  }
  // Offsets are never negative; a position past the end reads nothing, as
  // for a file.
  if (offset > UINT64_MAX - base) return -1;
  s->position = base + offset;
  return 0;
}

int ZCALLBACK stream_close(voidpf, voidpf) { return 0; }

int ZCALLBACK stream_error(voidpf, voidpf stream) {
  return static_cast<Stream*>(stream)->failed ? 1 : 0;
}

bool read_at(void* context, uint64_t offset, uint8_t* out, size_t length) {
  return static_cast<ArchiveBytes*>(context)->read(offset, out, length);
}

struct ReaderCloser {
  void operator()(void* reader) const { unzClose(reader); }
};

// The runtime folder as Windows holds it while the walk goes on: each
// file's place in `files` and its attributes, and the folders made, both by
// their Windows keys.
struct Folder {
  std::map<std::u16string, size_t> files;
  std::set<std::u16string> folders;
};

bool ends_in_separator(const std::u16string& name) {
  return name.empty() || isSeparator(name.back());
}

// The folders of `name` (every part before a separator), outermost first.
std::vector<std::u16string> folder_parts(const std::u16string& name) {
  std::vector<std::u16string> parts;
  for (size_t i = 0; i < name.size(); ++i) {
    if (isSeparator(name[i]) && i > 0) parts.push_back(name.substr(0, i));
  }
  return parts;
}

class Walk {
 public:
  Walk(ArchiveBytes& archive, const ContentDigest& digest, uint64_t limit)
      : archive_(archive), digest_(digest), limit_(limit) {}

  Unpacked run() {
    stream_.bytes = &archive_;
    zlib_filefunc64_def io;
    io.zopen64_file = stream_open;
    io.zread_file = stream_read;
    io.zwrite_file = stream_write;
    io.ztell64_file = stream_tell;
    io.zseek64_file = stream_seek;
    io.zclose_file = stream_close;
    io.zerror_file = stream_error;
    io.opaque = &stream_;
    reader_.reset(unzOpen2_64("archive", &io));
    if (!reader_) {
      // The reader refuses an archive with no items, which the program
      // opens and counts as 0.
      uint8_t head[22];
      const size_t got =
          archive_.size() < sizeof head ? static_cast<size_t>(archive_.size()) : sizeof head;
      result_.opened = archive_.read(0, head, got) && isEmptyArchive(head, got, archive_.size());
      return std::move(result_);
    }
    result_.opened = true;
    unz_global_info64 global;
    if (unzGetGlobalInfo64(reader_.get(), &global) != UNZ_OK) {
      result_.opened = false;
      return std::move(result_);
    }
    uint64_t directory = archive_.size();
    centralDirectorySize(archive_.size(), read_at, &archive_, &directory);
    uint64_t count = global.number_entry;
    if (count > directory / kMinCentralRecord) count = directory / kMinCentralRecord;
    result_.items = count > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int32_t>(count);

    for (int32_t i = 0; i < result_.items && !result_.stopped; ++i) {
      const int step = i == 0 ? unzGoToFirstFile(reader_.get()) : unzGoToNextFile(reader_.get());
      if (step != UNZ_OK) {
        note(i, "",
             "the archive's directory ends or is damaged here: neither this item nor any "
             "later one is unpacked");
        break;
      }
      item(i);
    }
    return std::move(result_);
  }

 private:
  void note(int32_t index, const std::string& name, const std::string& what,
            bool loses_content = true) {
    result_.notes.push_back({index, name, what, loses_content});
  }

  // One item, as describeItem and extractItem take it.
  void item(int32_t index) {
    unz_file_info64 info;
    char raw[kNameBuffer];
    if (unzGetCurrentFileInfo64(reader_.get(), &info, raw, sizeof raw, nullptr, 0, nullptr, 0) !=
        UNZ_OK) {
      note(index, "", "its directory record cannot be read: not unpacked");
      return;
    }
    const size_t raw_length = info.size_filename < sizeof raw ? info.size_filename : sizeof raw;
    const std::string stored(raw, raw_length);
    if (info.size_filename >= kNameBuffer) {
      note(index, stored,
           "its name is 260 bytes or longer, which the program refuses: not unpacked");
      return;
    }
    if (info.compression_method != 0 && info.compression_method != 8) {
      note(index, stored,
           "compression method " + std::to_string(info.compression_method) +
               " is neither stored nor deflated: not unpacked");
      return;
    }
    if (unzOpenCurrentFile3(reader_.get(), nullptr, nullptr, 1, nullptr) != UNZ_OK) {
      unzCloseCurrentFile(reader_.get());
      note(index, stored, "its local header does not match its directory record: not unpacked");
      return;
    }
    // The program reads the local extra field (for the times) and skips an
    // item whose field runs past the end of the archive.
    const int extra = unzGetLocalExtrafield(reader_.get(), nullptr, 0);
    std::vector<uint8_t> field(extra > 0 ? static_cast<size_t>(extra) : 0);
    const bool field_read =
        extra >= 0 && (extra == 0 || unzGetLocalExtrafield(reader_.get(), field.data(),
                                                           static_cast<unsigned>(extra)) == extra);
    unzCloseCurrentFile(reader_.get());
    if (!field_read) {
      note(index, stored, "its local extra field cannot be read: not unpacked");
      return;
    }

    // The name as the program decodes and cleans it; a NUL ends it.
    std::u16string name = utf8_to_utf16(std::string(stored.c_str()));
    name.resize(cleanItemName(&name[0], name.size()));
    const std::string shown = utf16_to_utf8(name);
    if (!isContainedName(name.data(), name.size())) {
      note(index, stored,
           "its name could climb out of the runtime folder, which the program "
           "refuses: not unpacked");
      return;
    }
    const uint32_t attributes = decodeAttributes(static_cast<uint16_t>(info.version),
                                                 static_cast<uint32_t>(info.external_fa));
    if (name.size() > kMaxRuntimePathUnits) {
      note(index, shown,
           "its path is longer than " + std::to_string(kMaxRuntimePathUnits) +
               " characters: players whose %APPDATA% is long get no such file",
           false);
    }
    for (const std::u16string& part : folder_parts(name)) make_folder(part);
    if (attributes & kAttrDirectory) {
      if (!ends_in_separator(name)) make_folder(name);
      return;
    }
    if (ends_in_separator(name)) {
      if (info.uncompressed_size > 0) {
        note(index, shown,
             "its name ends in a separator but it is no folder item: the program "
             "makes the folders and not the file");
      }
      return;
    }
    create_file(index, name, shown, attributes, info);
  }

  void make_folder(const std::u16string& path) {
    const std::u16string key = path_key(path);
    if (files_.files.count(key) == 0) files_.folders.insert(key);
  }

  // CreateFileW with CREATE_ALWAYS and the item's attributes, then the
  // reader's content.
  void create_file(int32_t index, const std::u16string& name, const std::string& shown,
                   uint32_t attributes, const unz_file_info64& info) {
    // A trailing dot or space only renames a component (path_key follows
    // that); a device name or a forbidden character anywhere stops the file.
    for (size_t start = 0; start <= name.size();) {
      size_t end = start;
      while (end < name.size() && !isSeparator(name[end])) ++end;
      const std::u16string component = name.substr(start, end - start);
      const NameFault fault = component_fault(component);
      if (fault == NameFault::kDeviceName || fault == NameFault::kBadCharacter) {
        note(index, shown,
             "'" + utf16_to_utf8(component) + "' " + describe(fault) +
                 ": Windows makes no such file");
        return;
      }
      start = end + 1;
    }
    for (const std::u16string& part : folder_parts(name)) {
      if (files_.files.count(path_key(part))) {
        note(index, shown,
             "a file of an earlier item stands where its folder must be: not unpacked");
        return;
      }
    }
    const std::u16string key = path_key(name);
    if (files_.folders.count(key)) {
      note(index, shown, "a folder of that name exists already: not unpacked");
      return;
    }
    const auto existing = files_.files.find(key);
    if (existing != files_.files.end()) {
      const UnpackedFile& earlier = result_.files[existing->second];
      const uint32_t kept = earlier.attributes;
      const bool refused = (kept & kAttrReadOnly) ||
                           ((kept & kAttrHidden) && !(attributes & kAttrHidden)) ||
                           ((kept & kAttrSystem) && !(attributes & kAttrSystem));
      if (refused) {
        note(index, shown,
             "Windows takes it for '" + earlier.name +
                 "' of an earlier item, which it cannot replace (read-only, hidden or system): "
                 "not unpacked");
        return;
      }
      note(index, shown,
           "Windows takes it for '" + earlier.name +
               "' of an earlier item, which "
               "it replaces");
    }

    std::string problem;
    const bool complete = read_content(info, problem);
    if (!problem.empty()) note(index, shown, problem);
    if (!complete) return;
    if (content_.size() >= (uint64_t{1} << 31)) {
      note(index, shown, "it holds 2 GiB or more, which the program's check never matches");
    }
    UnpackedFile file;
    file.name = shown;
    file.attributes = attributes;
    file.size = content_.size();
    file.digest = digest_(content_.data(), content_.size());
    file.index = index;
    if (existing != files_.files.end()) {
      result_.files[existing->second] = std::move(file);
    } else {
      files_.files.emplace(key, result_.files.size());
      result_.files.push_back(std::move(file));
    }
  }

  // Fills content_ with what the program writes into the file. False when
  // the walk stopped at its limit; `problem` tells where the file differs
  // from the item.
  bool read_content(const unz_file_info64& info, std::string& problem) {
    content_.clear();
    const bool encrypted = (info.flag & 1u) != 0;
    if (unzOpenCurrentFile3(reader_.get(), nullptr, nullptr, 0, encrypted ? "" : nullptr) !=
        UNZ_OK) {
      unzCloseCurrentFile(reader_.get());
      problem = "its data cannot be opened: the program leaves an empty file";
      return true;
    }
    if (encrypted && !encryption_header_verifies(info)) {
      unzCloseCurrentFile(reader_.get());
      problem = "it is encrypted: the program leaves an empty file";
      return true;
    }
    if (encrypted) problem = "it is encrypted: the program deciphers it with an empty password";
    uint8_t chunk[kChunk];
    for (;;) {
      const int n = unzReadCurrentFile(reader_.get(), chunk, kChunk);
      if (n < 0) {
        unzCloseCurrentFile(reader_.get());
        problem = "its data is damaged: the program keeps the " + std::to_string(content_.size()) +
                  " bytes before the damage";
        return true;
      }
      if (n == 0) {
        if (info.compression_method != 8 && unzeof(reader_.get()) != 1) {
          unzCloseCurrentFile(reader_.get());
          problem = "its data ends early: the program keeps " + std::to_string(content_.size()) +
                    " bytes";
          return true;
        }
        break;
      }
      unpacked_ += static_cast<uint64_t>(n);
      if (unpacked_ > limit_) {
        unzCloseCurrentFile(reader_.get());
        result_.stopped = true;
        problem = "the archive unpacks to more than " + std::to_string(limit_) +
                  " bytes; the walk stopped here";
        return false;
      }
      content_.insert(content_.end(), chunk, chunk + n);
    }
    const int closed = unzCloseCurrentFile(reader_.get());
    if (closed == UNZ_CRCERROR) {
      problem = "its data does not match its CRC-32: the program keeps the damaged bytes";
    } else if (content_.size() != info.uncompressed_size && problem.empty()) {
      problem = "it yields " + std::to_string(content_.size()) + " bytes where it claims " +
                std::to_string(info.uncompressed_size);
    }
    return true;
  }

  bool encryption_header_verifies(const unz_file_info64& info) {
    const ZPOS64_T data = unzGetCurrentFileZStreamPos64(reader_.get());
    uint8_t header[12];
    if (data < sizeof header || !archive_.read(data - sizeof header, header, sizeof header)) {
      return false;
    }
    return vx_zip_empty_password_check(header) ==
           encryptionCheckByte(static_cast<uint16_t>(info.flag), static_cast<uint32_t>(info.crc),
                               static_cast<uint32_t>(info.dosDate));
  }

  ArchiveBytes& archive_;
  const ContentDigest& digest_;
  const uint64_t limit_;
  Stream stream_;
  std::unique_ptr<void, ReaderCloser> reader_;
  Unpacked result_;
  Folder files_;
  std::vector<uint8_t> content_;
  uint64_t unpacked_ = 0;
};

}  // namespace

Unpacked unpack_as_program(ArchiveBytes& archive, const ContentDigest& digest, uint64_t limit) {
  return Walk(archive, digest, limit).run();
}

}  // namespace zip
}  // namespace vx
