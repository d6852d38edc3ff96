#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>

#include <gtest/gtest.h>

#include "runtime/SpecialPaths.h"
#include "tests/support/TestSupport.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using KVO::SpecialPathId;
using KVO::SpecialPaths;

constexpr char kReportVariable[] = "TOLVENIX_TEST_REPORT_EXECUTABLE_PATH";

// Started as a relocated copy (see PathLongerThan255BytesIsReadWhole), this
// binary writes what it finds as its own path into the file the variable
// names and leaves before any test.
[[maybe_unused]] const bool kReportedAsChild = [] {
  const char* reportPath = std::getenv(kReportVariable);
  if (reportPath == nullptr) return false;
  std::ofstream report(reportPath, std::ios::binary);
  report << SpecialPaths::GetExecutablePath(true) << '\n'
         << SpecialPaths::GetExecutablePath(false) << '\n';
  report.close();
  testsupport::ExitChild(report ? 0 : 1);
}();

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// Each case sets or clears HOME itself, so no test depends on another's.
void SetHome(const char* home) { ASSERT_EQ(0, home ? setenv("HOME", home, 1) : unsetenv("HOME")); }

// Both forms of GetSystemPath into stale strings; a refusal comes back as
// "<false>", or "<logic_error>" when it threw and emptied the path.
std::pair<std::string, std::wstring> BothForms(int id, const std::string& subPath) {
  const auto pathId = static_cast<SpecialPathId>(id);
  std::string narrow = "stale";
  std::wstring wide = L"stale";
  try {
    if (!SpecialPaths::GetSystemPath(pathId, subPath, narrow)) narrow = "<false>";
  } catch (const std::logic_error&) {
    if (narrow.empty()) narrow = "<logic_error>";
  }
  try {
    if (!SpecialPaths::GetSystemPath(pathId, Widen(subPath), wide)) wide = L"<false>";
  } catch (const std::logic_error&) {
    if (wide.empty()) wide = L"<logic_error>";
  }
  return {narrow, wide};
}

// Id 0 uses the sub-path alone, 4 adds "Documents" to the home, every other
// id takes the home; separators are normalised (as NormalisePath does),
// doubled slashes kept. Without HOME only id 0 answers.
TEST(SpecialPathsTest, NarrowAndWideFormsJoinHomeIdAndSubPath) {
  // HOME, id, sub-path, expected
  const std::tuple<const char*, int, const char*, const char*> kCases[] = {
      {"/home/op", 0, "x", "x"},
      {"/home/op", 0, "", ""},
      {"/home/op", 4, "x", "/home/op/Documents/x"},
      {"/home/op", 4, "\\x", "/home/op/Documents//x"},
      {"/home/op", 1, "", "/home/op/"},
      {"/home/op", 2, "a\\b", "/home/op/a/b"},
      {"/home/op", 3, "/x", "/home/op//x"},
      {"/home/op", 5, "x", "/home/op/x"},
      {"/home/op", -1, "x", "/home/op/x"},
      {"/home/op", 255, "Documents", "/home/op/Documents"},
      {"\\srv\\users\\op", 4, "x", "/srv/users/op/Documents/x"},
      {"/home/op/", 1, "x", "/home/op//x"},
      {nullptr, 0, "a\\\\b//c\\", "a//b//c/"},
      {nullptr, 1, "x", "<logic_error>"},
      {nullptr, 4, "x", "<logic_error>"},
      {nullptr, 9, "x", "<logic_error>"},
  };
  for (const auto& [home, id, subPath, expected] : kCases) {
    SetHome(home);
    EXPECT_EQ(std::make_pair(std::string(expected), Widen(expected)), BothForms(id, subPath))
        << (home ? home : "no HOME") << ", id " << id;
  }
}

// A home that is not valid UTF-8 leaves the wide form's home part empty.
TEST(SpecialPathsTest, NonAsciiHomeConvertsToWideUnderUtf8Locale) {
  const std::string locale = std::setlocale(LC_CTYPE, nullptr);
  if (!std::setlocale(LC_CTYPE, "C.UTF-8")) GTEST_SKIP() << "no UTF-8 locale installed";
  SetHome("/home/Jos\xc3\xa9");
  EXPECT_EQ(std::make_pair(std::string("/home/Jos\xc3\xa9/Documents/x"),
                           std::wstring(L"/home/Jos\u00e9/Documents/x")),
            BothForms(4, "x"));
  SetHome("/home/\xff\xfe");
  EXPECT_EQ(L"/Documents/x", BothForms(4, "x").second);
  EXPECT_EQ(L"/y/z", BothForms(1, "y\\z").second);
  std::setlocale(LC_CTYPE, locale.c_str());
}

