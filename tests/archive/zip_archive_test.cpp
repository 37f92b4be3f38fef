// The zip front end against archives built by make_zip_fixtures.py: names,
// folders, attributes and times read back from the file system, failure
// results, and hostile archives that must write nothing outside the target.
#include "archive/zip_archive.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace vx {
namespace {

std::wstring widen(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
  return out;
}

// The fixtures are built on the host; Wine maps the host's root to Z:.
std::wstring fixture(const char* name) {
  std::wstring dir = widen(VX_ZIP_FIXTURES);
  if (!dir.empty() && dir[0] == L'/') dir = L"Z:" + dir;
  for (wchar_t& c : dir) {
    if (c == L'/') c = L'\\';
  }
  return dir + L"\\" + widen(name);
}

uint64_t value(const FILETIME& ft) {
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// 2021-03-04 05:06:08, the MS-DOS time of most fixture items, as local time.
uint64_t dos2021AsUtc() {
  const uint64_t local = 132593079680000000ULL;
  FILETIME lft{static_cast<DWORD>(local & 0xFFFFFFFF), static_cast<DWORD>(local >> 32)};
  FILETIME utc{};
  ::LocalFileTimeToFileTime(&lft, &utc);
  return value(utc);
}

uint64_t unixFt(int64_t t) { return static_cast<uint64_t>(t + 11644473600LL) * 10000000ULL; }

void removeTree(const std::wstring& path) {
  WIN32_FIND_DATAW fd;
  HANDLE h = ::FindFirstFileW((path + L"\\*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = fd.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring full = path + L"\\" + name;
      ::SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        removeTree(full);
      } else {
        ::DeleteFileW(full.c_str());
      }
    } while (::FindNextFileW(h, &fd));
    ::FindClose(h);
  }
  ::RemoveDirectoryW(path.c_str());
}

void listTree(const std::wstring& root, const std::wstring& rel, std::set<std::wstring>* out) {
  WIN32_FIND_DATAW fd;
  HANDLE h = ::FindFirstFileW((root + rel + L"\\*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    std::wstring name = fd.cFileName;
    if (name == L"." || name == L"..") continue;
    std::wstring sub = rel + L"\\" + name;
    out->insert(sub);
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) listTree(root, sub, out);
  } while (::FindNextFileW(h, &fd));
  ::FindClose(h);
}

std::set<std::wstring> listTree(const std::wstring& root) {
  std::set<std::wstring> out;
  listTree(root, L"", &out);
  return out;
}

// A fresh folder under the temporary folder, removed with its contents. The
// current directory is restored when it was changed.
class Scratch {
 public:
  Scratch() {
    wchar_t tmp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, tmp);
    static int counter = 0;
    path_ = std::wstring(tmp) + L"vxzip_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
            std::to_wstring(++counter);
    removeTree(path_);
    ::CreateDirectoryW(path_.c_str(), nullptr);
    wchar_t cwd[MAX_PATH];
    ::GetCurrentDirectoryW(MAX_PATH, cwd);
    cwd_ = cwd;
  }
  ~Scratch() {
    ::SetCurrentDirectoryW(cwd_.c_str());
    removeTree(path_);
  }
  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& rel) const { return path_ + L"\\" + rel; }

 private:
  std::wstring path_;
  std::wstring cwd_;
};

bool exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

DWORD attributesOf(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()); }

std::string readAll(const std::wstring& path) {
  HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<missing>";
  std::string data;
  char buf[8192];
  DWORD got = 0;
  while (::ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) data.append(buf, got);
  ::CloseHandle(h);
  return data;
}

void writeAll(const std::wstring& path, const std::string& data) {
  HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD put = 0;
  ::WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &put, nullptr);
  ::CloseHandle(h);
}

struct Times {
  uint64_t creation, access, write;
};

Times timesOf(const std::wstring& path) {
  HANDLE h = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  FILETIME c{}, a{}, w{};
  if (h != INVALID_HANDLE_VALUE) {
    ::GetFileTime(h, &c, &a, &w);
    ::CloseHandle(h);
  }
  return Times{value(c), value(a), value(w)};
}

