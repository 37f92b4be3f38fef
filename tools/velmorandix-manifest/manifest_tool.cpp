#include "tools/velmorandix-manifest/manifest_tool.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <system_error>

#include "tools/velmorandix-manifest/publish_command.h"
#include "tools/velmorandix-manifest/signing_commands.h"
#include "tools/velmorandix-manifest/tool_crypto.h"
#include "update/fingerprint.h"
#include "update/manifest_reader.h"

#ifdef _WIN32
#include <windows.h>
#else
#include "tools/velmorandix-manifest/check_site.h"
#endif

namespace fs = std::filesystem;

namespace vx {
namespace {

const char kHelp[] =
    "Usage: velmorandix-manifest publish --launcher JAR --java-dir FOLDER --java-path TEXT\n"
    "                            --run-args TEXT [--serial N] [--sign KEYFILE] -o SITE\n"
    "       velmorandix-manifest check-site URL [--keys LIST] [--cacert FILE | --insecure]\n"
    "       velmorandix-manifest --launcher JAR --java-dir FOLDER --java-zip ZIP\n"
    "                            --java-path TEXT --run-args TEXT [--serial N]\n"
    "                            [-o FILE [--sign KEYFILE]]\n"
    "       velmorandix-manifest keygen --private KEYFILE\n"
    "       velmorandix-manifest verify --keys LIST --manifest FILE --signature FILE\n"
    "\n"
    "Writes the update manifest that the Velmorandix bootstrapper expects from\n"
    "GET /updater?system=win64, with sizes, fingerprints and SHA-256 sums computed\n"
    "exactly as the bootstrapper computes them, and signs it for builds made with\n"
    "VELMORANDIX_UPDATE_KEYS.\n"
    "\n"
    "  --launcher JAR     the launcher jar served as /Velmorandix.jar\n"
    "  --java-dir FOLDER  the Java runtime unpacked from ZIP (every file below it\n"
    "                     counts, as it will on the player's machine)\n"
    "  --java-zip ZIP     the zipped runtime served as /bootstrap/java64.zip\n"
    "  --java-path TEXT   the Java executable; %java% stands for the runtime folder\n"
    "  --run-args TEXT    the launcher command line; %launcher% and %updater_path%\n"
    "                     are filled in by the bootstrapper\n"
    "  --serial N         the manifest's serial, 0 to 2147483647 (0 when left out);\n"
    "                     a signed build refuses a manifest whose serial is below\n"
    "                     the highest it has accepted, so raise it with every release\n"
    "  -o FILE            write the manifest to FILE instead of standard output\n"
    "  --sign KEYFILE     also write FILE.sig, served as /updater.sig: the base64\n"
    "                     ECDSA P-256 signature over the exact bytes of FILE, made\n"
    "                     with the PEM private key in KEYFILE\n"
    "  -h, --help         show this text\n"
    "\n"
    "publish ... -o SITE\n"
    "  Writes the whole site that the nginx configuration serves: SITE/Velmorandix.jar,\n"
    "  SITE/bootstrap/java64.zip and java32.zip (the same bytes), SITE/updater/win64.json\n"
    "  and, with --sign, SITE/updater/win64.json.sig. It zips FOLDER itself (deflated,\n"
    "  sorted by path, each file's time, read-only files kept read-only; the same inputs\n"
    "  give the same bytes, all but the signature, which ECDSA randomises) and unpacks\n"
    "  that zip as the program will before it writes the manifest; exit code 1 when it\n"
    "  does not give exactly FOLDER's files, or SITE cannot be written (nothing is put\n"
    "  in place then). Files are written under temporary names and renamed into place,\n"
    "  the manifest and its signature last. It ends with a table of each file, its size\n"
    "  and SHA-256, the serial and the key that signed it. It refuses, with exit code 2\n"
    "  and the offending path: links, junctions and reparse points; names Windows cannot\n"
    "  create as given (reserved device names such as aux or con.txt in any case, a\n"
    "  trailing dot or space, the characters <>:\"|?*\\ or control characters); two\n"
    "  names Windows takes for one (they differ only in letter case); a path below\n"
    "  FOLDER of more than 140 characters or 259 bytes (it must fit Windows' 259-\n"
    "  character paths below a player's %APPDATA%); a file of 2 GiB or more; with\n"
    "  --sign, a serial below that of the manifest SITE serves now.\n"
    "\n"
    "check-site URL [--keys LIST] [--cacert FILE | --insecure]   (native build only)\n"
    "  Fetches from one update server what a player's program would (its User-Agent,\n"
    "  system=win64) and prints one line per check, ok, warn or FAIL: the manifest\n"
    "  (200, JSON, complete); with --keys its signature and serial; the jar and\n"
    "  java64.zip (size, fingerprint, SHA-256 as the manifest says); java64.zip unpacked\n"
    "  in memory by the program's zip rules (the manifest's java size and folder\n"
    "  fingerprint, naming the first differing file where it can); java32.zip (the same\n"
    "  bytes); whether downloads can resume (206 to Range: bytes=1-, ETag or\n"
    "  Last-Modified). Exit codes: 0 a player would install and launch, 1 any FAIL,\n"
    "  2 bad options or the server cannot be reached. --cacert FILE trusts the\n"
    "  certificates in FILE; --insecure checks no certificate.\n"
    "\n"
    "keygen --private KEYFILE\n"
    "  Writes a new P-256 private key to KEYFILE (PKCS#8 PEM, readable by its owner\n"
    "  only; an existing file is never replaced) and prints its public key, the\n"
    "  line for VELMORANDIX_UPDATE_KEYS. Keep KEYFILE off the update servers.\n"
    "\n"
    "verify --keys LIST --manifest FILE --signature FILE\n"
    "  Checks a signature as the bootstrapper does. LIST is a VELMORANDIX_UPDATE_KEYS\n"
    "  value (keys separated by ';'). Prints which key verified it and the serial.\n"
    "\n"
    "The native (Linux) build uses OpenSSL and libcurl. The Windows build hashes and\n"
    "verifies through the system's CNG but cannot make keys, sign or check sites:\n"
    "keygen, --sign and check-site need the native build.\n"
    "\n"
    "Exit codes: 0 done (verify: the signature verifies), 1 the manifest, signature\n"
    "or key could not be written (verify: it does not verify), 2 bad options or\n"
    "input (a missing or unreadable file, a file of 2 GiB or more, a runtime of\n"
    "2 GiB or more in total, a text that is not UTF-8 within U+0000..U+FFFF, a\n"
    "malformed key or key file, a key file that exists already, a symbolic link\n"
    "or other reparse point below FOLDER or as JAR: the program on a player's\n"
    "machine gets real files only, so zip the runtime with links dereferenced).\n";

struct Options {
  std::optional<std::string> launcher;
  std::optional<std::string> java_dir;
  std::optional<std::string> java_zip;
  std::optional<std::string> java_path;
  std::optional<std::string> run_args;
  std::optional<std::string> output;
  std::optional<std::string> serial;
  std::optional<std::string> sign;
  bool help = false;
};

// Reads the options; a problem is told through `error`.
bool parse_options(const std::vector<std::string>& args, Options& options, std::string& error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help") {
      options.help = true;
      continue;
    }
    std::optional<std::string>* target = nullptr;
    if (arg == "--launcher") target = &options.launcher;
    if (arg == "--java-dir") target = &options.java_dir;
    if (arg == "--java-zip") target = &options.java_zip;
    if (arg == "--java-path") target = &options.java_path;
    if (arg == "--run-args") target = &options.run_args;
    if (arg == "-o") target = &options.output;
    if (arg == "--serial") target = &options.serial;
    if (arg == "--sign") target = &options.sign;
    if (target == nullptr) {
      error = "unknown option '" + arg + "'";
      return false;
    }
    if (i + 1 >= args.size()) {
      error = "option " + arg + " needs a value";
      return false;
    }
    if (target->has_value()) {
      error = "option " + arg + " given twice";
      return false;
    }
    *target = args[++i];
  }
  if (options.help) return true;
  const std::pair<const char*, const std::optional<std::string>*> required[] = {
      {"--launcher", &options.launcher}, {"--java-dir", &options.java_dir},
      {"--java-zip", &options.java_zip}, {"--java-path", &options.java_path},
      {"--run-args", &options.run_args},
  };
  for (const auto& option : required) {
    if (!option.second->has_value()) {
      error = std::string("missing ") + option.first;
      return false;
    }
  }
  if (options.sign && !options.output) {
    error = "--sign needs -o FILE (the signature goes to FILE.sig)";
    return false;
  }
  if (options.sign && !tool::can_sign()) {
    std::vector<uint8_t> ignored;
    tool::sign_bytes({}, {}, ignored, error);  // says why
    error = "--sign: " + error;
    return false;
  }
  if (options.serial && !parse_serial_option(*options.serial)) {
    error = "--serial must be a whole number from 0 to 2147483647";
    return false;
  }
  return true;
}

}  // namespace

