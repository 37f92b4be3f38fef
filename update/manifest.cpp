#include "update/manifest.h"

#include <windows.h>

#include <shlobj.h>

#include <optional>
#include <string_view>

#include "app/bootstrap_state.h"
#include "base/console_line.h"
#include "base/win_raii.h"
#include "net/http_client.h"
#include "update/cng_crypto.h"
#include "update/small_file.h"

const wchar_t kManifestSerialFile[] = L"\\Velmorandix\\bootstrap\\manifest.serial";

namespace {

const wchar_t kManifestPath[] = L"/updater?system=win64";
const wchar_t kSignaturePath[] = L"/updater.sig?system=win64";
const wchar_t kSkipLinePrefix[] = L"Файл не найден, пропускаем: ";

// A stored serial file is a few digits; anything longer is not one.
constexpr DWORD kMaxSerialFile = 64;

// The most a manifest or its signature may bring. A real one is well under
// a kilobyte; a server that sends more is not giving a manifest, and is not
// let to fill the player's memory either.
constexpr uint64_t kMaxManifestBytes = 1 << 20;

void set_failure(BootstrapState& state, const wchar_t* detail) {
  state.error_title = L"Нет соединения :(";
  state.error_detail = detail;
  state.failed = true;
}

void set_c1_failure(BootstrapState& state) {
  set_failure(state, L"Ошибка обновления лаунчера. Код C1.");
}

// The received bytes exactly as they came.
std::string_view body_bytes(const HttpClient& client) {
  if (!client.body) return std::string_view();
  return std::string_view(reinterpret_cast<const char*>(client.body.get()), client.bodyLength);
}

// Whether `base_url` serves a signature of `digest` under one of `keys`. A
// failed request, any status but "200", a body that does not decode and a
// signature that verifies under no key all count as no signature.
bool signature_verifies(const std::wstring& base_url, const vx::Sha256Digest& digest,
                        const vx::UpdateKeySet& keys) {
  HttpClient client(base_url + kSignaturePath, nullptr);
  client.verifyCertificates = VX_VERIFY_CERTIFICATES != 0;
  client.maxBodyLength = kMaxManifestBytes;
  if (!client.request(L"GET") || client.statusCode != L"200") return false;
  const vx::SignatureBody signature = vx::decode_signature_body(body_bytes(client));
  if (signature.status != vx::SignatureBodyStatus::kOk) return false;
  return vx::find_verifying_key(keys, digest, signature.signature).has_value();
}

// The stored serial file's path; empty when Windows names no roaming
// application-data folder.
std::wstring serial_path() {
  wchar_t app_data[MAX_PATH] = {};
  if (SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, app_data) != S_OK) return {};
  return std::wstring(app_data) + kManifestSerialFile;
}

uint32_t read_stored_serial(const std::wstring& path) {
  std::string text;
  if (path.empty() || !vx::read_small_file(path, kMaxSerialFile, text)) return 0;
  return vx::parse_serial_text(text);
}

// Writes the serial to a temporary file beside the stored one and renames
// it over that, so that the stored serial is always whole: the old one or
// the new one. A failure leaves the stored serial as it was; the update
// goes on all the same (the install check reports a folder it cannot use).
void write_stored_serial(const std::wstring& path, uint32_t serial) {
  if (path.empty()) return;
  // The folders, as the install check lays them out; they may not exist yet.
  const size_t name_at = path.rfind(L'\\');                 // before "manifest.serial"
  const size_t folder_at = path.rfind(L'\\', name_at - 1);  // before "bootstrap"
  CreateDirectoryW(path.substr(0, folder_at).c_str(), nullptr);
  CreateDirectoryW(path.substr(0, name_at).c_str(), nullptr);

  vx::replace_small_file(path, vx::format_serial(serial));
}

