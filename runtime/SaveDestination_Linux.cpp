#include "runtime/SaveDestination.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace KVO {

namespace {

constexpr int kMaxLinks = 40;   // as the kernel's own limit
constexpr int kMaxLooks = 100;  // looks again at names that changed kind

// Puts the names of `text` on the stack of names still to walk, the first
// one on top. Empty names (from "//" or a final "/") are kept: a final one
// means the path named a folder.
void PushNames(const std::string& text, std::vector<std::string>& pending) {
  std::size_t end = text.size();
  for (;;) {
    const std::size_t slash = end == 0 ? std::string::npos : text.rfind('/', end - 1);
    const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
    pending.push_back(text.substr(start, end - start));
    if (slash == std::string::npos) break;
    end = slash;
  }
}

// The N of a name /proc/<this process>/fd/N (or a thread's fd folder, which
// shares the table). `resolved` is the folder as the kernel names it, so
// /dev/fd, /proc/self and /proc/thread-self have already become the pid.
int OwnDescriptorNamed(const std::string& resolved, const std::string& name) {
  // The kernel names descriptors without leading zeros: "03" is no name
  // there, and opening it fails as it does.
  if (name.empty() || name.size() > 9 || (name.size() > 1 && name[0] == '0') ||
      name.find_first_not_of("0123456789") != std::string::npos) {
    return -1;
  }
  const std::string own = "/proc/" + std::to_string(::getpid());
  if (resolved.compare(0, own.size(), own) != 0) return -1;
  const std::string rest = resolved.substr(own.size());
  const bool ofThread = rest.compare(0, 6, "/task/") == 0 && rest.size() > 9 &&
                        rest.compare(rest.size() - 3, 3, "/fd") == 0;
  return rest == "/fd" || ofThread ? std::stoi(name) : -1;
}

// The path of an open folder, as the kernel names it.
std::string PathOf(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/thread-self/fd/%d", fd);
  char path[PATH_MAX];
  const ssize_t length = ::readlink(link, path, sizeof path);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path) return std::string();
  return std::string(path, static_cast<std::size_t>(length));
}

// Whether the path, from `current` on, names a folder: it ends in "." or
// "..", or in a name and "/" (which the kernel refuses to create without
// looking that name up, or following it where it is a link).
bool NamesFolder(const std::string& current, const std::vector<std::string>& pending) {
  const bool mark = current.empty() || current == "." || current == "..";
  if (pending.empty()) return mark;
  return !mark && std::all_of(pending.begin(), pending.end(),
                              [](const std::string& n) { return n.empty(); });
}

// Answers false with EISDIR, as the kernel refuses a path that names a
// folder, once it has found leave to search the folder it stands in
// (EACCES where it has none).
bool RefuseFolderPath(int folder) {
  struct stat here;
  errno = ::fstatat(folder, ".", &here, 0) != 0 && errno == EACCES ? EACCES : EISDIR;
  return false;
}

bool OnProc(int fd) {
  struct statfs system;
  return ::fstatfs(fd, &system) == 0 && system.f_type == PROC_SUPER_MAGIC;
}

// Opens the folder `path` (O_PATH) where no symbolic link, nor a /proc
// link, lies on the way; -1 where one does, or where the kernel or the C
// library has no openat2 (then the name-by-name walk decides).
int OpenFolderWithoutLinks(const char* path) {
#ifdef SYS_openat2
  open_how how{};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  return static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how));
#else
  (void)path;
  return -1;
#endif
}

}  // namespace

SaveDestination::~SaveDestination() { Reset(); }

void SaveDestination::Reset() {
  if (folder != -1) ::close(folder);
  folder = -1;
  folderKnown = false;
  keepsNames = -1;
  name.clear();
  exists = false;
  throughProc = false;
  descriptor = -1;
}

bool SaveDestination::Enter(int next) {
  if (next == -1) return false;
  if (folder != -1) ::close(folder);
  folder = next;
  folderKnown = false;
  keepsNames = -1;
  return true;
}

const struct stat& SaveDestination::FolderStatus() {
  if (!folderKnown && ::fstat(folder, &folderStatus) != 0) {
    folderStatus = {};
    folderStatus.st_mode = S_IFDIR | S_ISVTX | 0777;
    folderStatus.st_uid = static_cast<uid_t>(-1);
  }
  folderKnown = true;
  return folderStatus;
}

bool SaveDestination::FolderKeepsNames() {
  if (keepsNames < 0) {
    // A folder whose flags cannot be read is taken as an ordinary one.
    struct statx attributes {};
    keepsNames = ::statx(folder, "", AT_EMPTY_PATH, 0, &attributes) == 0 &&
                 (attributes.stx_attributes & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) != 0;
  }
  return keepsNames > 0;
}

bool SaveDestination::Resolve(const char* path) {
  // Only a path that ends in a name: the walk answers for "/", "." and "..".
  const char* slash = std::strrchr(path, '/');
  const std::string last = slash == nullptr ? path : slash + 1;
  if (last.empty() || last == "." || last == "..") return false;
  const std::string parent = slash == nullptr ? std::string(".")
                             : slash == path  ? std::string("/")
                                              : std::string(path, slash);
  const int fd = OpenFolderWithoutLinks(parent.c_str());
  if (fd == -1) return false;
  folder = fd;
  struct stat found;
  const bool known = ::fstatat(folder, last.c_str(), &found, AT_SYMLINK_NOFOLLOW) == 0;
  // A link as the last name, a name the walk would refuse, or a folder on
  // /proc (whose names the kernel resolves): the walk decides.
  if ((known ? S_ISLNK(found.st_mode) : errno != ENOENT) || OnProc(folder)) {
    Reset();
    return false;
  }
  name = last;
  exists = known;
  if (known) status = found;
  return true;
}

