#include "tools/velmorandix-manifest/check_site.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/zip_walk.h"
#include "base/utf8.h"
#include "net/http_headers.h"
#include "net/http_sink.h"
#include "tools/velmorandix-manifest/manifest_tool.h"
#include "tools/velmorandix-manifest/signing_commands.h"
#include "tools/velmorandix-manifest/tool_crypto.h"
#include "update/fingerprint.h"
#include "update/manifest_reader.h"

namespace vx {
namespace {

// Limits for what the manifest gives no size for.
constexpr size_t kMaxManifestBytes = 1 << 20;
constexpr size_t kRangeProbeBytes = 64 * 1024;

struct Reply {
  bool reached = false;  // an HTTP reply came, whatever its status
  std::string error;     // why none came
  long status = 0;
  std::string body;
  bool over_limit = false;  // more than the limit was on its way; body holds at most the limit
  std::map<std::string, std::string> headers;  // names in lower case, the last value
  std::string raw_headers;  // the status line and header lines, each ended by CR LF, as sent
};

struct Transfer {
  Reply* reply;
  CURL* curl;
  size_t limit;
  bool check_length;  // refuse a Content-Length above the limit before any body byte
};

size_t on_body(char* data, size_t size, size_t count, void* context) {
  Transfer* t = static_cast<Transfer*>(context);
  const size_t length = size * count;
  curl_off_t announced = -1;
  if (t->check_length &&
      curl_easy_getinfo(t->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK &&
      announced > static_cast<curl_off_t>(t->limit)) {
    t->reply->over_limit = true;
    return 0;
  }
  const size_t room = t->limit - t->reply->body.size();
  t->reply->body.append(data, std::min(room, length));
  if (length > room) {
    t->reply->over_limit = true;
    return 0;  // ends the transfer: nothing beyond the limit is read
  }
  return length;
}

size_t on_header(char* data, size_t size, size_t count, void* context) {
  Reply* reply = static_cast<Reply*>(context);
  const std::string line(data, size * count);
  if (line.rfind("HTTP/", 0) == 0) {
    reply->headers.clear();  // a new reply after a redirect
    reply->raw_headers.clear();
  }
  reply->raw_headers += line;
  if (const size_t colon = line.find(':'); colon != std::string::npos) {
    std::string name = line.substr(0, colon);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::string value = line.substr(colon + 1);
    const size_t first = value.find_first_not_of(" \t");
    const size_t last = value.find_last_not_of(" \t\r\n");
    reply->headers[name] = first == std::string::npos ? "" : value.substr(first, last - first + 1);
  }
  return size * count;
}

class Site {
 public:
  Site(std::string base, std::string cacert, bool insecure)
      : base_(std::move(base)), cacert_(std::move(cacert)), insecure_(insecure) {}

  std::string url(const std::string& path) const { return base_ + path; }

  // GET `path`, keeping at most `limit` body bytes. With a range, only that
  // part is asked for and a body longer than the limit is simply cut.
  Reply get(const std::string& path, size_t limit, const char* range = nullptr) const {
    Reply reply;
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl) {
      reply.error = "libcurl cannot start";
      return reply;
    }
    Transfer transfer{&reply, curl.get(), limit, range == nullptr};
    const std::string target = url(path);
    char message[CURL_ERROR_SIZE] = {};
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, target.c_str());
    curl_easy_setopt(c, CURLOPT_USERAGENT, http::kUserAgent);
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    // The program's own connect time-out, and a stall of 30 s ends a transfer.
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 60L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, 30L);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, message);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &reply);
    if (!cacert_.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, cacert_.c_str());
    if (insecure_) {
      curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
      curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    if (range) curl_easy_setopt(c, CURLOPT_RANGE, range);
    const CURLcode code = curl_easy_perform(c);
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &reply.status);
    reply.reached = reply.status != 0;
    // Ending the transfer at the limit is no fault of the server's.
    if (code != CURLE_OK && !(code == CURLE_WRITE_ERROR && reply.over_limit)) {
      reply.error = message[0] ? message : curl_easy_strerror(code);
    }
    return reply;
  }

 private:
  std::string base_;
  std::string cacert_;
  bool insecure_;
};

