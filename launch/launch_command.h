// Filling the launcher's executable path and command line, and the texts of
// the launch failures. Free of any platform interface.
#pragma once

#include <cstdint>
#include <string>

// Replaces the first occurrence of `placeholder` in `text`, searching from the
// start, by `replacement`. Later occurrences stay as they are, and nothing
// inside the inserted replacement is looked at again. Matching is exact and
// case-sensitive. Returns whether anything was replaced; an empty placeholder
// never matches.
bool replace_first(std::wstring& text, const std::wstring& placeholder,
                   const std::wstring& replacement);

// What the launcher is started with.
struct LaunchCommand {
  std::wstring application;   // executable path, passed without quotes
  std::wstring command_line;  // the whole command line, first word included
};

// Builds the launch from the manifest's templates:
// - in `java_path`, the first "%java%" becomes `java_dir`, unquoted;
// - in `run_args`, the first "%launcher%" becomes `launcher_path` in double
//   quotes, and the first "%updater_path%" becomes `own_path` in double
//   quotes, but only when `own_path` is not empty (else it stays as it is).
// No other placeholder is filled in either text.
LaunchCommand build_launch_command(const std::wstring& java_path, const std::wstring& run_args,
                                   const std::wstring& java_dir, const std::wstring& launcher_path,
                                   const std::wstring& own_path);

// The error screen's texts for a failed launch.
const wchar_t* launch_failure_title();  // "Критическая ошибка"
// "Ошибка запуска лаунчера. Код N." for N in 1..4; an empty text otherwise.
std::wstring launch_failure_detail(uint32_t code);
