#include "runtime/SpecialPaths.h"

#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace KVO {

namespace {

// The environment's HOME, refused deliberately when unset: building a string
// from the null pointer getenv returns would be undefined behaviour.
const char* HomeOrThrow() {
  const char* home = std::getenv("HOME");
  if (home == nullptr) {
    throw std::logic_error("SpecialPaths: HOME is not set");
  }
  return home;
}

// A failed conversion leaves the home part empty rather than failing the
// call. A successful one is kept whatever its length: a multibyte home (any
// non-ASCII name under a UTF-8 locale) yields fewer wide characters than
// bytes and is still the right directory.
std::wstring WidenHome(const std::string& home) {
  std::wstring wide(home.size(), L'\0');
  const std::size_t converted = std::mbstowcs(&wide[0], home.c_str(), wide.size());
  if (converted == static_cast<std::size_t>(-1)) {
    return std::wstring();
  }
  wide.resize(converted);
  return wide;
}

template <typename CharT>
void NormaliseSeparators(std::basic_string<CharT>& path) {
  for (CharT& c : path) {
    if (c == CharT('\\')) {
      c = CharT('/');
    }
  }
}

// Reads a symbolic link whole. readlink does not say whether it truncated,
// so a result that fills the buffer is read again with a larger one. The
// kernel bounds a link's text, so kMaxLinkBytes only guards a broken /proc.
std::string ReadLinkWhole(const std::string& linkPath) {
  constexpr std::size_t kMaxLinkBytes = std::size_t{1} << 20;
  std::vector<char> target(PATH_MAX);
  while (target.size() <= kMaxLinkBytes) {
    const ssize_t readBytes = readlink(linkPath.c_str(), target.data(), target.size());
    if (readBytes < 0) {
      std::perror("readlink");
      return std::string();
    }
    if (static_cast<std::size_t>(readBytes) < target.size()) {
      return std::string(target.data(), static_cast<std::size_t>(readBytes));
    }
    target.resize(target.size() * 2);
  }
  return std::string();
}

}  // namespace

bool SpecialPaths::GetSystemPath(SpecialPathId id, const std::string& subPath, std::string& path,
                                 std::string* /*error*/) {
  path.clear();
  if (id != SpecialPath_None) {
    path = HomeOrThrow();
    path += '/';
    if (id == SpecialPath_Documents) {
      path += "Documents/";
    }
  }
  path += subPath;
  NormalisePath(path);
  return true;
}

bool SpecialPaths::GetSystemPath(SpecialPathId id, const std::wstring& subPath, std::wstring& path,
                                 std::wstring* /*error*/) {
  path.clear();
  if (id != SpecialPath_None) {
    path = WidenHome(HomeOrThrow());
    path += L'/';
    if (id == SpecialPath_Documents) {
      path += L"Documents/";
    }
  }
  path += subPath;
  NormalisePath(path);
  return true;
}

std::string SpecialPaths::GetExecutablePath(bool withFileName) {
  std::string path = ReadLinkWhole("/proc/" + std::to_string(getpid()) + "/exe");
  if (!withFileName) {
    const std::size_t lastSeparator = path.rfind('/');
    path.erase(lastSeparator == std::string::npos ? 0 : lastSeparator + 1);
  }
  return path;
}

void SpecialPaths::NormalisePath(std::string& path) { NormaliseSeparators(path); }

void SpecialPaths::NormalisePath(std::wstring& path) { NormaliseSeparators(path); }

bool SpecialPaths::BuildPath(const std::string& /*path*/, std::string* /*error*/) { return true; }

bool SpecialPaths::BuildPath(const std::wstring& /*path*/, std::wstring* /*error*/) { return true; }

}  // namespace KVO