class Report {
 public:
  explicit Report(std::ostream& out) : out_(out) {}
  void ok(const std::string& what, const std::string& found) { line("ok  ", what, found, ok_); }
  void warn(const std::string& what, const std::string& found) { line("warn", what, found, warn_); }
  void fail(const std::string& what, const std::string& found) { line("FAIL", what, found, fail_); }
  int failures() const { return fail_; }
  void finish() {
    out_ << "check-site: " << ok_ << " ok, " << warn_ << " warn, " << fail_ << " FAIL: "
         << (fail_ ? "players would not end up current" : "a player would install and launch")
         << "\n";
    out_.flush();
  }

 private:
  void line(const char* tag, const std::string& what, const std::string& found, int& count) {
    out_ << tag << " " << what << ": " << found << "\n";
    out_.flush();
    ++count;
  }
  std::ostream& out_;
  int ok_ = 0;
  int warn_ = 0;
  int fail_ = 0;
};

std::string sha256_of_text(const std::string& bytes) {
  const std::optional<Sha256Digest> digest = tool::sha256_bytes(bytes);
  return digest ? sha256_hex(*digest) : std::string();
}

std::string narrow(const std::optional<std::wstring>& text) {
  return text ? wide_to_utf8(*text) : std::string();
}

// What is wrong with a reply that should be a whole 200, or empty.
std::string reply_problem(const Reply& reply) {
  if (!reply.reached) return "no reply: " + reply.error;
  if (reply.status != 200) return "status " + std::to_string(reply.status) + ", not 200";
  if (!reply.error.empty()) return "the reply broke off: " + reply.error;
  return std::string();
}

// The values the manifest lacks, by their keys.
std::string missing_values(const ManifestReading& reading) {
  std::string missing;
  const auto add = [&missing](bool present, const char* key) {
    if (!present) missing += std::string(missing.empty() ? "" : ", ") + key;
  };
  const std::pair<const ManifestItem*, const char*> items[] = {
      {&reading.launcher, "launcher"}, {&reading.java, "java"}, {&reading.java_zip, "java_zip"}};
  for (const auto& item : items) {
    add(item.first->hash.has_value(), (std::string(item.second) + "/hash").c_str());
    add(item.first->size.has_value(), (std::string(item.second) + "/size").c_str());
  }
  add(reading.java_path.has_value(), "java_path");
  add(reading.run_args.has_value(), "run_args");
  return missing;
}

// The reply's header block as the program's HTTP client holds it.
std::wstring program_headers(const Reply& reply) { return utf8_to_wide(reply.raw_headers); }

// Whether the program decodes the reply as UTF-8: the charset its client
// reads from the header block.
bool declares_utf8(const Reply& reply) {
  http::HeaderFields fields;
  http::readHeaderFields(program_headers(reply), false, fields);
  return http::charsetIsUtf8(fields.charset);
}

// Whether the program could continue a download of `path`: the validator it
// would keep from the whole reply, and a 206 to Range: bytes=1- that it would
// append and that carries the file's own bytes.
void check_resume(Report& report, const Site& site, const std::string& what,
                  const std::string& path, const Reply& whole) {
  if (whole.body.size() < 2) return;
  const http::BodyFacts facts = http::readBodyFacts(L"200", program_headers(whole));
  const std::wstring validator = http::validatorOf(facts);
  const Reply part = site.get(path, kRangeProbeBytes, "1-");
  const http::BodyFacts part_facts =
      http::readBodyFacts(std::to_wstring(part.status), program_headers(part));
  if (!part.reached || part.status != 206 ||
      http::classifyBodyStart(part_facts, 1, whole.body.size()) != http::BodyStart::Continue) {
    report.warn(what, "downloads cannot resume: Range: bytes=1- is answered with " +
                          (part.reached ? "status " + std::to_string(part.status) : part.error) +
                          (part.status == 206 ? " and a range the program does not continue"
                                              : ", not 206"));
  } else if (whole.body.compare(1, part.body.size(), part.body) != 0 || part.body.empty()) {
    report.fail(what,
                "Range: bytes=1- is answered with 206 but other bytes than the file's: a "
                "resumed download would be damaged");
  } else if (validator.empty()) {
    report.warn(what,
                "downloads cannot resume: the reply has neither a strong ETag nor "
                "Last-Modified");
  } else {
    report.ok(what, std::string("downloads can resume (206 to Range: bytes=1-, ") +
                        (validator == facts.etag ? "ETag" : "Last-Modified") + ")");
  }
}

