// Fingerprints of bytes, files and folders, and the size rules around them.
#include "update/fingerprint.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

uint32_t hash_of(const std::string& text, uint32_t seed) {
  return vx::murmur3_x86_32(text.data(), text.size(), seed);
}

// A fresh folder under the system's temporary folder, removed afterwards.
class TempFolder {
 public:
  TempFolder() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = fs::temp_directory_path() /
            (std::string("vx-fingerprint-") + info->test_suite_name() + "-" + info->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  ~TempFolder() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  fs::path write(const std::string& name, const std::string& content) {
    const fs::path path = root_ / name;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  const fs::path& root() const { return root_; }

 private:
  fs::path root_;
};

TEST(Murmur3, PublishedVectorsIncludingEveryTailLength) {
  EXPECT_EQ(hash_of("", 0), 0u);
  EXPECT_EQ(hash_of("", 1), 0x514E28B7u);
  EXPECT_EQ(hash_of("", 0xffffffffu), 0x81F16F39u);
  EXPECT_EQ(hash_of(std::string(4, '\0'), 0), 0x2362F9DEu);
  const uint32_t seed = 0x9747b28cu;
  EXPECT_EQ(hash_of("a", seed), 0x7FA09EA6u);
  EXPECT_EQ(hash_of("aa", seed), 0x5D211726u);
  EXPECT_EQ(hash_of("aaa", seed), 0x283E0130u);
  EXPECT_EQ(hash_of("aaaa", seed), 0x5A97808Au);
  EXPECT_EQ(hash_of("ab", seed), 0x74875592u);
  EXPECT_EQ(hash_of("abc", seed), 0xC84A62DDu);
  EXPECT_EQ(hash_of("abcd", seed), 0xF0478627u);
  EXPECT_EQ(hash_of("Hello, world!", seed), 0x24884CBAu);
  EXPECT_EQ(hash_of("The quick brown fox jumps over the lazy dog", seed), 0x2FA826CDu);
  EXPECT_EQ(hash_of("abc", 0), 0xb3dd93fau);
}

TEST(Murmur3, BytesAboveSevenBitsAndUnalignedInput) {
  // High bytes must not sign-extend into the block.
  const std::string high = "\xff\xfe\xfd\xfc\xfb";
  std::vector<char> shifted(high.size() + 1);
  std::memcpy(shifted.data() + 1, high.data(), high.size());
  EXPECT_EQ(vx::murmur3_x86_32(shifted.data() + 1, high.size()), hash_of(high, 0));
  EXPECT_NE(hash_of(high, 0), hash_of(std::string("\x7f\x7e\x7d\x7c\x7b"), 0));
}

// Fed in pieces, the hasher gives the one-shot digest whatever the split:
// every length up to 67 in three pieces cut at every point, and longer input
// in pieces of 1, 3, 5 and 7 bytes.
TEST(Murmur3, PiecewiseEqualsOneShot) {
  std::string data(300, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 37 + 200);
  for (size_t length = 0; length <= 67; ++length) {
    for (size_t cut = 0; cut <= length; ++cut) {
      vx::Murmur3Hasher hasher(0x9747b28cu);
      hasher.update(data.data(), cut / 2);
      hasher.update(data.data() + cut / 2, cut - cut / 2);
      hasher.update(data.data() + cut, length - cut);
      ASSERT_EQ(hasher.finish(), vx::murmur3_x86_32(data.data(), length, 0x9747b28cu))
          << length << " bytes cut at " << cut / 2 << " and " << cut;
    }
  }
  for (const size_t piece : {1, 3, 5, 7}) {
    vx::Murmur3Hasher hasher;
    for (size_t at = 0; at < data.size(); at += piece) {
      hasher.update(data.data() + at, std::min(piece, data.size() - at));
    }
    EXPECT_EQ(hasher.finish(), vx::murmur3_x86_32(data.data(), data.size())) << piece;
  }
}

TEST(Fingerprint, TextIsLowercaseHexLeastSignificantByteFirst) {
  EXPECT_EQ(vx::fingerprint_text(0x0a0b0c0du), "0d0c0b0a");
  EXPECT_EQ(vx::fingerprint_of("abc", 3), "fa93ddb3");
  EXPECT_EQ(vx::fingerprint_of("abcd", 4), "6a67ed43");
  EXPECT_EQ(vx::fingerprint_of("", 0), "00000000");
}

TEST(Fingerprint, FolderJoinsDistinctSortedFingerprints) {
  EXPECT_EQ(vx::folder_fingerprint_of({"fa93ddb3", "6a67ed43"}), "7132be8e");
  EXPECT_EQ(vx::folder_fingerprint_of({"6a67ed43", "fa93ddb3", "fa93ddb3", "6a67ed43"}),
            "7132be8e");
  EXPECT_EQ(vx::folder_fingerprint_of({}), "00000000");
  EXPECT_EQ(vx::folder_fingerprint_of({"fa93ddb3"}), vx::fingerprint_of("fa93ddb3", 8));
}

TEST(FileFingerprint, ContentEmptyAndMissingFiles) {
  TempFolder folder;
  const fs::path abc = folder.write("abc.bin", "abc");
  const fs::path empty = folder.write("empty.bin", "");
  const fs::path missing = folder.root() / "missing.bin";
  EXPECT_EQ(vx::file_size_of(abc), 3);
  EXPECT_EQ(vx::file_fingerprint_of(abc), "fa93ddb3");
  EXPECT_EQ(vx::file_size_of(empty), 0);
  EXPECT_EQ(vx::file_fingerprint_of(empty), "00000000");
  EXPECT_EQ(vx::file_size_of(missing), -1);
  EXPECT_EQ(vx::file_fingerprint_of(missing), "00000000");
  // A folder is not a file.
  EXPECT_EQ(vx::file_fingerprint_of(folder.root()), "00000000");
  // Read in pieces: a file that ends three bytes into its third piece.
  std::string long_content(2 * vx::kFingerprintChunk + 3, '\0');
  for (size_t i = 0; i < long_content.size(); ++i) long_content[i] = static_cast<char>(i % 251);
  const fs::path long_file = folder.write("long.bin", long_content);
  EXPECT_EQ(vx::file_fingerprint_of(long_file),
            vx::fingerprint_of(long_content.data(), long_content.size()));
}

// Sizes first, content only when the total matches; equal content counts once
// in the fingerprint and twice in the size. The scratch buffer is reused
// across files of different lengths.
TEST(FolderDigest, SizesThenContent) {
  TempFolder folder;
  const std::string big(100000, 'x');
  const std::vector<fs::path> files = {folder.write("a/abc", "abc"),
                                       folder.write("b/c/abcd", "abcd"), folder.write("big", big),
                                       folder.write("copy", "abc")};
  const int32_t total = 3 + 4 + 100000 + 3;
  const std::string expected = vx::folder_fingerprint_of(
      {"fa93ddb3", "6a67ed43", vx::fingerprint_of(big.data(), big.size())});
  vx::FolderDigest digest = vx::digest_folder_files(files, total);
  EXPECT_TRUE(digest.sizes_match);
  EXPECT_EQ(digest.total_size, total);
  EXPECT_EQ(digest.fingerprint, expected);
  EXPECT_EQ(vx::digest_folder_files(files).fingerprint, expected);

  digest = vx::digest_folder_files(files, total + 1);
  EXPECT_FALSE(digest.sizes_match);
  EXPECT_TRUE(digest.fingerprint.empty());

  digest = vx::digest_folder_files({}, 0);
  EXPECT_TRUE(digest.sizes_match);
  EXPECT_EQ(digest.fingerprint, "00000000");
}

// An unreadable file would add -1 to the total; a manifest size one below
// the rest must not make such a folder match.
TEST(FolderDigest, UnreadableFileNeverMatches) {
  TempFolder folder;
  const std::vector<fs::path> files = {folder.write("abcd", "abcd"), folder.root() / "gone"};
  EXPECT_FALSE(vx::digest_folder_files(files, 3).sizes_match);
  EXPECT_FALSE(vx::digest_folder_files(files, -1).sizes_match);
  EXPECT_FALSE(vx::digest_folder_files(files).sizes_match);
}

// Files of 2 GiB or more never match: cut to 32 bits, a file of 4 GiB + 3
// bytes would pass for a 3-byte file, and two files of 2 GiB - 1 would wrap
// the total. The files are sparse, so they take no disk space.
TEST(FolderDigest, FilesOfTwoGibibytesOrMoreNeverMatch) {
  TempFolder folder;
  const fs::path huge = folder.write("huge", "");
  fs::resize_file(huge, (uint64_t{1} << 32) + 3);
  EXPECT_EQ(vx::file_size_of(huge), -1);
  EXPECT_EQ(vx::file_fingerprint_of(huge), "00000000");
  EXPECT_FALSE(vx::digest_folder_files({huge}, 3).sizes_match);

  const fs::path at_limit = folder.write("limit", "");
  fs::resize_file(at_limit, uint64_t{1} << 31);
  EXPECT_EQ(vx::file_size_of(at_limit), -1);

  const fs::path below_a = folder.write("below_a", "");
  const fs::path below_b = folder.write("below_b", "");
  fs::resize_file(below_a, (uint64_t{1} << 31) - 1);
  fs::resize_file(below_b, (uint64_t{1} << 31) - 1);
  EXPECT_EQ(vx::file_size_of(below_a), 2147483647);
  // 2 * (2^31 - 1) wraps to -2 in 32 bits.
  EXPECT_FALSE(vx::digest_folder_files({below_a, below_b}, -2).sizes_match);
  EXPECT_FALSE(vx::digest_folder_files({below_a, below_b}).sizes_match);
}

}  // namespace
