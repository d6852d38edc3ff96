#include "imaging/JpegErrorManager.h"

namespace KVO {

namespace {

// Replaces the standard handler, which ends the process: a library must not
// take its host down over a bad picture.
void JumpBackOnError(j_common_ptr codec) {
  (*codec->err->output_message)(codec);
  JpegErrorManager* manager = reinterpret_cast<JpegErrorManager*>(codec->err);
  std::longjmp(manager->jump, 1);
}

}  // namespace

jpeg_error_mgr* InstallJpegErrorManager(JpegErrorManager* manager) {
  jpeg_std_error(&manager->pub);
  manager->pub.error_exit = JumpBackOnError;
  return &manager->pub;
}

}  // namespace KVO