bool SaveDestination::EnterOnProc(const std::string& current, std::vector<std::string>& pending,
                                  int& links) {
  const int next = ::openat(folder, current.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (next != -1 || errno != ENOTDIR) return Enter(next);
  // A link, or a file. Links in /proc are the kernel's own and lead
  // anywhere only as the kernel follows them; it counts each one towards
  // its limit, as the walk does.
  char text[PATH_MAX];
  const ssize_t length = ::readlinkat(folder, current.c_str(), text, sizeof text);
  if (length < 0) {
    if (errno == EINVAL) errno = ENOTDIR;
    return false;
  }
  if (++links > kMaxLinks) {
    errno = ELOOP;
    return false;
  }
  const int followed = ::openat(folder, current.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (followed == -1) return false;
  // A link whose text names other names of /proc (self, thread-self, net)
  // is walked by that text, so that the links in it are counted too; a
  // process's own (its working folder, root, a descriptor) reads as an
  // absolute path and is where the kernel's open led.
  if (length == 0 || static_cast<std::size_t>(length) >= sizeof text || text[0] == '/') {
    return Enter(followed);
  }
  ::close(followed);
  PushNames(std::string(text, static_cast<std::size_t>(length)), pending);
  return true;
}

bool SaveDestination::Walk(const char* path, SharedFolderProtection& protection) {
  Reset();
  // The kernel refuses an empty path, and one of PATH_MAX bytes or more
  // before it looks at a name of it; walking such a path name by name would
  // save a file that no open of the path could read back.
  const std::size_t pathBytes = ::strnlen(path, PATH_MAX);
  if (pathBytes == 0 || pathBytes == PATH_MAX) {
    errno = pathBytes == 0 ? ENOENT : ENAMETOOLONG;
    return false;
  }
  if (Resolve(path)) return true;
  const uid_t fsuid = SharedFolderProtection::FilesystemUser();
  std::vector<std::string> pending;
  PushNames(path, pending);
  if (!Enter(::open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC))) return false;
  int links = 0;
  int looks = 0;
  bool procChecked = false;  // whether the current folder is known not to be on /proc
  // Looks at `current` once more: it changed kind between the look and its
  // use, as a name being swapped with another does.
  const auto lookAgain = [&](std::string current) {
    if (++looks > kMaxLooks) {
      errno = EAGAIN;
      return false;
    }
    pending.push_back(std::move(current));
    return true;
  };
  while (!pending.empty()) {
    std::string current = std::move(pending.back());
    pending.pop_back();
    const bool last = pending.empty();
    if (!last && (current.empty() || current == ".")) continue;
    if (NamesFolder(current, pending)) return RefuseFolderPath(folder);
    if (!procChecked) {
      if (OnProc(folder)) {
        if (!last) {
          if (!EnterOnProc(current, pending, links)) return false;
          continue;
        }
        // The last name is left to the kernel; only which of the process's
        // own descriptors it names, if any, is worked out here. The walk's
        // own folder is not one of the caller's: closed, its number names
        // nothing, as it did before the walk.
        const std::string path = PathOf(folder);
        ::close(folder);
        folder = -1;
        descriptor = OwnDescriptorNamed(path, current);
        // A descriptor's name is a link the kernel follows too.
        if (descriptor != -1 && ::fcntl(descriptor, F_GETFD) != -1 && ++links > kMaxLinks) {
          errno = ELOOP;
          return false;
        }
        throughProc = true;
        return true;
      }
      // The folder's status is looked up only where a rule needs it: where
      // a link or the target sits.
      procChecked = true;
    }
    struct stat found;
    if (::fstatat(folder, current.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0) {
      if (!last || errno != ENOENT) return false;
      name = current;
      return true;
    }
    if (S_ISLNK(found.st_mode)) {
      if (++links > kMaxLinks) {
        errno = ELOOP;
        return false;
      }
      if (!protection.MayFollowLink(FolderStatus(), found, fsuid)) {
        errno = EACCES;
        return false;
      }
      char text[PATH_MAX];
      const ssize_t length = ::readlinkat(folder, current.c_str(), text, sizeof text);
      if (length < 0 && (errno == EINVAL || errno == ENOENT)) {
        // No longer a link (or gone): counted again when it is one.
        --links;
        if (!lookAgain(std::move(current))) return false;
        continue;
      }
      if (length < 0) return false;
      if (length == 0 || static_cast<std::size_t>(length) >= sizeof text) {
        errno = length == 0 ? ENOENT : ENAMETOOLONG;
        return false;
      }
      PushNames(std::string(text, static_cast<std::size_t>(length)), pending);
      if (text[0] == '/') {
        if (!Enter(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC))) return false;
        procChecked = false;
      }
      continue;
    }
    if (last) {
      name = current;
      exists = true;
      status = found;
      return true;
    }
    // O_NOFOLLOW: a name that became a link since it was looked at is
    // looked at again rather than followed unchecked.
    const int next =
        ::openat(folder, current.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next == -1 && S_ISDIR(found.st_mode) &&
        (errno == ENOTDIR || errno == ELOOP || errno == ENOENT)) {
      if (!lookAgain(std::move(current))) return false;
      continue;
    }
    if (!Enter(next)) return false;
    procChecked = false;
  }
  return false;
}

}  // namespace KVO
