#include "launch/launch_command.h"

bool replace_first(std::wstring& text, const std::wstring& placeholder,
                   const std::wstring& replacement) {
  if (placeholder.empty()) return false;
  const std::wstring::size_type at = text.find(placeholder);
  if (at == std::wstring::npos) return false;
  text.replace(at, placeholder.size(), replacement);
  return true;
}

LaunchCommand build_launch_command(const std::wstring& java_path, const std::wstring& run_args,
                                   const std::wstring& java_dir, const std::wstring& launcher_path,
                                   const std::wstring& own_path) {
  LaunchCommand command{java_path, run_args};
  replace_first(command.application, L"%java%", java_dir);
  replace_first(command.command_line, L"%launcher%", L"\"" + launcher_path + L"\"");
  // Without its own path the program leaves the placeholder for the launcher
  // to see rather than handing it an empty quoted argument.
  if (!own_path.empty()) {
    replace_first(command.command_line, L"%updater_path%", L"\"" + own_path + L"\"");
  }
  return command;
}

const wchar_t* launch_failure_title() { return L"Критическая ошибка"; }

std::wstring launch_failure_detail(uint32_t code) {
  if (code < 1 || code > 4) return std::wstring();
  return L"Ошибка запуска лаунчера. Код " + std::to_wstring(code) + L".";
}
