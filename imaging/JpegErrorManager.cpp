#include "imaging/JpegErrorManager.h"

#include <jerror.h>

namespace KVO {

namespace {

JpegErrorManager* ManagerOf(j_common_ptr codec) {
  return reinterpret_cast<JpegErrorManager*>(codec->err);
}

// Replaces the standard handler, which ends the process: a library must not
// take its host down over a bad picture.
void JumpBackOnError(j_common_ptr codec) {
  (*codec->err->output_message)(codec);
  std::longjmp(ManagerOf(codec)->jump, 1);
}

// A stream that merely lacks its end marker, or has stray bytes in front of
// it, still decodes to the intact picture when its scans were complete;
// every other warning means the codec made data up.
void SortWarnings(j_common_ptr codec, int level) {
  JpegErrorManager* manager = ManagerOf(codec);
  if (level < 0) {
    const jpeg_error_mgr& err = *codec->err;
    const bool trailer = err.msg_code == JWRN_JPEG_EOF ||
                         (err.msg_code == JWRN_EXTRANEOUS_DATA && err.msg_parm.i[1] == JPEG_EOI);
    ++(trailer ? manager->trailerWarnings : manager->dataWarnings);
  }
  (*manager->standardEmit)(codec, level);
}

// The codec calls this before each step of input, so at least once per
// scan; the step runs with the scan's components set.
void WatchScans(j_common_ptr common) {
  j_decompress_ptr codec = reinterpret_cast<j_decompress_ptr>(common);
  JpegErrorManager* manager = ManagerOf(common);
  for (int i = 0; i < codec->comps_in_scan; ++i) {
    manager->scannedComponents |= 1u << codec->cur_comp_info[i]->component_index;
  }
  if (codec->input_scan_number > kMaxJpegScans) std::longjmp(manager->jump, 1);
}

// Whether the stream gave every component all its data. Read before
// jpeg_finish_decompress, which releases coef_bits.
bool ScansComplete(j_decompress_ptr codec, const JpegErrorManager& manager) {
  const unsigned int all = (1u << codec->num_components) - 1;
  if ((manager.scannedComponents & all) != all) return false;
  if (!codec->progressive_mode) return true;
  if (codec->coef_bits == nullptr) return false;
  for (int component = 0; component < codec->num_components; ++component) {
    for (int k = 0; k < DCTSIZE2; ++k) {
      if (codec->coef_bits[component][k] != 0) return false;
    }
  }
  return true;
}

}  // namespace

jpeg_error_mgr* InstallJpegErrorManager(JpegErrorManager* manager) {
  jpeg_std_error(&manager->pub);
  manager->pub.error_exit = JumpBackOnError;
  manager->standardEmit = manager->pub.emit_message;
  manager->pub.emit_message = SortWarnings;
  return &manager->pub;
}

void BoundJpegDecoder(j_decompress_ptr codec) {
  JpegErrorManager* manager = ManagerOf(reinterpret_cast<j_common_ptr>(codec));
  // The codec is built without a backing store, so a demand above the cap
  // fails when the coefficient arrays are laid out, before they are made.
  codec->mem->max_memory_to_use = kMaxJpegWorkingBytes;
  manager->progress = jpeg_progress_mgr{};
  manager->progress.progress_monitor = WatchScans;
  codec->progress = &manager->progress;
}

bool FinishJpegDecode(j_decompress_ptr codec, const JpegErrorManager& manager) {
  const bool scansComplete = ScansComplete(codec, manager);
  jpeg_finish_decompress(codec);
  return manager.dataWarnings == 0 && (manager.trailerWarnings == 0 || scansComplete);
}

}  // namespace KVO
