#include "tools/velmorandix-manifest/publish_command.h"

#include <algorithm>
#include <fstream>
#include <iomanip>
#include <map>
#include <optional>
#include <sstream>
#include <system_error>

#include "archive/windows_names.h"
#include "archive/zip_rules.h"
#include "archive/zip_walk.h"
#include "archive/zip_writer.h"
#include "base/utf8.h"
#include "tools/velmorandix-manifest/manifest_tool.h"
#include "tools/velmorandix-manifest/signing_commands.h"
#include "tools/velmorandix-manifest/tool_crypto.h"
#include "tools/velmorandix-manifest/tool_files.h"
#include "update/fingerprint.h"
#include "update/manifest_reader.h"

namespace fs = std::filesystem;

namespace vx {
namespace {

const char kLinkFix[] =
    "replace it by what it points to (copy the runtime with links dereferenced, e.g. cp -rL)";

struct Options {
  std::map<std::string, std::string> values;
  bool has(const char* name) const { return values.count(name) != 0; }
  const std::string& operator[](const char* name) const { return values.at(name); }
};

// A file or folder of the runtime, as it goes into the zip.
struct RuntimeEntry {
  fs::path path;
  std::string name;  // UTF-8, '/' between components, a folder's ending in '/'
  bool folder = false;
  bool read_only = false;
  int64_t modified = 0;
  int32_t size = 0;
  std::string fingerprint;
};

struct Failure {
  int code;
  std::string message;
};

bool parse(const std::vector<std::string>& args, Options& options, std::string& error) {
  static const char* const kNames[] = {"--launcher", "--java-dir", "--java-path", "--run-args",
                                       "--serial",   "--sign",     "-o"};
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& name = args[i];
    if (std::find(std::begin(kNames), std::end(kNames), name) == std::end(kNames)) {
      error = "unknown option '" + name + "'";
      return false;
    }
    if (i + 1 >= args.size()) {
      error = "option " + name + " needs a value";
      return false;
    }
    if (!options.values.emplace(name, args[++i]).second) {
      error = "option " + name + " given twice";
      return false;
    }
  }
  for (const char* name : {"--launcher", "--java-dir", "--java-path", "--run-args", "-o"}) {
    if (!options.has(name)) {
      error = std::string("missing ") + name;
      return false;
    }
  }
  if (options.has("--serial") && !parse_serial_option(options["--serial"])) {
    error = "--serial must be a whole number from 0 to 2147483647";
    return false;
  }
  if (options.has("--sign") && !tool::can_sign()) {
    std::vector<uint8_t> ignored;
    tool::sign_bytes({}, {}, ignored, error);  // says why
    error = "--sign: " + error;
    return false;
  }
  for (const char* name : {"--java-path", "--run-args"}) {
    if (!is_bmp_text(options[name])) {
      error = std::string(name) + " must be UTF-8 text without characters beyond U+FFFF";
      return false;
    }
  }
  return true;
}

std::optional<Failure> refuse(const std::string& message) {
  return Failure{kToolBadInput, "--java-dir: " + message};
}

// The checks on one name: what the program can create on Windows, as named.
std::optional<Failure> check_name(const RuntimeEntry& entry, const fs::path& relative) {
  const std::string quoted = "'" + entry.path.u8string() + "'";
  bool valid = false;
  std::string bare = entry.name;
  if (entry.folder) bare.pop_back();
  const std::u16string units = utf8_to_utf16(bare, &valid);
  if (!valid) return refuse(quoted + ": the name is not UTF-8, so Windows would show another one");
  // Component by component as the folder names them: a backslash inside a
  // Linux name would be a separator on Windows.
  for (const fs::path& part : relative) {
    const std::u16string component = utf8_to_utf16(part.u8string());
    const zip::NameFault fault = zip::component_fault(component);
    if (fault != zip::NameFault::kNone) {
      return refuse(quoted + ": '" + part.u8string() + "' " + zip::describe(fault) + "; rename it");
    }
  }
  if (units.size() > zip::kMaxRuntimePathUnits || entry.name.size() > zip::kMaxItemNameBytes) {
    return refuse(quoted + ": its path below the runtime folder has " +
                  std::to_string(units.size()) + " characters (" +
                  std::to_string(entry.name.size()) + " bytes); the program takes at most " +
                  std::to_string(zip::kMaxRuntimePathUnits) + " characters and " +
                  std::to_string(zip::kMaxItemNameBytes) +
                  " bytes, so that it fits Windows' 259-character paths below %APPDATA%");
  }
  return std::nullopt;
}

// Every file and folder below `root`, sorted by name, each one checked.
std::optional<Failure> scan_runtime(const fs::path& root, std::vector<RuntimeEntry>& entries) {
  std::error_code ec;
  if (!fs::is_directory(root, ec))
    return refuse("'" + root.u8string() + "' is not an existing folder");
  std::vector<fs::path> folders{root};
  while (!folders.empty()) {
    const fs::path folder = folders.back();
    folders.pop_back();
    fs::directory_iterator it(folder, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
      RuntimeEntry entry;
      entry.path = it->path();
      if (is_link(entry.path))
        return Failure{kToolBadInput, link_refused("--java-dir", entry.path, kLinkFix)};
      const fs::file_status status = fs::status(entry.path, ec);
      entry.folder = fs::is_directory(status);
      if (!entry.folder && !fs::is_regular_file(status)) {
        return refuse("'" + entry.path.u8string() +
                      "' is neither a regular file nor a folder (a device, pipe or socket)");
      }
      const fs::path relative = entry.path.lexically_relative(root);
      std::string name;
      for (const fs::path& part : relative) {
        name += (name.empty() ? "" : "/") + part.u8string();
      }
      entry.name = entry.folder ? name + "/" : name;
      entry.read_only = (status.permissions() & fs::perms::owner_write) == fs::perms::none;
      const std::optional<int64_t> modified = tool::modified_time(entry.path);
      if (!modified) return refuse("cannot read the time of '" + entry.path.u8string() + "'");
      entry.modified = *modified;
      if (std::optional<Failure> failure = check_name(entry, relative)) return failure;
      if (entry.folder) {
        folders.push_back(entry.path);
      } else {
        const uint64_t size = fs::file_size(entry.path, ec);
        if (!ec && size >= (uint64_t{1} << 31)) {
          return refuse("'" + entry.path.u8string() +
                        "' holds 2 GiB or more, which the program's sizes cannot count");
        }
        entry.size = file_size_of(entry.path);
        if (ec || entry.size < 0) return refuse("cannot read '" + entry.path.u8string() + "'");
      }
      entries.push_back(std::move(entry));
    }
    if (ec) return refuse("cannot list '" + folder.u8string() + "'");
  }
  std::sort(entries.begin(), entries.end(),
            [](const RuntimeEntry& a, const RuntimeEntry& b) { return a.name < b.name; });
  // Windows takes names that differ only in letter case, or in trailing
  // dots and spaces, for one file: one of them would silently be lost.
  std::map<std::u16string, const RuntimeEntry*> keys;
  for (const RuntimeEntry& entry : entries) {
    const auto placed = keys.emplace(zip::path_key(utf8_to_utf16(entry.name)), &entry);
    if (!placed.second) {
      return refuse("'" + placed.first->second->path.u8string() + "' and '" +
                    entry.path.u8string() +
                    "' are one file on Windows, whose names ignore letter case; rename one");
    }
  }
  return std::nullopt;
}

// Removes the temporary files of an unfinished publish.
struct Partials {
  std::vector<fs::path> paths;
  bool keep = false;
  ~Partials() {
    if (keep) return;
    std::error_code ec;
    for (const fs::path& path : paths) fs::remove(path, ec);
  }
  fs::path add(const fs::path& final_path) {
    paths.push_back(fs::path(final_path).concat(".partial"));
    return paths.back();
  }
};

bool write_text(const fs::path& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  file.flush();
  return file.good();
}

// The first difference between what the program unpacks and the folder.
std::optional<std::string> unpack_difference(const zip::Unpacked& unpacked,
                                             const std::vector<RuntimeEntry>& entries) {
  if (!unpacked.opened) return "the program cannot open it";
  if (!unpacked.notes.empty()) {
    const zip::ItemNote& note = unpacked.notes.front();
    return "'" + note.name + "': " + note.what;
  }
  std::map<std::string, const zip::UnpackedFile*> made;
  for (const zip::UnpackedFile& file : unpacked.files) made.emplace(file.name, &file);
  size_t files = 0;
  for (const RuntimeEntry& entry : entries) {
    if (entry.folder) continue;
    ++files;
    const auto found = made.find(entry.name);
    if (found == made.end()) return "'" + entry.name + "' is missing";
    const zip::UnpackedFile& file = *found->second;
    if (file.size != static_cast<uint64_t>(entry.size) || file.digest != entry.fingerprint) {
      return "'" + entry.name + "' differs from the file in the folder (did it change meanwhile?)";
    }
    if (((file.attributes & zip::kAttrReadOnly) != 0) != entry.read_only) {
      return "'" + entry.name + "' does not keep its read-only attribute";
    }
  }
  if (made.size() != files) return "it holds files the folder does not";
  return std::nullopt;
}

std::string sha256_text(const fs::path& path) {
  const std::optional<Sha256Digest> digest = tool::sha256_file(path);
  return digest ? sha256_hex(*digest) : std::string();
}

// The serial of the manifest that SITE serves now, if it has one.
std::optional<uint32_t> served_serial(const fs::path& manifest) {
  std::ifstream in(manifest, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  const ManifestReading reading = read_manifest(text.str());
  if (reading.parse != ManifestParse::kParsed) return std::nullopt;
  return reading.serial;
}

// Whether `inner` is `outer` or lies below it.
bool is_within(const fs::path& inner, const fs::path& outer) {
  const fs::path relative = inner.lexically_relative(outer);
  return !relative.empty() && *relative.begin() != "..";
}

int fail(std::ostream& err, const Failure& failure) {
  err << "velmorandix-manifest: publish: " << failure.message << "\n";
  return failure.code;
}

}  // namespace

int run_publish(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  Options options;
  std::string error;
  if (!parse(args, options, error)) {
    err << "velmorandix-manifest: publish: " << error << "\n(try --help)\n";
    return kToolBadInput;
  }
  const fs::path site = fs::u8path(options["-o"]);
  const fs::path runtime = fs::u8path(options["--java-dir"]);
  const std::optional<uint32_t> serial =
      options.has("--serial") ? parse_serial_option(options["--serial"]) : std::nullopt;

  Item launcher;
  if (!read_item("--launcher", options["--launcher"], launcher, error)) {
    return fail(err, {kToolBadInput, error});
  }
  std::vector<RuntimeEntry> entries;
  if (std::optional<Failure> failure = scan_runtime(runtime, entries)) return fail(err, *failure);
  std::error_code ec;
  if (is_within(fs::weakly_canonical(site, ec), fs::weakly_canonical(runtime, ec)) && !ec) {
    return fail(err, {kToolBadInput, "-o: '" + site.u8string() + "' lies inside --java-dir"});
  }

  // The runtime as the program's check will see it on the player's machine.
  std::vector<std::string> fingerprints;
  int64_t total = 0;
  ReadBuffer buffer;
  for (RuntimeEntry& entry : entries) {
    if (entry.folder) continue;
    entry.fingerprint = file_fingerprint_of(entry.path, buffer);
    fingerprints.push_back(entry.fingerprint);
    total += entry.size;
  }
  if (total >= (int64_t{1} << 31)) {
    return fail(err, {kToolBadInput,
                      "--java-dir: the files hold 2 GiB or more in total, which "
                      "the program's sizes cannot count"});
  }
  Item java;
  java.hash = folder_fingerprint_of(fingerprints);
  java.size = static_cast<int32_t>(total);

  const fs::path manifest_path = site / "updater" / "win64.json";
  const fs::path signature_path = site / "updater" / "win64.json.sig";
  const fs::path jar_path = site / "Velmorandix.jar";
  const fs::path zip64_path = site / "bootstrap" / "java64.zip";
  const fs::path zip32_path = site / "bootstrap" / "java32.zip";
  if (options.has("--sign")) {
    const std::optional<uint32_t> served = served_serial(manifest_path);
    if (served && *served > serial.value_or(0)) {
      return fail(err,
                  {kToolBadInput,
                   "--serial " + std::to_string(serial.value_or(0)) + " is below the serial " +
                       std::to_string(*served) + " of the manifest '" + manifest_path.u8string() +
                       "' serves now; signed programs that took that one would refuse this "
                       "release (raise the serial with every release)"});
    }
  }
  fs::create_directories(site / "updater", ec);
  fs::create_directories(site / "bootstrap", ec);
  if (ec)
    return fail(err, {kToolOutputFailed, "cannot make the folders of '" + site.u8string() + "'"});

  // Everything goes under a temporary name first; nothing is put in place
  // before the whole release has been written and checked.
  Partials partials;
  const fs::path jar_partial = partials.add(jar_path);
  const fs::path zip64_partial = partials.add(zip64_path);
  const fs::path zip32_partial = partials.add(zip32_path);
  const fs::path manifest_partial = partials.add(manifest_path);
  const fs::path signature_partial = partials.add(signature_path);

  fs::copy_file(fs::u8path(options["--launcher"]), jar_partial,
                fs::copy_options::overwrite_existing, ec);
  // The manifest describes the copy that is served, whatever the source does meanwhile.
  if (ec || !read_item("--launcher", jar_partial.u8string(), launcher, error)) {
    return fail(err, {kToolOutputFailed, "cannot write '" + jar_partial.u8string() + "'"});
  }

  std::vector<zip::WriterEntry> zip_entries;
  for (const RuntimeEntry& entry : entries) {
    zip_entries.push_back(
        {entry.name, entry.folder ? fs::path() : entry.path, entry.modified, entry.read_only});
  }
  if (!zip::write_archive(zip64_partial, zip_entries, error)) {
    return fail(err, {kToolOutputFailed, error});
  }
  // Read the zip back as the program will unpack it on the player's machine.
  {
    zip::FileBytes bytes(zip64_partial);
    const zip::Unpacked unpacked = zip::unpack_as_program(
        bytes, [](const uint8_t* data, size_t size) { return fingerprint_of(data, size); },
        static_cast<uint64_t>(total));
    if (const std::optional<std::string> difference = unpack_difference(unpacked, entries)) {
      return fail(err, {kToolOutputFailed,
                        "the zip written does not unpack to the runtime folder "
                        "as the program unpacks it: " +
                            *difference + "; nothing was published"});
    }
  }
  fs::copy_file(zip64_partial, zip32_partial, fs::copy_options::overwrite_existing, ec);
  Item java_zip;
  if (ec || !read_item("java64.zip", zip64_partial.u8string(), java_zip, error) ||
      sha256_text(zip32_partial) != java_zip.sha256) {
    return fail(err, {kToolOutputFailed, "cannot write '" + zip32_partial.u8string() + "'"});
  }

  const std::string manifest = manifest_json(serial, launcher, java, java_zip,
                                             options["--java-path"], options["--run-args"]);
  std::string signature;
  EcP256PublicKey signer;
  if (options.has("--sign") &&
      !signature_file_text(fs::u8path(options["--sign"]), manifest, signature, error, &signer)) {
    return fail(err, {kToolBadInput, "--sign: " + error});
  }
  if (!write_text(manifest_partial, manifest) ||
      (options.has("--sign") && !write_text(signature_partial, signature))) {
    return fail(err, {kToolOutputFailed, "cannot write below '" + site.u8string() + "'"});
  }
  for (const fs::path& path : partials.paths) {
    if (fs::exists(path, ec) && !tool::sync_file(path)) {
      return fail(err, {kToolOutputFailed, "cannot write '" + path.u8string() + "'"});
    }
  }

  // In place: the downloads first, then the manifest that points at them,
  // then its signature.
  std::vector<std::pair<fs::path, fs::path>> moves = {{jar_partial, jar_path},
                                                      {zip64_partial, zip64_path},
                                                      {zip32_partial, zip32_path},
                                                      {manifest_partial, manifest_path}};
  if (options.has("--sign")) moves.emplace_back(signature_partial, signature_path);
  for (const auto& move : moves) {
    if (!tool::replace_file(move.first, move.second)) {
      return fail(err, {kToolOutputFailed, "cannot put '" + move.second.u8string() +
                                               "' in place; the files before it are published, "
                                               "the manifest is not"});
    }
  }
  partials.keep = true;
  bool removed_old_signature = false;
  if (!options.has("--sign") && fs::exists(signature_path, ec)) {
    // A signature of an earlier manifest would only make signed programs
    // refuse this one.
    removed_old_signature = fs::remove(signature_path, ec);
  }
  std::error_code ignored;
  fs::remove(signature_partial, ignored);

  const std::pair<const char*, fs::path> table[] = {{"Velmorandix.jar", jar_path},
                                                    {"bootstrap/java64.zip", zip64_path},
                                                    {"bootstrap/java32.zip", zip32_path},
                                                    {"updater/win64.json", manifest_path},
                                                    {"updater/win64.json.sig", signature_path}};
  std::ostringstream report;
  report << "published " << site.u8string() << "\n"
         << std::left << std::setw(24) << "file" << std::right << std::setw(12) << "bytes"
         << "  SHA-256\n";
  for (const auto& row : table) {
    if (!fs::exists(row.second, ec)) continue;
    report << std::left << std::setw(24) << row.first << std::right << std::setw(12)
           << fs::file_size(row.second, ec) << "  " << sha256_text(row.second) << "\n";
  }
  size_t file_count = 0;
  for (const RuntimeEntry& entry : entries) file_count += entry.folder ? 0 : 1;
  report << "runtime: " << file_count << " files, " << java.size << " bytes, folder fingerprint "
         << java.hash << ", as the program unpacks java64.zip\n"
         << "serial: " << (serial ? std::to_string(*serial) : "none (0)") << "\n"
         << "signed: "
         << (options.has("--sign") ? "with the key " + public_key_line(signer)
                                   : std::string("no (unsigned)"))
         << "\n";
  if (removed_old_signature) {
    report << "removed the old updater/win64.json.sig, which signed an earlier manifest\n";
  }
  out << report.str();
  out.flush();
  return kToolOk;
}

}  // namespace vx