// Fetches a file the manifest describes with `size`, bounded by it. Returns
// the reply when it is a 200 of exactly that size; reports a FAIL otherwise.
std::optional<Reply> fetch_file(Report& report, const Site& site, const std::string& what,
                                const std::string& path, const std::optional<int32_t>& size) {
  if (!size || *size < 0) {
    report.fail(what, "not checked: the manifest gives it no size");
    return std::nullopt;
  }
  Reply reply = site.get(path, static_cast<size_t>(*size));
  if (reply.reached && reply.status == 200 && reply.over_limit) {
    report.fail(what, "more than the " + std::to_string(*size) + " bytes the manifest says");
    return std::nullopt;
  }
  if (const std::string problem = reply_problem(reply); !problem.empty()) {
    report.fail(what, problem);
    return std::nullopt;
  }
  if (reply.body.size() != static_cast<size_t>(*size)) {
    report.fail(what, std::to_string(reply.body.size()) + " bytes where the manifest says " +
                          std::to_string(*size));
    return std::nullopt;
  }
  return reply;
}

std::string fingerprint_text(const std::string& bytes) {
  return fingerprint_of(bytes.data(), bytes.size());
}

zip::Unpacked unpack(const std::string& archive, uint64_t limit) {
  zip::MemoryBytes bytes(archive.data(), archive.size());
  return zip::unpack_as_program(
      bytes, [](const uint8_t* data, size_t size) { return fingerprint_of(data, size); }, limit);
}

// Twice the runtime the manifest describes bounds the work of unpacking,
// even with replaced duplicates.
uint64_t unpack_limit(const ManifestReading& reading) {
  const int32_t size = reading.java.size.value_or(0);
  return 2 * static_cast<uint64_t>(size < 0 ? 0 : size) + 1;
}

// The runtime zip, unpacked by the program's rules, against the manifest's
// "java" values.
void check_unpacked(Report& report, const std::string& archive, const ManifestReading& reading) {
  const std::string what = "java64.zip unpacked";
  if (!reading.java.size || !reading.java.hash) {
    report.fail(what, "not checked: the manifest lacks java/size or java/hash");
    return;
  }
  const int32_t size = *reading.java.size;
  const std::string hash = wide_to_utf8(*reading.java.hash);
  const zip::Unpacked unpacked = unpack(archive, unpack_limit(reading));
  if (!unpacked.opened) {
    report.fail(what, "the program cannot open it as a zip: it unpacks nothing");
    return;
  }
  uint64_t total = 0;
  std::vector<std::string> fingerprints;
  for (const zip::UnpackedFile& file : unpacked.files) {
    total += file.size;
    fingerprints.push_back(file.digest);
  }
  const std::string folder = folder_fingerprint_of(fingerprints);
  const std::string found = std::to_string(unpacked.files.size()) + " files, " +
                            std::to_string(total) + " bytes, folder fingerprint " + folder;
  const zip::ItemNote* first_loss = nullptr;
  for (const zip::ItemNote& note : unpacked.notes) {
    if (note.loses_content && !first_loss) first_loss = &note;
  }
  if (!unpacked.stopped && size >= 0 && total == static_cast<uint64_t>(size) && folder == hash) {
    report.ok(what, found + ", as the manifest says");
  } else {
    std::string why =
        found + " where the manifest says " + std::to_string(size) + " bytes, " + hash;
    if (first_loss) {
      why += "; first differing file: '" + first_loss->name + "': " + first_loss->what;
    } else {
      why +=
          "; every item unpacks as stored, so the manifest describes other files (publish "
          "the release again)";
    }
    report.fail(what, why);
  }
  for (const zip::ItemNote& note : unpacked.notes) {
    if (&note != first_loss) report.warn(what, "'" + note.name + "': " + note.what);
  }
}

