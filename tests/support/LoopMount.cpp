#include "tests/support/LoopMount.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace testsupport {

namespace {

// Runs `command` through the shell, its output dropped; whether it
// answered 0.
bool Run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

LoopMount::LoopMount(const std::string& type, const std::string& mkfsOptions,
                     std::uintmax_t imageBytes, const std::string& mountOptions)
    : dir_("tolvenix-" + type) {
  const std::string mkfs = "mkfs." + type, image = dir_.Path("image");
  mountPoint_ = dir_.Path("mounted");
  if (dir_.Root().empty() || ::mkdir(mountPoint_.c_str(), 0755) != 0) {
    failure_ = "no scratch folder for the image";
  } else if (::geteuid() != 0) {
    failure_ = "mounting a " + type + " image takes root";
  } else if (::access("/dev/loop-control", W_OK) != 0) {
    failure_ = "no loop devices here";
  } else if (!Run("command -v " + mkfs)) {
    failure_ = mkfs + " is not installed (scripts/setup.sh installs it)";
  }
  if (!failure_.empty()) return;
  // Sparse: only what mkfs writes takes room.
  if (!Run("truncate -s " + std::to_string(imageBytes) + " '" + image + "'") ||
      !Run(mkfs + " " + mkfsOptions + " '" + image + "'")) {
    failure_ = mkfs + " failed on a " + std::to_string(imageBytes >> 20) + " MiB image";
    return;
  }
  const std::string options = "loop" + (mountOptions.empty() ? "" : "," + mountOptions);
  if (!Run("mount -t " + type + " -o " + options + " '" + image + "' '" + mountPoint_ + "'")) {
    failure_ = "the kernel would not mount " + type + " (" + options +
               ") on a loop device: none free, or no support for it";
    return;
  }
  mounted_ = true;
}

LoopMount::~LoopMount() {
  // A file still open on it holds it: it goes once that closes.
  if (mounted_ && ::umount2(mountPoint_.c_str(), 0) != 0)
    ::umount2(mountPoint_.c_str(), MNT_DETACH);
}

}  // namespace testsupport