bool is_bmp_text(const std::string& utf8) {
  std::wstring ignored;
  return utf8_to_wide_checked(utf8, ignored);
}

bool is_link(const fs::path& path) {
#ifdef _WIN32
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
#else
  std::error_code ec;
  return fs::is_symlink(fs::symlink_status(path, ec));
#endif
}

std::string link_refused(const std::string& name, const fs::path& path, const char* fix) {
  return name + ": '" + path.u8string() +
         "' is a symbolic link, junction or other reparse point, which the bootstrapper "
         "cannot reproduce; " +
         fix;
}

bool read_item(const std::string& name, const std::string& path_text, Item& item,
               std::string& error) {
  const fs::path path = fs::u8path(path_text);
  std::error_code ec;
  if (name == "--launcher" && is_link(path)) {
    error = link_refused(name, path,
                         "give the jar file itself (copy it with links dereferenced, e.g. cp -L)");
    return false;
  }
  if (!fs::is_regular_file(path, ec)) {
    error = name + ": '" + path_text + "' is not an existing file";
    return false;
  }
  item.size = file_size_of(path);
  if (item.size < 0) {
    error = name + ": '" + path_text + "' cannot be read or holds 2 GiB or more";
    return false;
  }
  item.hash = file_fingerprint_of(path);
  const std::optional<Sha256Digest> sha256 = tool::sha256_file(path);
  if (!sha256) {
    error = name + ": '" + path_text + "' cannot be read";
    return false;
  }
  item.sha256 = sha256_hex(*sha256);
  return true;
}