// Names the first file in which two runtime zips differ.
std::string first_difference(const std::string& a, const std::string& b, uint64_t limit) {
  const zip::Unpacked left = unpack(a, limit);
  const zip::Unpacked right = unpack(b, limit);
  std::map<std::string, const zip::UnpackedFile*> other;
  for (const zip::UnpackedFile& file : right.files) other.emplace(file.name, &file);
  for (const zip::UnpackedFile& file : left.files) {
    const auto found = other.find(file.name);
    if (found == other.end()) return "first differing file: '" + file.name + "' is missing";
    if (found->second->digest != file.digest || found->second->size != file.size) {
      return "first differing file: '" + file.name + "'";
    }
    other.erase(found);
  }
  if (!other.empty()) return "first differing file: '" + other.begin()->first + "' is extra";
  size_t at = 0;
  while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
  return "the files unpack alike; the bytes differ from offset " + std::to_string(at);
}

int usage(std::ostream& err, const std::string& error) {
  err << "velmorandix-manifest: check-site: " << error << "\n(try --help)\n";
  return kToolBadInput;
}

}  // namespace

int run_check_site(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string base;
  std::optional<std::string> keys_text;
  std::string cacert;
  bool insecure = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--insecure") {
      insecure = true;
    } else if (arg == "--keys" || arg == "--cacert") {
      if (i + 1 >= args.size()) return usage(err, "option " + arg + " needs a value");
      if (arg == "--keys") {
        keys_text = args[++i];
      } else {
        cacert = args[++i];
      }
    } else if (base.empty() && arg.rfind("-", 0) != 0) {
      base = arg;
    } else {
      return usage(err, "unexpected '" + arg + "'");
    }
  }
  if (base.empty()) return usage(err, "missing URL (https://host[:port])");
  if (insecure && !cacert.empty()) return usage(err, "give --cacert or --insecure, not both");
  if (base.rfind("https://", 0) != 0 && base.rfind("http://", 0) != 0) {
    return usage(err, "the URL must begin with https:// (or http://)");
  }
  while (!base.empty() && base.back() == '/') base.pop_back();
  std::vector<EcP256PublicKey> keys;
  std::string error;
  if (keys_text && !parse_key_list(*keys_text, keys, error)) return usage(err, error);

  curl_global_init(CURL_GLOBAL_DEFAULT);
  const Site site(base, cacert, insecure);
  Report report(out);
  if (base.rfind("http://", 0) == 0) {
    report.warn("URL", "the program asks its servers over https only");
  }

  // The manifest, as the program asks for it.
  const Reply manifest = site.get("/updater?system=win64", kMaxManifestBytes);
  if (!manifest.reached) {
    report.fail(
        "manifest",
        "cannot reach " + site.url("/updater?system=win64") + ": " + manifest.error +
            (cacert.empty() && !insecure ? " (a certificate of your own needs --cacert FILE)"
                                         : ""));
    report.finish();
    return kToolBadInput;
  }
  if (const std::string problem = reply_problem(manifest); !problem.empty()) {
    report.fail("manifest", problem + ": the program takes it for no manifest");
    report.finish();
    return kToolOutputFailed;
  }
  if (manifest.over_limit) {
    report.fail("manifest", "larger than 1 MiB: no manifest is that large");
    report.finish();
    return kToolOutputFailed;
  }
  const ManifestReading reading = read_manifest(manifest.body);
  if (reading.parse != ManifestParse::kParsed) {
    report.fail("manifest", reading.parse == ManifestParse::kNullRoot
                                ? "the JSON null: the program shows C1"
                                : "not JSON: the program takes it for no manifest");
    report.finish();
    return kToolOutputFailed;
  }
  const bool ascii = std::all_of(manifest.body.begin(), manifest.body.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  const std::string summary =
      "200, " + std::to_string(manifest.body.size()) + " bytes of JSON" +
      (reading.serial ? ", serial " + std::to_string(*reading.serial) : ", serial not valid");
  if (!reading.complete) {
    const std::string missing = missing_values(reading);
    report.fail("manifest", summary + ", incomplete: " +
                                (missing.empty() ? "it breaks the format" : "lacks " + missing) +
                                " (players see \"Попробуйте еще раз чуть позже.\")");
  } else if (!ascii && !declares_utf8(manifest) && keys.empty()) {
    report.fail("manifest", summary +
                                ", but its non-ASCII text comes without charset=utf-8: "
                                "programs without update keys read it in the player's "
                                "code page");
  } else {
    report.ok("manifest", summary + ", complete");
  }

  if (!keys.empty()) {
    const Reply signature = site.get("/updater.sig?system=win64", kMaxSignatureBody + 1);
    if (const std::string problem = reply_problem(signature); !problem.empty()) {
      report.fail("signature", problem + ": signed programs take the manifest for none (C2)");
    } else {
      const SignatureCheck check = check_signature(keys, manifest.body, signature.body);
      if (!check.verified) {
        report.fail("signature", check.problem + ": signed programs refuse the manifest (C2)");
      } else if (!signed_manifest_complete(reading)) {
        report.fail("signature",
                    "verifies, but the manifest lacks a sha256 pin or a valid "
                    "serial, which signed programs require");
      } else {
        report.ok("signature", "verifies under key " + std::to_string(check.key_index + 1) +
                                   " of " + std::to_string(keys.size()) + " (" +
                                   public_key_line(keys[check.key_index]) + "); serial " +
                                   std::to_string(*reading.serial));
      }
    }
  }

  // The launcher jar.
  if (const std::optional<Reply> jar =
          fetch_file(report, site, "jar", "/Velmorandix.jar", reading.launcher.size)) {
    const std::string fingerprint = fingerprint_text(jar->body);
    const std::string sha256 = sha256_of_text(jar->body);
    const std::string expected = narrow(reading.launcher.hash);
    if (fingerprint != expected) {
      report.fail("jar", "fingerprint " + fingerprint + " where the manifest says " + expected);
    } else if (reading.launcher.sha256 && sha256_hex(*reading.launcher.sha256) != sha256) {
      report.fail("jar", "SHA-256 " + sha256 + " where the manifest says " +
                             sha256_hex(*reading.launcher.sha256));
    } else {
      report.ok("jar", "200, " + std::to_string(jar->body.size()) + " bytes, fingerprint " +
                           fingerprint + ", SHA-256 " + sha256 + ", as the manifest says");
    }
    check_resume(report, site, "jar", "/Velmorandix.jar", *jar);
  }

  // The runtime archives.
  const std::optional<Reply> zip64 =
      fetch_file(report, site, "java64.zip", "/bootstrap/java64.zip", reading.java_zip.size);
  if (zip64) {
    const std::string sha256 = sha256_of_text(zip64->body);
    const std::string fingerprint = fingerprint_text(zip64->body);
    if (reading.java_zip.sha256 && sha256_hex(*reading.java_zip.sha256) != sha256) {
      report.fail("java64.zip", "SHA-256 " + sha256 + " where the manifest says " +
                                    sha256_hex(*reading.java_zip.sha256));
    } else {
      report.ok("java64.zip", "200, " + std::to_string(zip64->body.size()) + " bytes, SHA-256 " +
                                  sha256 + ", as the manifest says");
    }
    if (fingerprint != narrow(reading.java_zip.hash)) {
      report.warn("java64.zip", "fingerprint " + fingerprint +
                                    " where the manifest's java_zip/hash "
                                    "says " +
                                    narrow(reading.java_zip.hash) +
                                    " (the program does not check it)");
    }
    check_unpacked(report, zip64->body, reading);
    check_resume(report, site, "java64.zip", "/bootstrap/java64.zip", *zip64);

    const Reply zip32 = site.get("/bootstrap/java32.zip", zip64->body.size());
    if (const std::string problem = reply_problem(zip32); !problem.empty()) {
      report.fail("java32.zip", problem + ": 32-bit Windows players get no runtime");
    } else if (zip32.over_limit || zip32.body != zip64->body) {
      report.fail("java32.zip",
                  "differs from java64.zip" +
                      (zip32.over_limit ? std::string(" (it is longer)")
                                        : ": " + first_difference(zip64->body, zip32.body,
                                                                  unpack_limit(reading))));
    } else {
      report.ok("java32.zip",
                "the same " + std::to_string(zip32.body.size()) + " bytes as java64.zip");
      check_resume(report, site, "java32.zip", "/bootstrap/java32.zip", zip32);
    }
  }
  report.finish();
  return report.failures() ? kToolOutputFailed : kToolOk;
}

}  // namespace vx
