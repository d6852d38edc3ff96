#ifndef TESTS_SUPPORT_LOOPMOUNT_H_
#define TESTS_SUPPORT_LOOPMOUNT_H_

#include <cstdint>
#include <string>

#include "tests/support/TestSupport.h"

namespace testsupport {

// A file system made in a sparse image file and mounted through a loop
// device, both in a scratch folder of their own; unmounted (the loop device
// then frees itself) and removed when the object goes. Making one takes
// root, a free loop device, the kernel's support for the file system and
// its mkfs program: where any is missing, Root() is empty and Failure()
// says which, for a test to skip with. Nothing throws. One thread.
class LoopMount {
 public:
  // `type`: the file system as mount names it ("xfs", "ext4"), made by
  // mkfs.<type> with `mkfsOptions` in an image of `imageBytes`, mounted
  // with `mountOptions` (may be empty).
  LoopMount(const std::string& type, const std::string& mkfsOptions, std::uintmax_t imageBytes,
            const std::string& mountOptions = "");
  ~LoopMount();
  LoopMount(const LoopMount&) = delete;
  LoopMount& operator=(const LoopMount&) = delete;

  std::string Root() const { return mounted_ ? mountPoint_ + "/" : std::string(); }  // ends in '/'
  std::string Path(const std::string& name) const { return mountPoint_ + "/" + name; }
  const std::string& Failure() const { return failure_; }

 private:
  TempDir dir_;
  std::string mountPoint_;
  std::string failure_;
  bool mounted_ = false;
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_LOOPMOUNT_H_
