// A host killed in the middle of a save leaves the folder as if the save
// had not begun or had ended: under the name one whole picture or nothing
// new, and no file under any other name; also where the file is named
// through /proc, as on kernels that link no descriptor for the host.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "imaging/ImageSaver.h"
#include "runtime/FileAccess.h"
#include "tests/support/AddressSpaceLimit.h"
#include "tests/support/TempDirTest.h"
#include "tests/support/TestSupport.h"

namespace {

using testsupport::Bytes;

// With the parameter true, files are named through /proc.
class KilledSaveTest : public testsupport::TempDirTest, public ::testing::WithParamInterface<bool> {
 protected:
  // Big enough that a kill at a random moment usually lands mid-save, and
  // smaller where sanitizers slow every byte down.
  static constexpr int kWidth = kSanitized ? 1280 : 1920, kHeight = kSanitized ? 720 : 1080;

  bool Save(const std::string& path) const {
    return KVO::ImageSaver::StaticSaveBitmap(path.c_str(), kWidth, kHeight, 3, picture.data());
  }

  // How long one save takes here, in microseconds: removing the name first
  // (`fresh`) makes it a new file, else it replaces one.
  long SaveMicroseconds(bool fresh) const {
    const std::string path = Path("timed.bmp");
    Save(path);
    if (fresh) unlink(path.c_str());
    const auto start = std::chrono::steady_clock::now();
    Save(path);
    const auto took = std::chrono::steady_clock::now() - start;
    unlink(path.c_str());
    return std::chrono::duration_cast<std::chrono::microseconds>(took).count();
  }

  const Bytes picture = testsupport::MakePicture(kWidth, kHeight, 3);
};

TEST_P(KilledSaveTest, LeavesNoTemporaryAndNoPartialPicture) {
  constexpr int kKills = 20;
  const std::string model = Path("expected.bmp");
  ASSERT_TRUE(Save(model));
  const Bytes expected = testsupport::ReadWholeFile(model);
  const long took[2] = {SaveMicroseconds(false), SaveMicroseconds(true)};
  const unsigned seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  int killedBetweenLinkAndRename = 0;
  for (int round = 0; round < kKills; ++round) {
    // Even rounds make a new name with every save, odd ones replace it.
    const bool fresh = round % 2 == 0;
    SCOPED_TRACE(std::string(fresh ? "new name" : "replaced") + ", round " + std::to_string(round));
    const std::string folder = Path("k" + std::to_string(round)), target = folder + "/t.bmp";
    ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
    ASSERT_TRUE(fresh || testsupport::WriteWholeFile(target, expected));
    int started[2];
    ASSERT_EQ(0, pipe(started));
    const pid_t child = fork();
    if (child == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a test that stopped
      close(started[0]);
      KVO::SetReplacingFileWriterLinkThroughProc(GetParam());
      const bool told = write(started[1], "s", 1) == 1;
      for (int i = 0; told && i < 100000; ++i) {
        if (fresh) unlink(target.c_str());
        if (!Save(target)) testsupport::ExitChild(1);
      }
      testsupport::ExitChild(2);
    }
    ASSERT_NE(-1, child);
    close(started[1]);
    char byte = 0;
    const bool saving = read(started[0], &byte, 1) == 1;
    close(started[0]);
    // Anywhere within the first few saves, so most kills land mid-save.
    std::uniform_int_distribution<long> delay(0, 3 * took[fresh]);
    if (saving) usleep(static_cast<useconds_t>(delay(random)));
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "the child stopped by itself: a save failed";

    std::vector<std::string> names = testsupport::FolderNames(folder);
    // A replacing copy has a hidden name for the instant between its link
    // and its rename, which a kill may hit: then it is whole, and rare.
    const std::vector<std::string> hidden = testsupport::HiddenNames(folder);
    if (!fresh && hidden.size() == 1 && names.size() == 2 &&
        testsupport::ReadWholeFile(folder + "/" + hidden[0]) == expected) {
      ++killedBetweenLinkAndRename;
      names = {"t.bmp"};
    }
    EXPECT_TRUE(names == std::vector<std::string>{"t.bmp"} || (fresh && names.empty()))
        << ::testing::PrintToString(names);
    if (testsupport::Exists(target)) {
      EXPECT_TRUE(testsupport::ReadWholeFile(target) == expected) << "not one whole picture";
    }
  }
  EXPECT_LE(killedBetweenLinkAndRename, 1);
}

INSTANTIATE_TEST_SUITE_P(Naming, KilledSaveTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "ThroughProc" : "ByDescriptor";
                         });

}  // namespace
