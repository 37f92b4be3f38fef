// How Windows treats the relative path of a file below the runtime folder:
// the names it cannot create as given, the names under which it finds the
// same file, and the length budget of a runtime path. Shared by the
// operator's tool, which refuses such names before it publishes, and by the
// walk that works out what the program makes of a served archive.
//
// Paths are relative, with '/' or '\' between components, in UTF-16 units as
// the program holds them after decoding an item name.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vx {
namespace zip {

// The longest relative path of a runtime file that the tool publishes, in
// UTF-16 units. The program refuses destinations of more than 259 units, and
// a destination is java_dir + "\" + the path, where java_dir is %APPDATA%
// followed by "\Velmorandix\bootstrap\java" (27 units). 140 units for the
// path leave 259 - 140 - 1 - 27 = 91 units for %APPDATA% itself: that is
// "C:\Users\" and "\AppData\Roaming" around a profile folder of up to 66
// units, several times the 20 characters of a Windows user name, with room
// for the ".DOMAIN" or ".000" suffixes Windows adds to profile folders.
constexpr size_t kMaxRuntimePathUnits = 140;

// The program refuses item names of 260 bytes or more (UTF-8, as stored).
constexpr size_t kMaxItemNameBytes = 259;

// What Windows does with one component of a path.
enum class NameFault {
  kNone,
  // Ends in a dot or a space: Windows drops them, so the file is created
  // under another name (which can be the name of another file).
  kTrailingDotOrSpace,
  // A reserved device name (CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$,
  // CONOUT$), in any letter case, alone or before an extension: opening it
  // opens the device, no file is made.
  kDeviceName,
  // Holds one of < > : " | ? * \ or a control character (U+0000-U+001F),
  // which no Windows file name may hold.
  kBadCharacter,
};

// The fault of one component (no separators in it), kNone for "" and ".".
NameFault component_fault(std::u16string_view component);

// A short English description of a fault, for messages.
const char* describe(NameFault fault);

// The name under which Windows finds the file or folder at `path`: the
// components between separators, without empty and "." components, each
// without its trailing dots and spaces and with its letters in upper case,
// joined by '\'. Two paths with the same key are one file on Windows. The
// letter case follows NTFS for the Latin, Greek, Cyrillic and Armenian
// letters and the fullwidth Latin ones; other scripts are kept as they are.
std::u16string path_key(std::u16string_view path);

}  // namespace zip
}  // namespace vx
