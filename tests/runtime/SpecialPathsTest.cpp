#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/SpecialPaths.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using KVO::SpecialPathId;
using KVO::SpecialPaths;

constexpr char kReportVariable[] = "TOLVENIX_TEST_REPORT_EXECUTABLE_PATH";

// When this binary is started as a relocated copy (see
// ExecutablePathLongerThan255BytesIsReadWhole), it writes what it finds as
// its own path into the file the variable names and leaves before any test.
[[maybe_unused]] const bool kReportedAsChild = [] {
  const char* reportPath = std::getenv(kReportVariable);
  if (reportPath == nullptr) {
    return false;
  }
  std::ofstream report(reportPath, std::ios::binary);
  report << SpecialPaths::GetExecutablePath(true) << '\n'
         << SpecialPaths::GetExecutablePath(false) << '\n';
  report.close();
  _exit(report ? 0 : 1);
}();

// Saves HOME and LC_CTYPE before each test and puts them back afterwards, so
// tests may set, unset and switch them freely.
class SpecialPathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* home = std::getenv("HOME")) {
      savedHome_ = home;
    }
    savedLocale_ = std::setlocale(LC_CTYPE, nullptr);
  }

  void TearDown() override {
    if (savedHome_) {
      setenv("HOME", savedHome_->c_str(), 1);
    } else {
      unsetenv("HOME");
    }
    std::setlocale(LC_CTYPE, savedLocale_.c_str());
  }

  static void SetHome(const char* home) { ASSERT_EQ(0, setenv("HOME", home, 1)); }
  static void UnsetHome() { ASSERT_EQ(0, unsetenv("HOME")); }
  static bool UseUtf8Locale() { return std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr; }

  static std::wstring Widen(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
  }

 private:
  std::optional<std::string> savedHome_;
  std::string savedLocale_;
};

TEST_F(SpecialPathsTest, RelativeIdNormalisesWithoutReadingHome) {
  UnsetHome();
  std::string path = "stale";
  EXPECT_TRUE(SpecialPaths::GetSystemPath(KVO::SpecialPath_None, "a\\b/c", path));
  EXPECT_EQ("a/b/c", path);

  std::wstring widePath = L"stale";
  EXPECT_TRUE(SpecialPaths::GetSystemPath(KVO::SpecialPath_None, L"a\\b/c", widePath));
  EXPECT_EQ(L"a/b/c", widePath);
}

TEST_F(SpecialPathsTest, UnsetHomeIsRefusedWithLogicErrorAndEmptyPath) {
  UnsetHome();
  for (int id : {1, 4, 9}) {
    std::string path = "stale";
    EXPECT_THROW(SpecialPaths::GetSystemPath(static_cast<SpecialPathId>(id), "x", path),
                 std::logic_error)
        << "id " << id;
    EXPECT_TRUE(path.empty()) << "id " << id;

    std::wstring widePath = L"stale";
    EXPECT_THROW(SpecialPaths::GetSystemPath(static_cast<SpecialPathId>(id), L"x", widePath),
                 std::logic_error)
        << "id " << id;
    EXPECT_TRUE(widePath.empty()) << "id " << id;
  }
}

TEST_F(SpecialPathsTest, BackslashesInHomeBecomeSlashes) {
  SetHome("\\srv\\users\\op");
  std::string path;
  EXPECT_TRUE(SpecialPaths::GetSystemPath(KVO::SpecialPath_Documents, "x", path));
  EXPECT_EQ("/srv/users/op/Documents/x", path);

  std::wstring widePath;
  EXPECT_TRUE(SpecialPaths::GetSystemPath(KVO::SpecialPath_Documents, L"x", widePath));
  EXPECT_EQ(L"/srv/users/op/Documents/x", widePath);
}

TEST_F(SpecialPathsTest, TrailingSlashInHomeIsKeptDoubled) {
  SetHome("/home/op/");
  std::string path;
  SpecialPaths::GetSystemPath(KVO::SpecialPath_Home, "x", path);
  EXPECT_EQ("/home/op//x", path);
}

TEST_F(SpecialPathsTest, NonAsciiHomeConvertsToWideUnderUtf8Locale) {
  if (!UseUtf8Locale()) {
    GTEST_SKIP() << "no UTF-8 locale installed";
  }
  SetHome("/home/Jos\xc3\xa9");
  std::wstring widePath = L"stale";
  EXPECT_TRUE(SpecialPaths::GetSystemPath(KVO::SpecialPath_Documents, L"x", widePath));
  EXPECT_EQ(L"/home/Jos\u00e9/Documents/x", widePath);

  std::string path;
  SpecialPaths::GetSystemPath(KVO::SpecialPath_Documents, "x", path);
  EXPECT_EQ("/home/Jos\xc3\xa9/Documents/x", path);
}

TEST_F(SpecialPathsTest, UnconvertibleHomeLeavesWideHomePartEmpty) {
  if (!UseUtf8Locale()) {
    GTEST_SKIP() << "no UTF-8 locale installed";
  }
  SetHome("/home/\xff\xfe");
  std::wstring widePath = L"stale";
  EXPECT_TRUE(SpecialPaths::GetSystemPath(KVO::SpecialPath_Documents, L"x", widePath));
  EXPECT_EQ(L"/Documents/x", widePath);
  EXPECT_TRUE(SpecialPaths::GetSystemPath(KVO::SpecialPath_Home, L"y\\z", widePath));
  EXPECT_EQ(L"/y/z", widePath);
}

struct SystemPathCase {
  int id;
  const char* subPath;
  const char* expected;
};

