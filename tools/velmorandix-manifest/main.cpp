// velmorandix-manifest: see manifest_tool.h and --help.
#include <iostream>
#include <string>
#include <vector>

#include "tools/velmorandix-manifest/manifest_tool.h"

#ifdef _WIN32
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include "base/utf8.h"
#endif

int main(int argc, char** argv) {
  std::vector<std::string> args;
#ifdef _WIN32
  // The narrow arguments are in the ANSI code page; take the wide command
  // line so that any path and any Cyrillic text arrive intact.
  (void)argv;
  int count = 0;
  wchar_t** wide_args = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide_args == nullptr) {
    std::cerr << "velmorandix-manifest: cannot read the command line\n";
    return 2;
  }
  for (int i = 1; i < count; ++i) args.push_back(wide_to_utf8(wide_args[i]));
  LocalFree(wide_args);
  // The manifest is UTF-8 bytes; no line-end translation.
  _setmode(_fileno(stdout), _O_BINARY);
#else
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
#endif
  (void)argc;
  return vx::run_manifest_tool(args, std::cout, std::cerr);
}
