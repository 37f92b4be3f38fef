// Reads the resources back from the built Velmorandix.exe.
//
//   resources_test <path to Velmorandix.exe>
// A Unix path is mapped onto Wine's Z: drive.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "resources/resource_ids.h"

namespace {

std::wstring exe_path;

class ExeResources : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExW(exe_path.c_str(), nullptr,
                             LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module_, nullptr) << "cannot load the program's resources";
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
  }
  HMODULE module_ = nullptr;
};

TEST_F(ExeResources, StringsNameTheWindow) {
  wchar_t text[100];
  ASSERT_GT(LoadStringW(module_, IDS_WINDOW_TITLE, text, 100), 0);
  EXPECT_STREQ(text, L"Velmorandix");
  ASSERT_GT(LoadStringW(module_, IDS_WINDOW_CLASS, text, 100), 0);
  EXPECT_STREQ(text, L"VELMORANDIX");
}

// The sizes of the images in an icon group, read from its directory.
std::vector<int> icon_group_sizes(HMODULE module, int id) {
  std::vector<int> sizes;
  HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(id), RT_GROUP_ICON);
  if (!res) return sizes;
  const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(module, res)));
  DWORD length = SizeofResource(module, res);
  if (!data || length < 6) return sizes;
  int count = data[4] | (data[5] << 8);
  for (int i = 0; i < count && 6u + 14u * (i + 1) <= length; ++i) {
    const BYTE* entry = data + 6 + 14 * i;
    int width = entry[0] ? entry[0] : 256;
    int bits = entry[6] | (entry[7] << 8);
    EXPECT_EQ(bits, 32) << "icon " << id << " image " << i;
    sizes.push_back(width);
  }
  return sizes;
}

TEST_F(ExeResources, IconGroupsHoldTheirImages) {
  EXPECT_EQ(icon_group_sizes(module_, IDI_LARGE), (std::vector<int>{256}));
  EXPECT_EQ(icon_group_sizes(module_, IDI_SMALL), (std::vector<int>{48, 32, 16}));
  for (int size : {16, 32, 48}) {
    HANDLE icon = LoadImageW(module_, MAKEINTRESOURCEW(IDI_SMALL), IMAGE_ICON, size, size, 0);
    EXPECT_NE(icon, nullptr) << size;
    if (icon) DestroyIcon(static_cast<HICON>(icon));
  }
  HANDLE large = LoadImageW(module_, MAKEINTRESOURCEW(IDI_LARGE), IMAGE_ICON, 256, 256, 0);
  EXPECT_NE(large, nullptr);
  if (large) DestroyIcon(static_cast<HICON>(large));
}

TEST_F(ExeResources, FontsAreEmbeddedTrueType) {
  for (int id : {IDR_FONT_BOLD, IDR_FONT_REGULAR}) {
    HRSRC res = FindResourceW(module_, MAKEINTRESOURCEW(id), L"BINARY");
    ASSERT_NE(res, nullptr) << id;
    DWORD length = SizeofResource(module_, res);
    EXPECT_GT(length, 100000u);
    const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(module_, res)));
    ASSERT_NE(data, nullptr);
    // A TrueType file starts with version 1.0.
    EXPECT_EQ(data[0], 0);
    EXPECT_EQ(data[1], 1);
    EXPECT_EQ(data[2], 0);
    EXPECT_EQ(data[3], 0);
  }
}

TEST_F(ExeResources, ManifestAsksToRunAsInvoker) {
  HRSRC res = FindResourceW(module_, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(res, nullptr);
  const char* data = static_cast<const char*>(LockResource(LoadResource(module_, res)));
  std::string text(data, SizeofResource(module_, res));
  EXPECT_NE(text.find("level=\"asInvoker\""), std::string::npos);
  EXPECT_NE(text.find("uiAccess=\"false\""), std::string::npos);
}

TEST(VersionBlock, HoldsTheProductFields) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(exe_path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(exe_path.c_str(), 0, size, block.data()));

  struct Translation {
    WORD language, code_page;
  };
  Translation* translations = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                             reinterpret_cast<void**>(&translations), &length));
  ASSERT_EQ(length, sizeof(Translation));
  EXPECT_EQ(translations[0].language, 0x0419);
  EXPECT_EQ(translations[0].code_page, 1200);

  const std::pair<const wchar_t*, const wchar_t*> fields[] = {
      {L"CompanyName", L"Velmorandix"},
      {L"ProductName", L"Velmorandix"},
      {L"FileDescription", L"Velmorandix Launcher"},
      {L"InternalName", L"Velmorandix.exe"},
      {L"OriginalFilename", L"Velmorandix.exe"},
      {L"FileVersion", L"1.0.0"},
      {L"ProductVersion", L"1.0.0"},
  };
  for (const auto& field : fields) {
    std::wstring query = std::wstring(L"\\StringFileInfo\\041904B0\\") + field.first;
    wchar_t* value = nullptr;
    ASSERT_TRUE(
        VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length))
        << "missing field";
    EXPECT_STREQ(value, field.second);
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc < 2) {
    fprintf(stderr, "usage: resources_test <path to Velmorandix.exe>\n");
    return 2;
  }
  std::string path = argv[1];
  if (!path.empty() && path[0] == '/') {
    path = "Z:" + path;
    for (char& c : path)
      if (c == '/') c = '\\';
  }
  exe_path.assign(path.begin(), path.end());
  return RUN_ALL_TESTS();
}