// Whether this file system keeps a creation time that SetFileTime sets
// (Wine on a Linux file system reports the write time instead).
bool creationTimeSticks(const std::wstring& folder) {
  const std::wstring probe = folder + L"\\creation_probe";
  HANDLE h = ::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const uint64_t want = unixFt(1000000000);
  FILETIME c{static_cast<DWORD>(want & 0xFFFFFFFF), static_cast<DWORD>(want >> 32)};
  ::SetFileTime(h, &c, nullptr, nullptr);
  ::CloseHandle(h);
  const bool sticks = timesOf(probe).creation == want;
  ::DeleteFileW(probe.c_str());
  return sticks;
}

// The same payload generator as the fixture script.
std::string payload(size_t size, uint32_t seed) {
  std::string out;
  uint32_t x = seed;
  char line[64];
  while (out.size() < size) {
    x = (x * 1103515245u + 12345u) & 0x7FFFFFFFu;
    snprintf(line, sizeof line, "line %u of the runtime %08x\n", static_cast<unsigned>(out.size()),
             static_cast<unsigned>(x));
    out += line;
  }
  out.resize(size);
  return out;
}

struct Closer {
  void operator()(ZipArchive* a) const { closeArchive(a); }
};
using Archive = std::unique_ptr<ZipArchive, Closer>;

Archive open(const char* name) { return Archive(openArchive(fixture(name).c_str())); }

int32_t countOf(ZipArchive* a) {
  ZipItemInfo info;
  EXPECT_EQ(describeItem(a, -1, &info), ZipResult::Ok);
  return info.index;
}

// Describe, then extract to folder + "\" + name, the way the update stage does.
ZipResult unpack(ZipArchive* a, int32_t index, const std::wstring& folder,
                 ZipItemInfo* described = nullptr) {
  ZipItemInfo info;
  describeItem(a, index, &info);
  if (described) *described = info;
  return extractItem(a, index, (folder + L"\\" + info.name).c_str());
}

TEST(ZipOpen, EmptyMissingAndForeignFiles) {
  Archive empty = open("empty.zip");
  ASSERT_NE(empty, nullptr);
  ZipItemInfo info;
  std::memset(&info, 0x5A, sizeof info);
  ASSERT_EQ(describeItem(empty.get(), -1, &info), ZipResult::Ok);
  EXPECT_EQ(info.index, 0);
  EXPECT_EQ(info.name[0], L'\0');
  EXPECT_EQ(info.attributes, 0u);
  EXPECT_EQ(value(info.writeTime), 0u);
  EXPECT_EQ(info.uncompressedSize, 0u);
  EXPECT_EQ(describeItem(empty.get(), 0, &info), ZipResult::BadArgument);
  Scratch s;
  EXPECT_EQ(extractItem(empty.get(), 0, (s / L"x").c_str()), ZipResult::BadArgument);
  EXPECT_EQ(closeArchive(empty.release()), ZipResult::Ok);

  EXPECT_EQ(openArchive(fixture("no_such_file.zip").c_str()), nullptr);
  EXPECT_EQ(openArchive(fixture("not_a_zip.zip").c_str()), nullptr);
  EXPECT_EQ(openArchive(nullptr), nullptr);
  EXPECT_EQ(closeArchive(nullptr), ZipResult::BadArgument);

  // A file with an end record at offset 0 that counts items is no empty
  // archive.
  std::string fake(22, '\0');
  fake[0] = 'P', fake[1] = 'K', fake[2] = 5, fake[3] = 6, fake[8] = 1, fake[10] = 1;
  writeAll(s / L"fake.zip", fake);
  EXPECT_EQ(openArchive((s / L"fake.zip").c_str()), nullptr);
}

TEST(ZipOpen, ArgumentsOutOfRange) {
  Archive a = open("basic.zip");
  ASSERT_NE(a, nullptr);
  const int32_t n = countOf(a.get());
  EXPECT_EQ(n, 12);
  ZipItemInfo info;
  EXPECT_EQ(describeItem(a.get(), -2, &info), ZipResult::BadArgument);
  EXPECT_EQ(describeItem(a.get(), n, &info), ZipResult::BadArgument);
  EXPECT_EQ(describeItem(a.get(), 0, nullptr), ZipResult::BadArgument);
  EXPECT_EQ(describeItem(nullptr, 0, &info), ZipResult::BadArgument);
  Scratch s;
  EXPECT_EQ(extractItem(a.get(), -1, (s / L"x").c_str()), ZipResult::BadArgument);
  EXPECT_EQ(extractItem(a.get(), n, (s / L"x").c_str()), ZipResult::BadArgument);
  EXPECT_EQ(extractItem(a.get(), 1, nullptr), ZipResult::BadArgument);
  EXPECT_EQ(extractItem(nullptr, 1, (s / L"x").c_str()), ZipResult::BadArgument);
  EXPECT_TRUE(listTree(s.path()).empty());
}