TEST(ExecutablePathTest, NamesThisTestBinary) {
  const std::string full = SpecialPaths::GetExecutablePath(true);
  // argv[0] as the process was started, resolved independently of /proc.
  EXPECT_EQ(fs::canonical(program_invocation_name).string(), full);
  EXPECT_EQ(full.substr(0, full.rfind('/') + 1), SpecialPaths::GetExecutablePath(false));
}

// Runs a copy of this binary from a folder whose path is far longer than 255
// bytes; the copy reports its own path (see kReportedAsChild).
TEST(ExecutablePathTest, PathLongerThan255BytesIsReadWhole) {
  testsupport::TempDir scratch("tolvenix-exe-path");
  ASSERT_FALSE(scratch.Root().empty());
  const fs::path root = fs::canonical(scratch.Root());
  const fs::path deepDirectory =
      root / std::string(120, 'd') / std::string(120, 'e') / std::string(60, 'f');
  fs::create_directories(deepDirectory);
  const fs::path copy = deepDirectory / "RuntimeTest";
  fs::copy_file("/proc/self/exe", copy);
  fs::permissions(copy, fs::perms::owner_all);
  ASSERT_GT(copy.string().size(), 300u);

  const fs::path reportPath = root / "report.txt";
  std::string program = copy.string();
  char* argv[] = {program.data(), nullptr};
  ASSERT_EQ(0, setenv(kReportVariable, reportPath.c_str(), 1));
  pid_t child = 0;
  const int spawned = posix_spawn(&child, program.c_str(), nullptr, nullptr, argv, environ);
  unsetenv(kReportVariable);
  ASSERT_EQ(0, spawned);
  EXPECT_EQ(0, testsupport::WaitForExit(child));

  std::ifstream report(reportPath);
  std::string reportedFull;
  std::string reportedDirectory;
  std::getline(report, reportedFull);
  std::getline(report, reportedDirectory);
  EXPECT_EQ(program, reportedFull);
  EXPECT_EQ(deepDirectory.string() + "/", reportedDirectory);
}

// Where /proc is not mounted (a sandbox may leave it out) the path cannot
// be read: both forms answer empty, and the failed read is reported on
// standard error. Run in a child that hides /proc in a mount namespace of
// its own, with standard error sent to a file.
TEST(ExecutablePathTest, WithoutProcIsEmptyAndTheFailureReported) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can hide /proc";
  testsupport::TempDir scratch("tolvenix-exe-path");
  ASSERT_FALSE(scratch.Root().empty());
  const std::string errors = scratch.Path("stderr");
  constexpr int kCannotHideProc = 42;
  const pid_t child = fork();
  if (child == 0) {
    const int file = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (file == -1 || dup2(file, 2) != 2) testsupport::ExitChild(2);
    if (!testsupport::HideProc()) testsupport::ExitChild(kCannotHideProc);
    const bool empty = SpecialPaths::GetExecutablePath(true).empty() &&
                       SpecialPaths::GetExecutablePath(false).empty();
    testsupport::ExitChild(empty ? 0 : 1);
  }
  const int code = testsupport::WaitForExit(child);
  if (code == kCannotHideProc) GTEST_SKIP() << "no mount namespace here to hide /proc in";
  EXPECT_EQ(0, code);
  const std::string line = "readlink: " + std::string(std::strerror(ENOENT)) + "\n";
  const testsupport::Bytes reported = testsupport::ReadWholeFile(errors);
  EXPECT_EQ(line + line, std::string(reported.begin(), reported.end()));
}

// BuildPath creates nothing and leaves the caller's error text alone.
TEST(BuildPathTest, AcceptsWithoutCreatingAnything) {
  testsupport::TempDir scratch("tolvenix-build-path");
  ASSERT_FALSE(scratch.Root().empty());
  const fs::path missing = fs::path(scratch.Path("never-created")) / "a" / "b";
  std::string error = "untouched";
  std::wstring wideError = L"untouched";
  EXPECT_TRUE(SpecialPaths::BuildPath(missing.string(), &error));
  EXPECT_TRUE(SpecialPaths::BuildPath(missing.wstring(), &wideError));
  EXPECT_TRUE(fs::is_empty(scratch.Root()));
  EXPECT_EQ(std::make_pair(std::string("untouched"), std::wstring(L"untouched")),
            std::make_pair(error, wideError));
}

}  // namespace