namespace {

// Every file below `root`, as the bootstrapper's search finds them after the
// runtime is unpacked: all entries that are not folders, at any depth. Any
// link below the root is refused (the root itself may be one).
bool list_runtime_files(const fs::path& root, std::vector<fs::path>& files, std::string& error) {
  std::vector<fs::path> folders{root};
  while (!folders.empty()) {
    const fs::path folder = folders.back();
    folders.pop_back();
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    const fs::directory_iterator end;
    for (; !ec && it != end; it.increment(ec)) {
      const fs::path entry = it->path();
      if (is_link(entry)) {
        error = link_refused("--java-dir", entry,
                             "zip the runtime with links dereferenced (zip -r without -y), "
                             "unpack it with a tool that makes real files and give that folder");
        return false;
      }
      std::error_code status_ec;
      const fs::file_status status = fs::status(entry, status_ec);
      if (fs::is_directory(status)) {
        folders.push_back(entry);
      } else if (fs::is_regular_file(status)) {
        files.push_back(entry);
      } else {
        error = "--java-dir: '" + entry.u8string() +
                "' is neither a regular file nor a folder (a device, pipe or socket)";
        return false;
      }
    }
    if (ec) {
      error = "--java-dir: cannot list '" + folder.u8string() + "'";
      return false;
    }
  }
  return true;
}

bool read_runtime(const std::string& path_text, Item& item, std::string& error) {
  const fs::path root = fs::u8path(path_text);
  std::error_code ec;
  if (!fs::is_directory(root, ec)) {
    error = "--java-dir: '" + path_text + "' is not an existing folder";
    return false;
  }
  std::vector<fs::path> files;
  if (!list_runtime_files(root, files, error)) return false;
  for (const fs::path& file : files) {
    if (file_size_of(file) < 0) {
      error = "--java-dir: '" + file.u8string() + "' cannot be read or holds 2 GiB or more";
      return false;
    }
  }
  const FolderDigest digest = digest_folder_files(files);
  if (!digest.sizes_match) {
    error = "--java-dir: the files hold 2 GiB or more in total";
    return false;
  }
  item.hash = digest.fingerprint;
  item.size = static_cast<int32_t>(digest.total_size);
  return true;
}

std::string item_json(const Item& item) {
  std::string json =
      "{\"hash\": " + json_quote(item.hash) + ", \"size\": " + std::to_string(item.size);
  if (!item.sha256.empty()) json += ", \"sha256\": " + json_quote(item.sha256);
  return json + "}";
}

}  // namespace