void PrintTo(const SystemPathCase& c, std::ostream* os) {
  *os << "id " << c.id << ", sub-path \"" << c.subPath << "\"";
}

class SystemPathWithHomeTest : public SpecialPathsTest,
                               public ::testing::WithParamInterface<SystemPathCase> {};

TEST_P(SystemPathWithHomeTest, NarrowAndWideFormsAgree) {
  SetHome("/home/op");
  const SystemPathCase& c = GetParam();
  const auto id = static_cast<SpecialPathId>(c.id);

  std::string path = "stale";
  EXPECT_TRUE(SpecialPaths::GetSystemPath(id, c.subPath, path));
  EXPECT_EQ(c.expected, path);

  std::wstring widePath = L"stale";
  EXPECT_TRUE(SpecialPaths::GetSystemPath(id, Widen(c.subPath), widePath));
  EXPECT_EQ(Widen(c.expected), widePath);
}

INSTANTIATE_TEST_SUITE_P(Ids, SystemPathWithHomeTest,
                         ::testing::Values(SystemPathCase{0, "x", "x"}, SystemPathCase{0, "", ""},
                                           SystemPathCase{4, "x", "/home/op/Documents/x"},
                                           SystemPathCase{4, "\\x", "/home/op/Documents//x"},
                                           SystemPathCase{1, "", "/home/op/"},
                                           SystemPathCase{2, "a\\b", "/home/op/a/b"},
                                           SystemPathCase{3, "/x", "/home/op//x"},
                                           SystemPathCase{5, "x", "/home/op/x"},
                                           SystemPathCase{-1, "x", "/home/op/x"},
                                           SystemPathCase{255, "Documents", "/home/op/Documents"}));

TEST(NormalisePathTest, TurnsEverySeparatorIntoSlash) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {"plain", "plain"},
      {"\\", "/"},
      {"a\\\\b//c\\", "a//b//c/"},
      {"C:\\dir\\file.txt", "C:/dir/file.txt"},
  };
  for (const auto& [input, expected] : cases) {
    std::string narrow = input;
    SpecialPaths::NormalisePath(narrow);
    EXPECT_EQ(expected, narrow) << input;

    std::wstring wide(input.begin(), input.end());
    SpecialPaths::NormalisePath(wide);
    EXPECT_EQ(std::wstring(expected.begin(), expected.end()), wide) << input;
  }
}

TEST(BuildPathTest, AcceptsWithoutCreatingAnything) {
  const fs::path missing = fs::temp_directory_path() / "tolvenix-build-path-never-created";
  std::string error = "untouched";
  EXPECT_TRUE(SpecialPaths::BuildPath(missing.string() + "/a/b", &error));
  std::wstring wideError = L"untouched";
  EXPECT_TRUE(SpecialPaths::BuildPath(missing.wstring() + L"/a/b", &wideError));
  EXPECT_FALSE(fs::exists(missing));
  EXPECT_EQ("untouched", error);
  EXPECT_EQ(L"untouched", wideError);
}

TEST(ExecutablePathTest, NamesThisTestBinary) {
  const std::string full = SpecialPaths::GetExecutablePath(true);
  ASSERT_FALSE(full.empty());
  EXPECT_EQ('/', full.front());
  // argv[0] as the process was started, resolved independently of /proc.
  EXPECT_EQ(fs::canonical(program_invocation_name).string(), full);

  struct stat viaPath {};
  struct stat viaProc {};
  ASSERT_EQ(0, stat(full.c_str(), &viaPath));
  ASSERT_EQ(0, stat("/proc/self/exe", &viaProc));
  EXPECT_EQ(viaProc.st_ino, viaPath.st_ino);
  EXPECT_EQ(viaProc.st_dev, viaPath.st_dev);

  const std::string directory = SpecialPaths::GetExecutablePath(false);
  EXPECT_EQ(full.substr(0, full.rfind('/') + 1), directory);
  EXPECT_EQ('/', directory.back());
}

// Runs a copy of this binary from a directory whose path is far longer than
// 255 bytes; the copy reports its own path (see kReportedAsChild).
TEST(ExecutablePathTest, ExecutablePathLongerThan255BytesIsReadWhole) {
  char rootTemplate[] = "/tmp/tolvenix-exe-path-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(rootTemplate));
  const fs::path root = fs::canonical(rootTemplate);
  const fs::path deepDirectory =
      root / std::string(120, 'd') / std::string(120, 'e') / std::string(60, 'f');
  fs::create_directories(deepDirectory);
  const fs::path copy = deepDirectory / "SpecialPathsTest";
  fs::copy_file("/proc/self/exe", copy);
  fs::permissions(copy, fs::perms::owner_all);
  ASSERT_GT(copy.string().size(), 300u);

  const fs::path reportPath = root / "report.txt";
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    environment.emplace_back(*entry);
  }
  environment.push_back(std::string(kReportVariable) + "=" + reportPath.string());
  std::vector<char*> envp;
  for (std::string& entry : environment) {
    envp.push_back(entry.data());
  }
  envp.push_back(nullptr);
  std::string program = copy.string();
  char* argv[] = {program.data(), nullptr};

  pid_t child = 0;
  ASSERT_EQ(0, posix_spawn(&child, program.c_str(), nullptr, nullptr, argv, envp.data()));
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));

  std::ifstream report(reportPath);
  std::string reportedFull;
  std::string reportedDirectory;
  std::getline(report, reportedFull);
  std::getline(report, reportedDirectory);
  EXPECT_EQ(copy.string(), reportedFull);
  EXPECT_EQ(deepDirectory.string() + "/", reportedDirectory);

  fs::remove_all(root);
}

}  // namespace
