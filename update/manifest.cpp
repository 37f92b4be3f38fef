#include "update/manifest.h"

#include <windows.h>

#include "app/bootstrap_state.h"
#include "base/console_line.h"
#include "net/http_client.h"

namespace {

const wchar_t kManifestPath[] = L"/updater?system=win64";
const wchar_t kSkipLinePrefix[] = L"Файл не найден, пропускаем: ";

void set_c1_failure(BootstrapState& state) {
  state.error_title = L"Нет соединения :(";
  state.error_detail = L"Ошибка обновления лаунчера. Код C1.";
  state.failed = true;
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

void fetch_manifest() {
  BootstrapState& state = *bootstrap_state;
  state.is_64bit_os = detect_64bit_os();
  state.manifest_ok = false;

  vx::ManifestReading reading;
  for (const std::wstring& base_url : state.server_urls) {
    state.server_url = base_url;
    const std::wstring request_url = base_url + kManifestPath;
    vx::write_stdout_line(kSkipLinePrefix + request_url);

    // One client per attempt; it lives only for this iteration.
    HttpClient client(request_url, nullptr);
    client.verifyCertificates = VX_VERIFY_CERTIFICATES != 0;
    if (!client.request(L"GET")) continue;
    if (client.statusCode != L"200") continue;
    reading = vx::read_manifest(wide_to_utf8(client.text));
    if (reading.parse != vx::ManifestParse::kNotJson) break;
  }

  if (reading.parse != vx::ManifestParse::kParsed) {
    // No server gave a parsable reply, or the reply was the literal null.
    set_c1_failure(state);
    return;
  }
  // An incomplete manifest keeps the default texts and leaves failed alone.
  vx::apply_manifest(reading, state);
}