std::string manifest_json(const std::optional<uint32_t>& serial, const Item& launcher,
                          const Item& java, const Item& java_zip, const std::string& java_path,
                          const std::string& run_args) {
  std::ostringstream json;
  json << "{\n";
  if (serial) json << "  \"serial\": " << *serial << ",\n";
  json << "  \"launcher\": " << item_json(launcher) << ",\n"
       << "  \"java\": " << item_json(java) << ",\n"
       << "  \"java_zip\": " << item_json(java_zip) << ",\n"
       << "  \"java_path\": " << json_quote(java_path) << ",\n"
       << "  \"run_args\": " << json_quote(run_args) << "\n"
       << "}\n";
  return json.str();
}

namespace {

// Writes `content` to the file; false when it could not be written in full.
bool write_file(const std::string& path_text, const std::string& content) {
  std::ofstream file(fs::u8path(path_text), std::ios::binary | std::ios::trunc);
  file << content;
  file.flush();
  return file.good();
}

}  // namespace

std::string json_quote(const std::string& utf8) {
  static const char kHex[] = "0123456789abcdef";
  std::string quoted = "\"";
  for (const char c : utf8) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (byte < 0x20) {
      quoted += "\\u00";
      quoted += kHex[byte >> 4];
      quoted += kHex[byte & 0xF];
    } else {
      quoted += c;
    }
  }
  quoted += '"';
  return quoted;
}

int run_manifest_tool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (!args.empty() && (args[0] == "keygen" || args[0] == "verify" || args[0] == "publish" ||
                        args[0] == "check-site")) {
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (args[0] == "keygen") return run_keygen(rest, out, err);
    if (args[0] == "verify") return run_verify(rest, out, err);
    if (args[0] == "publish") return run_publish(rest, out, err);
#ifdef _WIN32
    err << "velmorandix-manifest: check-site needs the native (Linux) build, which fetches "
           "over libcurl\n";
    return kToolBadInput;
#else
    return run_check_site(rest, out, err);
#endif
  }
  Options options;
  std::string error;
  if (!parse_options(args, options, error)) {
    err << "velmorandix-manifest: " << error << "\n(try --help)\n";
    return kToolBadInput;
  }
  if (options.help) {
    out << kHelp;
    return kToolOk;
  }
  for (const std::string* text : {&*options.java_path, &*options.run_args}) {
    if (!is_bmp_text(*text)) {
      err << "velmorandix-manifest: --java-path and --run-args must be UTF-8 text without "
             "characters beyond U+FFFF\n";
      return kToolBadInput;
    }
  }

  Item launcher;
  Item java;
  Item java_zip;
  if (!read_item("--launcher", *options.launcher, launcher, error) ||
      !read_runtime(*options.java_dir, java, error) ||
      !read_item("--java-zip", *options.java_zip, java_zip, error)) {
    err << "velmorandix-manifest: " << error << "\n";
    return kToolBadInput;
  }

  std::ostringstream json;
  json << manifest_json(options.serial ? parse_serial_option(*options.serial) : std::nullopt,
                        launcher, java, java_zip, *options.java_path, *options.run_args);

  if (options.output) {
    // The signature is made before anything is written, so that a key that
    // cannot be used leaves the files of the last run as they were.
    std::string signature;
    if (options.sign &&
        !signature_file_text(fs::u8path(*options.sign), json.str(), signature, error)) {
      err << "velmorandix-manifest: --sign: " << error << "\n";
      return kToolBadInput;
    }
    if (!write_file(*options.output, json.str())) {
      err << "velmorandix-manifest: cannot write '" << *options.output << "'\n";
      return kToolOutputFailed;
    }
    if (options.sign && !write_file(*options.output + ".sig", signature)) {
      err << "velmorandix-manifest: cannot write '" << *options.output << ".sig'\n";
      return kToolOutputFailed;
    }
    return kToolOk;
  }
  out << json.str();
  out.flush();
  if (!out.good()) {
    err << "velmorandix-manifest: cannot write the manifest to standard output\n";
    return kToolOutputFailed;
  }
  return kToolOk;
}

}  // namespace vx
