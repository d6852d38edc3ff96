#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>

#include <gtest/gtest.h>

#include "runtime/SpecialPaths.h"

namespace {

namespace fs = std::filesystem;
using KVO::SpecialPathId;
using KVO::SpecialPaths;

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
      {"/home/op", 4, "x", "/home/op/Documents/x"},
      {"/home/op", 4, "\\x", "/home/op/Documents//x"},
      {"/home/op", 1, "", "/home/op/"},
      {"/home/op", -1, "x", "/home/op/x"},
      {"/home/op", 255, "Documents", "/home/op/Documents"},
      {"\\srv\\users\\op", 4, "x", "/srv/users/op/Documents/x"},
      {"/home/op/", 1, "x", "/home/op//x"},
      {nullptr, 0, "a\\\\b//c\\", "a//b//c/"},
      {nullptr, 1, "x", "<logic_error>"},
      {nullptr, 4, "x", "<logic_error>"},
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
  std::setlocale(LC_CTYPE, locale.c_str());
}

TEST(ExecutablePathTest, NamesThisTestBinary) {
  const std::string full = SpecialPaths::GetExecutablePath(true);
  // argv[0] as the process was started, resolved independently of /proc.
  EXPECT_EQ(fs::canonical(program_invocation_name).string(), full);
  EXPECT_EQ(full.substr(0, full.rfind('/') + 1), SpecialPaths::GetExecutablePath(false));
}

}  // namespace