// GetProcAddress hands out a generic function pointer; going through
// void(*)() keeps the conversion to the real signature explicit.
template <typename Function>
Function lookup(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

bool detect_64bit_os() {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return false;

  using IsWow64Process2Fn = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
  const auto is_wow64_process2 = lookup<IsWow64Process2Fn>(kernel, "IsWow64Process2");
  if (is_wow64_process2 != nullptr) {
    USHORT process_machine = 0;
    USHORT native_machine = 0;
    if (is_wow64_process2(GetCurrentProcess(), &process_machine, &native_machine)) {
      return process_machine == 0 && (native_machine == 0x8664 || native_machine == 0xAA64);
    }
  }

  using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, BOOL*);
  const auto is_wow64_process = lookup<IsWow64ProcessFn>(kernel, "IsWow64Process");
  if (is_wow64_process == nullptr) return false;
  BOOL wow64 = FALSE;
  if (!is_wow64_process(GetCurrentProcess(), &wow64)) return false;
  return !wow64;
}

void prepare_servers() {
  BootstrapState& state = *bootstrap_state;
  state.server_urls.push_back(VX_PRIMARY_URL);
  state.server_urls.push_back(VX_FALLBACK_URL);
  state.error_title = L"Нет соединения :(";
  state.error_detail = L"Попробуйте еще раз чуть позже.";
}

void fetch_manifest() { fetch_manifest_with(vx::update_keys()); }

void fetch_manifest_with(const vx::UpdateKeySet& keys) {
  BootstrapState& state = *bootstrap_state;
  state.is_64bit_os = detect_64bit_os();
  state.manifest_ok = false;
  const bool signed_mode = keys.count > 0;

  vx::ManifestReading reading;
  bool verified = false;             // signed: a server's manifest was accepted
  bool acceptable_unsigned = false;  // a server gave what unsigned mode would take
  std::wstring stored_serial_path;
  std::optional<uint32_t> stored_serial;  // read when first needed
  for (const std::wstring& base_url : state.server_urls) {
    state.server_url = base_url;
    const std::wstring request_url = base_url + kManifestPath;
    vx::write_stdout_line(kSkipLinePrefix + request_url);

    vx::ManifestReading candidate;
    std::optional<vx::Sha256Digest> digest;
    {
      // One client per attempt; it lives only for this iteration.
      HttpClient client(request_url, nullptr);
      client.verifyCertificates = VX_VERIFY_CERTIFICATES != 0;
      client.maxBodyLength = kMaxManifestBytes;
      if (!client.request(L"GET")) continue;
      if (client.statusCode != L"200") continue;
      if (!signed_mode) {
        reading = vx::read_manifest(wide_to_utf8(client.text));
        if (reading.parse != vx::ManifestParse::kNotJson) break;
        continue;
      }
      // The signature covers the bytes, not a decoding of them: the charset
      // the reply declares is not signed, and reading the body by it would
      // let anyone on the path change the texts of a signed manifest.
      const std::string_view body = body_bytes(client);
      candidate = vx::read_manifest(std::string(body));
      if (candidate.parse == vx::ManifestParse::kNotJson) continue;
      digest = vx::sha256_of(body.data(), body.size());
    }
    if (candidate.parse == vx::ManifestParse::kParsed) acceptable_unsigned = true;
    if (!digest || !signature_verifies(base_url, *digest, keys)) continue;
    if (candidate.parse == vx::ManifestParse::kParsed && candidate.serial) {
      if (!stored_serial) {
        stored_serial_path = serial_path();
        stored_serial = read_stored_serial(stored_serial_path);
      }
      // An older release, replayed: as good as no signature.
      if (*candidate.serial < *stored_serial) continue;
      write_stored_serial(stored_serial_path, *candidate.serial);
    }
    reading = std::move(candidate);
    verified = true;
    break;
  }

  if (signed_mode && !verified) {
    if (acceptable_unsigned) {
      set_failure(state, L"Не удалось проверить подпись обновления. Код C2.");
    } else {
      set_c1_failure(state);
    }
    return;
  }
  if (reading.parse != vx::ManifestParse::kParsed) {
    // No server gave a parsable reply, or the reply was the literal null.
    set_c1_failure(state);
    return;
  }
  // An incomplete manifest keeps the default texts and leaves failed alone.
  if (signed_mode) {
    vx::apply_signed_manifest(reading, state);
  } else {
    vx::apply_manifest(reading, state);
  }
}
