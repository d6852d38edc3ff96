#ifndef RUNTIME_SPECIALPATHS_H_
#define RUNTIME_SPECIALPATHS_H_

#include <string>

namespace KVO {

// Base of a path built by SpecialPaths::GetSystemPath. Any int value may be
// passed; every value other than the two named below behaves as
// SpecialPath_Home.
enum SpecialPathId : int {
  SpecialPath_None = 0,       // the sub-path alone; HOME is not read
  SpecialPath_Home = 1,       // $HOME + "/" + sub-path
  SpecialPath_Documents = 4,  // $HOME + "/Documents/" + sub-path
};

// Platform paths: the user's home directory, directory separators and the
// running executable. Stateless; any thread may call these, but they read the
// environment with getenv and so must not run while another thread changes it.
// Every path produced uses "/" as its separator; "/" and "\" both count as
// separators on input. No separator is ever removed or merged.
class SpecialPaths {
 public:
  SpecialPaths() = delete;

  // Builds the path for `id` and `subPath` into `path`, whose previous content
  // is discarded. `error` is accepted for callers that pass one and is never
  // written. Always returns true.
  // Throws std::logic_error when `id` is not SpecialPath_None and HOME is not
  // set; `path` is empty by then.
  static bool GetSystemPath(SpecialPathId id, const std::string& subPath, std::string& path,
                            std::string* error = nullptr);

  // Wide form of the above. HOME is converted with mbstowcs under the current
  // LC_CTYPE locale; when that conversion fails the home part is left empty
  // (the path then begins with "/") and the call still returns true.
  // Throws std::logic_error as the narrow form does.
  static bool GetSystemPath(SpecialPathId id, const std::wstring& subPath, std::wstring& path,
                            std::wstring* error = nullptr);

  // The full path of the running executable when `withFileName` is true; its
  // directory with the trailing "/" when false. The link is read whole
  // whatever its length; when it cannot be read whole the result is empty,
  // and a failed read is reported on standard error by perror("readlink").
  // Never throws for a failed read.
  static std::string GetExecutablePath(bool withFileName);

  // Replaces every "/" and "\" of `path`, in place, by "/".
  static void NormalisePath(std::string& path);
  static void NormalisePath(std::wstring& path);

  // Accepted for callers that create a path's directories first: does
  // nothing, writes nothing to `error`, and returns true.
  static bool BuildPath(const std::string& path, std::string* error = nullptr);
  static bool BuildPath(const std::wstring& path, std::wstring* error = nullptr);
};

}  // namespace KVO

#endif  // RUNTIME_SPECIALPATHS_H_
