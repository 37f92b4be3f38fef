// A stand-in for the private runtime's java executable, for tests and the
// demo. It never runs Java; it only behaves, on its output, like a launcher.
//
// At start it writes a record beside itself, "standin_record.txt" (UTF-8,
// one "key=value" per line):
//   pid=<process id>
//   module=<its own full path>
//   cmdline=<its command line, exactly as received>
//   cwd=<its working directory>
//   java_options=<value of _JAVA_OPTIONS, or the word "(unset)">
//   started=<UTC time in 100 ns units since 1601>
// and, once it has carried out its script (or at its "mark"), one more line:
//   printed=<UTC time in 100 ns units since 1601>
//
// Then it carries out the script "standin_script.txt" beside itself, one
// command per line (blank lines and lines starting with '#' are skipped):
//   out TEXT        write TEXT to standard output in one write
//   err TEXT        write TEXT to standard error in one write
//   pad N TEXT      write one chunk of exactly N bytes to standard output:
//                   '-' padding followed by TEXT
//   sleep MS        wait MS milliseconds
//   mark            add the "printed=" line to the record now (for a script
//                   that keeps running after its last write)
//   exit CODE       end at once with that exit code
// TEXT may hold \n, \r, \t, \0, \\ and \xHH escapes. At the end of the script
// the program exits with code 0.
//
// Without a script it prints a greeting and the restart marker, then keeps
// running for 120 s, like a launcher that has restarted itself.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::wstring own_dir(std::wstring* module_path) {
  std::vector<wchar_t> buffer(32768);
  const DWORD length =
      GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  std::wstring path(buffer.data(), length);
  if (module_path) *module_path = path;
  const std::wstring::size_type slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::string to_utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size,
                      nullptr, nullptr);
  return out;
}

uint64_t now_utc() {
  FILETIME time;
  GetSystemTimeAsFileTime(&time);
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

void append_to_file(const std::wstring& path, const std::string& text, bool truncate) {
  HANDLE file = CreateFileW(path.c_str(), truncate ? GENERIC_WRITE : FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            truncate ? CREATE_ALWAYS : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
}

bool read_file(const std::wstring& path, std::string* out) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) out->append(buffer, got);
  CloseHandle(file);
  return true;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char next = text[++i];
    switch (next) {
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case '0':
        out += '\0';
        break;
      case 'x':
        if (i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 && hex_digit(text[i + 2]) >= 0) {
          out += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
          i += 2;
        } else {
          out += "\\x";
        }
        break;
      default:
        out += next;
        break;
    }
  }
  return out;
}

void write_all(DWORD which, const std::string& bytes) {
  HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// Splits "word rest" at the first blank.
void split_first(const std::string& line, std::string* word, std::string* rest) {
  const std::string::size_type blank = line.find(' ');
  *word = line.substr(0, blank);
  *rest = blank == std::string::npos ? std::string() : line.substr(blank + 1);
}

void mark_printed(const std::wstring& record_path) {
  append_to_file(record_path, "printed=" + std::to_string(now_utc()) + "\n", false);
}

void run_script(const std::string& script, const std::wstring& record_path) {
  bool marked = false;
  std::string::size_type start = 0;
  while (start < script.size()) {
    std::string::size_type end = script.find('\n', start);
    if (end == std::string::npos) end = script.size();
    std::string line = script.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    std::string command, rest;
    split_first(line, &command, &rest);
    if (command == "out") {
      write_all(STD_OUTPUT_HANDLE, unescape(rest));
    } else if (command == "err") {
      write_all(STD_ERROR_HANDLE, unescape(rest));
    } else if (command == "pad") {
      std::string count, text;
      split_first(rest, &count, &text);
      const std::string tail = unescape(text);
      const std::size_t size = std::strtoul(count.c_str(), nullptr, 10);
      std::string chunk(size > tail.size() ? size - tail.size() : 0, '-');
      chunk += tail;
      chunk.resize(size);
      write_all(STD_OUTPUT_HANDLE, chunk);
    } else if (command == "sleep") {
      Sleep(static_cast<DWORD>(std::strtoul(rest.c_str(), nullptr, 10)));
    } else if (command == "mark") {
      if (!marked) mark_printed(record_path);
      marked = true;
    } else if (command == "exit") {
      if (!marked) mark_printed(record_path);
      ExitProcess(static_cast<UINT>(std::strtoul(rest.c_str(), nullptr, 10)));
    }
  }
  if (!marked) mark_printed(record_path);
}

}  // namespace

int main() {
  std::wstring module_path;
  const std::wstring dir = own_dir(&module_path);

  constexpr DWORD kTextCapacity = 32768;
  std::vector<wchar_t> cwd(kTextCapacity);
  DWORD cwd_length = GetCurrentDirectoryW(kTextCapacity, cwd.data());
  if (cwd_length >= kTextCapacity) cwd_length = 0;
  std::vector<wchar_t> options(kTextCapacity);
  SetLastError(0);
  DWORD options_length = GetEnvironmentVariableW(L"_JAVA_OPTIONS", options.data(), kTextCapacity);
  const bool options_set = options_length > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
  if (options_length >= kTextCapacity) options_length = 0;

  std::string record;
  record += "pid=" + std::to_string(GetCurrentProcessId()) + "\n";
  record += "module=" + to_utf8(module_path) + "\n";
  record += "cmdline=" + to_utf8(GetCommandLineW()) + "\n";
  record += "cwd=" + to_utf8(std::wstring(cwd.data(), cwd_length)) + "\n";
  record += "java_options=" +
            (options_set ? to_utf8(std::wstring(options.data(), options_length))
                         : std::string("(unset)")) +
            "\n";
  record += "started=" + std::to_string(now_utc()) + "\n";
  const std::wstring record_path = dir + L"standin_record.txt";
  append_to_file(record_path, record, true);

  std::string script;
  if (read_file(dir + L"standin_script.txt", &script)) {
    run_script(script, record_path);
    return 0;
  }
  write_all(STD_OUTPUT_HANDLE,
            "Velmorandix launcher stand-in\nRestart Launcher with JavaAgent...\n");
  mark_printed(record_path);
  Sleep(120000);
  return 0;
}