TEST(ZipDescribe, NamesSizesAndAttributes) {
  Archive a = open("basic.zip");
  ASSERT_NE(a, nullptr);
  struct Expected {
    const wchar_t* name;
    uint32_t attributes;
    uint32_t size;
  };
  const Expected expected[] = {
      {L"bin/", 0x30, 0},
      {L"bin/java.txt", 0x20, 900},
      {L"lib/ro_unix.txt", 0x21, 20},
      {L"ro_dos.txt", 0x01, 19},
      {L"hidden.txt", 0x22, 7},
      {L"empty.txt", 0x20, 0},
      {L"big.bin", 0x20, 200000},
      {L"stored_big.bin", 0x20, 40000},
      {L"dir\\x.txt", 0x20, 6},
      {L"etc/x", 0x20, 4},
      {L"lib/x", 0x20, 7},
      {L"notadir/", 0x20, 0},
  };
  const uint64_t dos = dos2021AsUtc();
  for (int32_t i = 0; i < 12; ++i) {
    SCOPED_TRACE(i);
    ZipItemInfo info;
    ASSERT_EQ(describeItem(a.get(), i, &info), ZipResult::Ok);
    EXPECT_EQ(info.index, i);
    EXPECT_STREQ(info.name, expected[i].name);
    EXPECT_EQ(info.attributes, expected[i].attributes);
    EXPECT_EQ(info.uncompressedSize, expected[i].size);
    EXPECT_EQ(value(info.writeTime), dos);
    EXPECT_EQ(value(info.accessTime), dos);
    EXPECT_EQ(value(info.creationTime), dos);
  }
  ZipItemInfo stored;
  ASSERT_EQ(describeItem(a.get(), 7, &stored), ZipResult::Ok);
  EXPECT_EQ(stored.compressedSize, stored.uncompressedSize);
  ZipItemInfo deflated;
  ASSERT_EQ(describeItem(a.get(), 6, &deflated), ZipResult::Ok);
  EXPECT_LT(deflated.compressedSize, deflated.uncompressedSize);

  // Going back, and jumping ahead, still lands on the asked item.
  ZipItemInfo info;
  ASSERT_EQ(describeItem(a.get(), 2, &info), ZipResult::Ok);
  EXPECT_STREQ(info.name, L"lib/ro_unix.txt");
  ASSERT_EQ(describeItem(a.get(), 10, &info), ZipResult::Ok);
  EXPECT_STREQ(info.name, L"lib/x");
  ASSERT_EQ(describeItem(a.get(), 0, &info), ZipResult::Ok);
  EXPECT_STREQ(info.name, L"bin/");
}

TEST(ZipDescribe, Utf8NamesWhateverBit11Says) {
  Archive a = open("names.zip");
  ASSERT_NE(a, nullptr);
  ZipItemInfo info;
  ASSERT_EQ(describeItem(a.get(), 0, &info), ZipResult::Ok);
  EXPECT_STREQ(info.name, L"\x043f\x0440\x0438\x0432\x0435\x0442/\x0444\x0430\x0439\x043b.txt");
  ASSERT_EQ(describeItem(a.get(), 1, &info), ZipResult::Ok);
  EXPECT_STREQ(info.name, L"\x65e5\x672c/\x30c6\x30b9\x30c8.txt");
  // Bytes that are no UTF-8 become replacement characters, not a failure.
  ASSERT_EQ(describeItem(a.get(), 2, &info), ZipResult::Ok);
  std::wstring name = info.name;
  EXPECT_EQ(name.substr(0, 3), L"bad");
  EXPECT_EQ(name.substr(name.size() - 8), L"utf8.txt");

  Scratch s;
  ASSERT_EQ(unpack(a.get(), 0, s.path()), ZipResult::Ok);
  EXPECT_EQ(readAll(s / L"\x043f\x0440\x0438\x0432\x0435\x0442\\\x0444\x0430\x0439\x043b.txt"),
            "utf8 without bit 11\n");
}

