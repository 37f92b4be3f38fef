// Placeholder filling and the restart-marker search: the parts of the launch
// that need no platform interface.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "launch/launch_command.h"
#include "launch/marker_scan.h"

namespace {

TEST(ReplaceFirst, ReplacesOnlyTheFirstExactOccurrence) {
  std::wstring text = L"a %launcher% b %launcher%";
  EXPECT_TRUE(replace_first(text, L"%launcher%", L"X"));
  EXPECT_EQ(text, L"a X b %launcher%");

  // Case-sensitive, and a missing placeholder leaves the text alone.
  std::wstring upper = L"%JAVA%\\bin";
  EXPECT_FALSE(replace_first(upper, L"%java%", L"D:\\j"));
  EXPECT_EQ(upper, L"%JAVA%\\bin");

  // A replacement that holds the placeholder is not expanded again.
  std::wstring nested = L"%java%";
  EXPECT_TRUE(replace_first(nested, L"%java%", L"%java%%java%"));
  EXPECT_EQ(nested, L"%java%%java%");

  // Placeholder at the very end, and an empty placeholder that never matches.
  std::wstring tail = L"-u %updater_path%";
  EXPECT_TRUE(replace_first(tail, L"%updater_path%", L""));
  EXPECT_EQ(tail, L"-u ");
  EXPECT_FALSE(replace_first(tail, L"", L"x"));
  EXPECT_EQ(tail, L"-u ");
}

TEST(BuildLaunchCommand, FillsThePlaceholdersWithTheirQuoting) {
  const LaunchCommand command =
      build_launch_command(L"%java%\\bin\\run.exe", L"-jar %launcher% -u %updater_path%", L"D:\\j",
                           L"D:\\l.jar", L"D:\\b.exe");
  EXPECT_EQ(command.application, L"D:\\j\\bin\\run.exe");
  EXPECT_EQ(command.command_line, L"-jar \"D:\\l.jar\" -u \"D:\\b.exe\"");

  // Paths with blanks and non-ASCII letters go in whole, inside the quotes.
  const LaunchCommand spaced =
      build_launch_command(L"%java%\\bin\\java.exe", L"java -jar %launcher%",
                           L"C:\\Users\\Иван Петров\\java", L"C:\\Users\\Иван Петров\\l.jar", L"");
  EXPECT_EQ(spaced.application, L"C:\\Users\\Иван Петров\\java\\bin\\java.exe");
  EXPECT_EQ(spaced.command_line, L"java -jar \"C:\\Users\\Иван Петров\\l.jar\"");
}

TEST(BuildLaunchCommand, LeavesWhatItMustNotFill) {
  // The second "%launcher%", and "%java%" in the command line, stay as they are.
  const LaunchCommand twice =
      build_launch_command(L"%java%\\bin\\java.exe", L"%java% -jar %launcher% %launcher%", L"D:\\j",
                           L"D:\\l.jar", L"D:\\b.exe");
  EXPECT_EQ(twice.command_line, L"%java% -jar \"D:\\l.jar\" %launcher%");

  // A java_path without "%java%" is used unchanged; "%launcher%" is not
  // looked for there.
  const LaunchCommand fixed = build_launch_command(L"C:\\jre\\%launcher%\\java.exe", L"", L"D:\\j",
                                                   L"D:\\l.jar", L"D:\\b.exe");
  EXPECT_EQ(fixed.application, L"C:\\jre\\%launcher%\\java.exe");
  EXPECT_EQ(fixed.command_line, L"");

  // Without the program's own path "%updater_path%" stays in place.
  const LaunchCommand no_self =
      build_launch_command(L"%java%", L"-u %updater_path%", L"D:\\j", L"D:\\l.jar", L"");
  EXPECT_EQ(no_self.command_line, L"-u %updater_path%");
}

const std::string kMarker = kRestartMarker;

bool feed(RestartMarkerScanner& scanner, const std::string& chunk) {
  return scanner.feed(chunk.data(), chunk.size());
}

TEST(RestartMarkerScanner, FindsTheMarkerWholeOrSplitAnywhere) {
  ASSERT_EQ(kMarker.size(), 34u);

  RestartMarkerScanner whole;
  EXPECT_FALSE(feed(whole, "Starting...\n"));
  EXPECT_TRUE(feed(whole, "log line\n" + kMarker + "\nmore text"));
  EXPECT_TRUE(whole.found());
  EXPECT_TRUE(feed(whole, "later output"));  // stays found

  // Every split point, including the 19 + 15 of a launcher that flushes mid-line,
  // with unrelated text around both halves.
  for (std::size_t cut = 1; cut < kMarker.size(); ++cut) {
    RestartMarkerScanner split;
    EXPECT_FALSE(feed(split, "abc " + kMarker.substr(0, cut))) << cut;
    EXPECT_TRUE(feed(split, kMarker.substr(cut) + " xyz")) << cut;
  }
}

TEST(RestartMarkerScanner, IgnoresNearMisses) {
  RestartMarkerScanner scanner;
  EXPECT_FALSE(feed(scanner, "restart launcher with javaagent...\n"));
  EXPECT_FALSE(feed(scanner, "RESTART LAUNCHER WITH JAVAAGENT...\n"));
  EXPECT_FALSE(feed(scanner, "Restart Launcher with JavaAgent\n"));
  EXPECT_FALSE(feed(scanner, "Restart Launcher with JavaAgent.."));
  EXPECT_FALSE(feed(scanner, "\nRestart  Launcher with JavaAgent..."));
  EXPECT_FALSE(scanner.found());
}

TEST(RestartMarkerScanner, DropsTheRestOfAChunkAfterAZeroByte) {
  // The marker after a zero byte in the same chunk does not count.
  RestartMarkerScanner after_zero;
  EXPECT_FALSE(feed(after_zero, std::string("noise\0", 6) + kMarker));
  EXPECT_FALSE(after_zero.found());
  // A chunk that starts with a zero byte counts for nothing...
  EXPECT_FALSE(feed(after_zero, std::string("\0", 1) + kMarker));
  // ...but the next chunk is read afresh.
  EXPECT_TRUE(feed(after_zero, kMarker));

  // What stands before the zero byte joins the output as usual: here it
  // completes a marker begun in the previous chunk, and the dropped bytes do
  // not separate the two halves.
  RestartMarkerScanner joined;
  EXPECT_FALSE(feed(joined, "Restart Launcher with"));
  EXPECT_TRUE(feed(joined, std::string(" JavaAgent...\0tail", 18)));

  RestartMarkerScanner bridged;
  EXPECT_FALSE(feed(bridged, std::string("Restart Launcher\0junk", 21)));
  EXPECT_TRUE(feed(bridged, " with JavaAgent..."));
}

// The search must give what searching all of the output (each chunk cut at its
// first zero byte) from its first byte would give after every chunk, while
// holding no more than a marker's length of it.
TEST(RestartMarkerScanner, AgreesWithSearchingAllOutputAndStaysBounded) {
  std::mt19937 random(20261208u);
  const std::vector<std::string> pieces = {kMarker.substr(0, 19),
                                           kMarker.substr(19),
                                           kMarker,
                                           "Restart",
                                           " Launcher",
                                           " with",
                                           " JavaAgent",
                                           "...",
                                           ".",
                                           "R",
                                           "xx",
                                           std::string("\0", 1),
                                           "restart"};
  for (int run = 0; run < 400; ++run) {
    std::string output;
    std::string all;
    RestartMarkerScanner scanner;
    bool expected_found = false;
    const int chunks = 1 + static_cast<int>(random() % 40);
    for (int c = 0; c < chunks; ++c) {
      std::string chunk;
      const int parts = static_cast<int>(random() % 5);
      for (int p = 0; p < parts; ++p) chunk += pieces[random() % pieces.size()];
      all += chunk.substr(0, chunk.find('\0'));
      const bool now = all.find(kMarker) != std::string::npos;
      if (!expected_found) {
        ASSERT_EQ(feed(scanner, chunk), now) << "run " << run << " chunk " << c;
        expected_found = now;
      } else {
        ASSERT_TRUE(feed(scanner, chunk));
      }
      ASSERT_LE(scanner.retained(), kMarker.size() - 1);
    }
  }
}

TEST(RestartMarkerScanner, KeepsOnlyAMarkersLengthOfALongOutput) {
  // A chatty launcher: megabytes of output before the marker.
  RestartMarkerScanner scanner;
  const std::string line(1024, 'a');
  for (int i = 0; i < 4096; ++i) {
    ASSERT_FALSE(feed(scanner, line));
    ASSERT_LE(scanner.retained(), kMarker.size() - 1);
  }
  EXPECT_TRUE(feed(scanner, line + kMarker));
}

}  // namespace