TEST(ZipExtract, UnpacksTheWholeArchiveWithAttributesAndTimes) {
  Archive a = open("basic.zip");
  ASSERT_NE(a, nullptr);
  Scratch s;
  const std::wstring java = s / L"java";
  // An existing file at a destination is replaced.
  ::CreateDirectoryW(java.c_str(), nullptr);
  ::CreateDirectoryW((java + L"\\bin").c_str(), nullptr);
  writeAll(java + L"\\bin\\java.txt", std::string(5000, 'o'));

  const int32_t n = countOf(a.get());
  std::vector<ZipResult> results;
  for (int32_t i = 0; i < n; ++i) results.push_back(unpack(a.get(), i, java));
  for (int32_t i = 0; i < n; ++i) {
    SCOPED_TRACE(i);
    // "notadir/" ends in a separator but is no folder item.
    EXPECT_EQ(results[static_cast<size_t>(i)], i == 11 ? ZipResult::CannotCreate : ZipResult::Ok);
  }

  // Times first: reading the files may move their access times.
  const uint64_t dos = dos2021AsUtc();
  const bool creationSticks = creationTimeSticks(s.path());
  for (const wchar_t* f : {L"\\bin\\java.txt", L"\\empty.txt", L"\\big.bin", L"\\ro_dos.txt"}) {
    SCOPED_TRACE(::testing::PrintToString(std::wstring(f)));
    Times t = timesOf(java + f);
    EXPECT_EQ(t.write, dos);
    EXPECT_EQ(t.access, dos);
    if (creationSticks) {
      EXPECT_EQ(t.creation, dos);
    }
  }

  std::string javaText;
  for (int k = 0; k < 50; ++k) javaText += "java runtime text\n";
  EXPECT_EQ(readAll(java + L"\\bin\\java.txt"), javaText);
  EXPECT_EQ(readAll(java + L"\\lib\\ro_unix.txt"), "read-only from unix\n");
  EXPECT_EQ(readAll(java + L"\\ro_dos.txt"), "read-only from dos\n");
  EXPECT_EQ(readAll(java + L"\\empty.txt"), "");
  EXPECT_EQ(readAll(java + L"\\big.bin"), payload(200000, 7));
  EXPECT_EQ(readAll(java + L"\\stored_big.bin"), payload(40000, 3));
  EXPECT_EQ(readAll(java + L"\\dir\\x.txt"), "drive\n");
  EXPECT_EQ(readAll(java + L"\\etc\\x"), "etc\n");
  EXPECT_EQ(readAll(java + L"\\lib\\x"), "dotdot\n");

  EXPECT_TRUE(attributesOf(java + L"\\bin") & FILE_ATTRIBUTE_DIRECTORY);
  // The folders of "notadir/" are made, the file is not.
  EXPECT_TRUE(attributesOf(java + L"\\notadir") & FILE_ATTRIBUTE_DIRECTORY);

  EXPECT_TRUE(attributesOf(java + L"\\ro_dos.txt") & FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(attributesOf(java + L"\\lib\\ro_unix.txt") & FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(attributesOf(java + L"\\bin\\java.txt") & FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(attributesOf(java + L"\\bin\\java.txt") & FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_TRUE(attributesOf(java + L"\\lib\\ro_unix.txt") & FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_TRUE(attributesOf(java + L"\\hidden.txt") & FILE_ATTRIBUTE_HIDDEN);
}

TEST(ZipExtract, RelativeAndAbsoluteDestinations) {
  Scratch s;
  ASSERT_TRUE(::SetCurrentDirectoryW(s.path().c_str()));
  Archive a = open("basic.zip");
  ASSERT_NE(a, nullptr);
  // Leaving the current directory afterwards does not move the base folder.
  Scratch elsewhere;
  ASSERT_TRUE(::SetCurrentDirectoryW(elsewhere.path().c_str()));

  EXPECT_EQ(extractItem(a.get(), 1, L"rel/deeper\\java.txt"), ZipResult::Ok);
  EXPECT_EQ(readAll(s / L"rel\\deeper\\java.txt").size(), 900u);
  EXPECT_EQ(extractItem(a.get(), 9, L"plain.txt"), ZipResult::Ok);
  EXPECT_EQ(readAll(s / L"plain.txt"), "etc\n");
  EXPECT_EQ(extractItem(a.get(), 0, L"made/by/folder/item/"), ZipResult::Ok);
  EXPECT_TRUE(attributesOf(s / L"made\\by\\folder\\item") & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_TRUE(listTree(elsewhere.path()).empty());

  // Absolute with forward slashes, and a folder item at an absolute path.
  std::wstring abs = s / L"abs/x/y.txt";
  EXPECT_EQ(extractItem(a.get(), 9, abs.c_str()), ZipResult::Ok);
  EXPECT_EQ(readAll(s / L"abs\\x\\y.txt"), "etc\n");
  EXPECT_EQ(extractItem(a.get(), 0, (s / L"absdir\\sub").c_str()), ZipResult::Ok);
  EXPECT_TRUE(attributesOf(s / L"absdir\\sub") & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(ZipExtract, OverLongPathsAreRefusedWhole) {
  Archive a = open("basic.zip");
  ASSERT_NE(a, nullptr);
  Scratch s;
  // 260 characters: refused, and nothing is made on the way.
  std::wstring dest = s.path() + L"\\";
  dest += std::wstring(260 - dest.size(), L'x');
  EXPECT_EQ(extractItem(a.get(), 9, dest.c_str()), ZipResult::CannotCreate);
  EXPECT_EQ(extractItem(a.get(), 0, dest.c_str()), ZipResult::CannotCreate);
  std::wstring nested = s.path() + L"\\sub\\";
  nested += std::wstring(262 - nested.size(), L'y');
  EXPECT_EQ(extractItem(a.get(), 9, nested.c_str()), ZipResult::CannotCreate);
  EXPECT_TRUE(listTree(s.path()).empty());

  // A relative destination that only the base folder makes too long.
  ASSERT_TRUE(::SetCurrentDirectoryW(s.path().c_str()));
  Archive b = open("basic.zip");
  ASSERT_NE(b, nullptr);
  std::wstring rel(259 - s.path().size(), L'z');
  EXPECT_EQ(extractItem(b.get(), 9, rel.c_str()), ZipResult::CannotCreate);
  EXPECT_TRUE(listTree(s.path()).empty());
  // One shorter fits exactly: base, separator and name make 259.
  rel.pop_back();
  EXPECT_EQ(extractItem(b.get(), 9, rel.c_str()), ZipResult::Ok);
  EXPECT_EQ(readAll(s / rel), "etc\n");
}

TEST(ZipOpen, CurrentDirectoryTooLongForTheBaseFolder) {
  Scratch s;
  // Folders that bring the current directory to 258, then 259 characters:
  // 258 leaves just room for the separator, 259 does not.
  const size_t total = 258 - s.path().size();
  const size_t parts = (total + 149) / 150;
  std::wstring dir = s.path();
  for (size_t j = 0; j < parts; ++j) {
    const size_t share = total / parts + (j < total % parts ? 1 : 0);
    dir += L"\\" + std::wstring(share - 1, L'd');
    ASSERT_TRUE(::CreateDirectoryW(dir.c_str(), nullptr));
  }
  ASSERT_EQ(dir.size(), 258u);
  ASSERT_TRUE(::SetCurrentDirectoryW(dir.c_str()));
  Archive fits(openArchive(fixture("basic.zip").c_str()));
  ASSERT_NE(fits, nullptr);
  EXPECT_EQ(extractItem(fits.get(), 9, L"x"), ZipResult::CannotCreate);

  std::wstring longer = dir.substr(0, dir.size() - 1) + L"ee";
  if (!::CreateDirectoryW(longer.c_str(), nullptr) || !::SetCurrentDirectoryW(longer.c_str())) {
    GTEST_SKIP() << "this system keeps the current directory shorter";
  }
  EXPECT_EQ(openArchive(fixture("basic.zip").c_str()), nullptr);
}

TEST(ZipExtract, ExtendedTimestampsAndMsDosTimes) {
  Archive a = open("times.zip");
  ASSERT_NE(a, nullptr);
  Scratch s;
  const uint64_t dos = dos2021AsUtc();
  struct Expected {
    const wchar_t* name;
    uint64_t write, access, creation;
  };
  const Expected expected[] = {
      {L"ut_write_only.txt", unixFt(1600000000), dos, dos},
      {L"ut_zero.txt", 116444736000000000ULL, dos, dos},
      {L"ut_minus_one.txt", 116444735990000000ULL, dos, dos},
      {L"ut_after_large.txt", unixFt(1500000000), unixFt(1500000100), unixFt(1500000200)},
      {L"ut_truncated.txt", unixFt(1600000000), dos, dos},
      {L"ut_block_bound.txt", unixFt(1600000000), dos, dos},
      {L"dos_invalid.txt", 0, 0, 0},
      {L"dos_invalid_ut.txt", unixFt(1600000000), 0, 0},
      {L"ut_second_ignored.txt", unixFt(1400000000), dos, dos},
      {L"ut_local_wins.txt", unixFt(1400000000), dos, dos},
  };
  const bool creationSticks = creationTimeSticks(s.path());
  const uint64_t recent = unixFt(1700000000);
  for (int32_t i = 0; i < 10; ++i) {
    SCOPED_TRACE(i);
    ZipItemInfo info;
    ASSERT_EQ(unpack(a.get(), i, s.path(), &info), ZipResult::Ok);
    EXPECT_STREQ(info.name, expected[i].name);
    EXPECT_EQ(value(info.writeTime), expected[i].write);
    EXPECT_EQ(value(info.accessTime), expected[i].access);
    EXPECT_EQ(value(info.creationTime), expected[i].creation);
    // A time the item does not give is left as the file got it: recent.
    const Times t = timesOf(s / expected[i].name);
    if (expected[i].write) {
      EXPECT_EQ(t.write, expected[i].write);
    } else {
      EXPECT_GT(t.write, recent);
    }
    if (expected[i].access) {
      EXPECT_EQ(t.access, expected[i].access);
    } else {
      EXPECT_GT(t.access, recent);
    }
    if (creationSticks && expected[i].creation) {
      EXPECT_EQ(t.creation, expected[i].creation);
    }
  }
}

TEST(ZipExtract, DescriptionIsCachedForExtraction) {
  Archive a = open("times.zip");
  ASSERT_NE(a, nullptr);
  Scratch s;
  ZipItemInfo info;
  ASSERT_EQ(describeItem(a.get(), 3, &info), ZipResult::Ok);
  EXPECT_EQ(localExtraFieldReads(a.get()), 1u);
  ASSERT_EQ(describeItem(a.get(), 3, &info), ZipResult::Ok);
  ASSERT_EQ(extractItem(a.get(), 3, (s / L"x.txt").c_str()), ZipResult::Ok);
  EXPECT_EQ(localExtraFieldReads(a.get()), 1u);
  EXPECT_EQ(timesOf(s / L"x.txt").access, unixFt(1500000100));
  // Another item is read afresh.
  ASSERT_EQ(extractItem(a.get(), 0, (s / L"y.txt").c_str()), ZipResult::Ok);
  EXPECT_EQ(localExtraFieldReads(a.get()), 2u);
}

TEST(ZipExtract, EncryptedItems) {
  Archive a = open("encrypted.zip");
  ASSERT_NE(a, nullptr);
  Scratch s;
  std::string plain;
  for (int k = 0; k < 30; ++k) plain += "secret runtime bytes\n";
  // The empty password verifies: the reader deciphers, stored and deflated.
  EXPECT_EQ(unpack(a.get(), 0, s.path()), ZipResult::Ok);
  EXPECT_EQ(readAll(s / L"enc_stored.txt"), plain);
  EXPECT_EQ(unpack(a.get(), 1, s.path()), ZipResult::Ok);
  EXPECT_EQ(readAll(s / L"enc_deflated_dd.txt"), plain);
  // A check byte that does not match: the file is made and stays empty.
  EXPECT_EQ(unpack(a.get(), 2, s.path()), ZipResult::WrongPassword);
  EXPECT_TRUE(exists(s / L"enc_wrong.txt"));
  EXPECT_EQ(readAll(s / L"enc_wrong.txt"), "");
}

TEST(ZipExtract, CorruptItemsFailWithTheirResults) {
  Archive a = open("corrupt.zip");
  ASSERT_NE(a, nullptr);
  Scratch s;
  ZipItemInfo info;
  // Local headers that disagree with the central record, and bzip2.
  for (int32_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(describeItem(a.get(), i, &info), ZipResult::CorruptHeader);
    EXPECT_EQ(info.name[0], L'\0');
    EXPECT_EQ(extractItem(a.get(), i, (s / L"corrupt.txt").c_str()), ZipResult::CorruptHeader);
  }
  EXPECT_FALSE(exists(s / L"corrupt.txt"));

  // A CRC-32 mismatch is not reported: the data are written.
  EXPECT_EQ(unpack(a.get(), 5, s.path()), ZipResult::Ok);
  EXPECT_EQ(readAll(s / L"crc_mismatch.txt"), "payload with a wrong crc\n");
  EXPECT_EQ(unpack(a.get(), 6, s.path()), ZipResult::Ok);
  EXPECT_EQ(readAll(s / L"good.txt"), "good\n");
  // Stored data shorter than the recorded size: the partial file stays.
  EXPECT_EQ(unpack(a.get(), 7, s.path()), ZipResult::InflateFailed);
  EXPECT_EQ(readAll(s / L"stored_short.txt"), "only ten b");
  // A deflate stream that does not decode.
  EXPECT_EQ(unpack(a.get(), 8, s.path()), ZipResult::InflateFailed);
  EXPECT_TRUE(exists(s / L"deflate_broken.txt"));

  Archive b = open("extra_past_end.zip");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(describeItem(b.get(), 0, &info), ZipResult::ReadFailed);
  EXPECT_EQ(extractItem(b.get(), 0, (s / L"short_extra.txt").c_str()), ZipResult::ReadFailed);
  EXPECT_FALSE(exists(s / L"short_extra.txt"));
}

TEST(ZipExtract, DamagedCentralDirectoryFailsWithoutHanging) {
  Archive a = open("damaged_central.zip");
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(countOf(a.get()), 3);
  Scratch s;
  ZipItemInfo info;
  const DWORD start = ::GetTickCount();
  EXPECT_EQ(describeItem(a.get(), 1, &info), ZipResult::Unreachable);
  EXPECT_EQ(describeItem(a.get(), 2, &info), ZipResult::Unreachable);
  EXPECT_EQ(extractItem(a.get(), 2, (s / L"third.txt").c_str()), ZipResult::Unreachable);
  for (int k = 0; k < 1000; ++k) describeItem(a.get(), 2, &info);
  EXPECT_LT(::GetTickCount() - start, 10000u);
  // The item before the damage is still there, also after the failures.
  EXPECT_EQ(unpack(a.get(), 0, s.path()), ZipResult::Ok);
  EXPECT_EQ(readAll(s / L"first.txt"), "first\n");
  EXPECT_FALSE(exists(s / L"third.txt"));

  // An end record that counts four items over a directory of three short
  // records (166 bytes): only three can be there.
  Archive b = open("truncated_central.zip");
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(countOf(b.get()), 3);
  EXPECT_EQ(describeItem(b.get(), 2, &info), ZipResult::Ok);
  EXPECT_STREQ(info.name, L"third.txt");

  // A zip64 end record that claims three billion items over a directory of
  // 147 bytes: three are counted, and the walk, done as the update stage does
  // it, ends at the first item the reader cannot step to, having written
  // only the one real item.
  Archive c = open("zip64_billions.zip");
  ASSERT_NE(c, nullptr);
  const int32_t claimed = countOf(c.get());
  EXPECT_EQ(claimed, 147 / 46);
  Scratch t;
  int32_t walked = 0;  // at most four steps, whatever the count
  for (; walked < claimed && walked < 4; ++walked) {
    if (describeItem(c.get(), walked, &info) == ZipResult::Unreachable) break;
    extractItem(c.get(), walked, (t / info.name).c_str());
  }
  EXPECT_EQ(walked, 1);
  EXPECT_EQ(listTree(t.path()), (std::set<std::wstring>{L"\\real.txt"}));
}

TEST(ZipExtract, HostileNamesWriteNothingOutsideTheDestination) {
  Archive a = open("hostile.zip");
  ASSERT_NE(a, nullptr);
  // The destination sits two levels down so that a climb of one or two
  // levels would still land inside the listed prefix.
  Scratch s;
  const std::wstring dest = s / L"outer\\java";
  ::CreateDirectoryW((s / L"outer").c_str(), nullptr);
  ::CreateDirectoryW(dest.c_str(), nullptr);
  ASSERT_TRUE(::SetCurrentDirectoryW(dest.c_str()));
  const std::set<std::wstring> before = listTree(s.path());

  const char* raw[] = {"../evil1.txt",
                       "x:/../evil2.txt",
                       "a/../../evil3.txt",
                       "sub/..",
                       "sub\\..",
                       "..\\evil4.txt",
                       "sub/.../evil5.txt",
                       "sub/.. /evil6.txt",
                       "/../evil7.txt",
                       "C:..\\evil8.txt",
                       "..",
                       "../evildir/"};
  const int32_t hostileCount = 12;
  const int32_t n = countOf(a.get());
  ASSERT_EQ(n, hostileCount + 6);
  for (int32_t i = 0; i < hostileCount; ++i) {
    SCOPED_TRACE(raw[i]);
    ZipItemInfo info;
    EXPECT_EQ(describeItem(a.get(), i, &info), ZipResult::RefusedName);
    EXPECT_EQ(info.name[0], L'\0');
    // Refused however the caller composes the path: from the (cleared)
    // description, from the raw name, or relative to the base folder.
    EXPECT_EQ(extractItem(a.get(), i, (dest + L"\\" + info.name).c_str()), ZipResult::RefusedName);
    EXPECT_EQ(extractItem(a.get(), i, (dest + L"\\" + widen(raw[i])).c_str()),
              ZipResult::RefusedName);
    EXPECT_EQ(extractItem(a.get(), i, widen(raw[i]).c_str()), ZipResult::RefusedName);
  }
  // A NUL inside the raw name ends it; the rest is never seen.
  ZipItemInfo info;
  EXPECT_EQ(unpack(a.get(), 12, dest, &info), ZipResult::Ok);
  EXPECT_STREQ(info.name, L"safe.txt");
  EXPECT_EQ(unpack(a.get(), 13, dest), ZipResult::Ok);
  EXPECT_EQ(unpack(a.get(), 14, dest), ZipResult::Ok);
  // Raw names of 300 and 260 bytes are refused; 259 bytes describe, but
  // joined to the destination they exceed the path buffer.
  EXPECT_EQ(describeItem(a.get(), 15, &info), ZipResult::RefusedName);
  EXPECT_EQ(extractItem(a.get(), 15, (dest + L"\\a").c_str()), ZipResult::RefusedName);
  EXPECT_EQ(describeItem(a.get(), 16, &info), ZipResult::RefusedName);
  EXPECT_EQ(describeItem(a.get(), 17, &info), ZipResult::Ok);
  EXPECT_EQ(std::wstring(info.name), std::wstring(259, L'c'));
  EXPECT_EQ(unpack(a.get(), 17, dest), ZipResult::CannotCreate);

  std::set<std::wstring> after = listTree(s.path());
  std::set<std::wstring> expected = before;
  for (const wchar_t* made : {L"\\outer\\java\\safe.txt", L"\\outer\\java\\ok",
                              L"\\outer\\java\\ok\\inside.txt", L"\\outer\\java\\ok\\dot.txt"}) {
    expected.insert(made);
  }
  EXPECT_EQ(after, expected);
  wchar_t tmp[MAX_PATH];
  ::GetTempPathW(MAX_PATH, tmp);
  for (const wchar_t* evil : {L"evil1.txt", L"evil2.txt", L"evil3.txt", L"evil4.txt", L"evil5.txt",
                              L"evil6.txt", L"evil7.txt", L"evil8.txt", L"evil9.txt", L"evildir"}) {
    EXPECT_FALSE(exists(std::wstring(tmp) + evil));
  }
}

TEST(ZipExtract, InfoZipArchive) {
  Archive a = open("infozip.zip");
  if (!a) {
    GTEST_SKIP() << "Info-ZIP's zip was not available to build the archive";
  }
  Scratch s;
  const int32_t n = countOf(a.get());
  ASSERT_EQ(n, 4);
  for (int32_t i = 0; i < n; ++i) EXPECT_EQ(unpack(a.get(), i, s.path()), ZipResult::Ok);
  EXPECT_TRUE(attributesOf(s / L"jre\\bin") & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(readAll(s / L"jre\\bin\\java.exe"), payload(70000, 11));
  EXPECT_EQ(readAll(s / L"jre\\release"), "JAVA_VERSION=\"17\"\n");
  EXPECT_EQ(timesOf(s / L"jre\\release").write, unixFt(1600000000));
  EXPECT_TRUE(attributesOf(s / L"jre\\release") & FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_FALSE(attributesOf(s / L"jre\\release") & FILE_ATTRIBUTE_READONLY);
}

}  // namespace
}  // namespace vx
