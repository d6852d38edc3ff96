#include "imaging/JpegErrorManager.h"

#include <jerror.h>

namespace KVO {

namespace {

JpegErrorManager* ManagerOf(j_common_ptr codec) {
  return reinterpret_cast<JpegErrorManager*>(codec->err);
}
JpegErrorManager* ManagerOf(j_decompress_ptr codec) {
  return ManagerOf(reinterpret_cast<j_common_ptr>(codec));
}

// Replaces the standard handler, which ends the process: a library must not
// take its host down over a bad picture.
void JumpBackOnError(j_common_ptr codec) {
  (*codec->err->output_message)(codec);
  std::longjmp(ManagerOf(codec)->jump, 1);
}

bool IsRestartMarker(int marker) { return marker >= JPEG_RST0 && marker <= JPEG_RST0 + 7; }

// What a codec message costs the picture; the table in the header says why
// each code sits where it does. Anything not named here is taken as damage,
// so a warning a later codec adds fails a decode until it is judged.
enum class Cost { kNothing, kTrailer, kDamage };

Cost CostOf(const jpeg_error_mgr& err, int level) {
  if (level >= 0) {
    // Traces. The marker reader meets a restart marker only where it walks
    // through scan data instead of segments.
    const bool restartBetweenSegments =
        err.msg_code == JTRC_PARMLESS_MARKER && IsRestartMarker(err.msg_parm.i[0]);
    return restartBetweenSegments ? Cost::kDamage : Cost::kNothing;
  }
  switch (err.msg_code) {
    case JWRN_EXTRANEOUS_DATA:
      return err.msg_parm.i[1] == JPEG_EOI ? Cost::kTrailer : Cost::kNothing;
    case JWRN_JPEG_EOF:
      return Cost::kTrailer;
    case JWRN_JFIF_MAJOR:
    case JWRN_NOT_SEQUENTIAL:
    case JWRN_ADOBE_XFORM:
    case JWRN_BOGUS_ICC:
      return Cost::kNothing;
    default:
      return Cost::kDamage;
  }
}

// Counts what each message costs; once decoding has begun, damage ends the
// decode at once, since nothing after it can make the answer true.
void SortWarnings(j_common_ptr codec, int level) {
  JpegErrorManager* manager = ManagerOf(codec);
  const Cost cost = CostOf(*codec->err, level);
  if (cost == Cost::kTrailer) ++manager->trailerWarnings;
  if (cost == Cost::kDamage) ++manager->dataWarnings;
  (*manager->standardEmit)(codec, level);
  if (cost == Cost::kDamage && manager->decoding) std::longjmp(manager->jump, 1);
}

boolean CountOfferedBytes(j_decompress_ptr codec) {
  JpegErrorManager* manager = ManagerOf(codec);
  const boolean filled = (*manager->standardFill)(codec);
  if (filled) manager->offeredBytes += codec->src->bytes_in_buffer;
  return filled;
}

std::uint64_t BlocksOfScan(j_decompress_ptr codec) {
  std::uint64_t blocks = 0;
  for (int i = 0; i < codec->comps_in_scan; ++i) {
    const jpeg_component_info& component = *codec->cur_comp_info[i];
    blocks += std::uint64_t{component.width_in_blocks} * component.height_in_blocks;
  }
  return blocks;
}

// The codec calls this before each step of decoding: each row it delivers
// and, while it takes in a multi-scan stream, each row of blocks of each
// scan. So every scan is seen before its first data is decoded, with the
// scan's components set.
void WatchDecode(j_common_ptr common) {
  j_decompress_ptr codec = reinterpret_cast<j_decompress_ptr>(common);
  JpegErrorManager* manager = ManagerOf(common);
  if (!manager->decoding) {
    manager->decoding = true;
    manager->offeredBytes = codec->src->bytes_in_buffer;
    manager->standardFill = codec->src->fill_input_buffer;
    codec->src->fill_input_buffer = CountOfferedBytes;
  }
  if (manager->dataWarnings > 0 || codec->arith_code) std::longjmp(manager->jump, 1);
  if (codec->input_scan_number == manager->countedScan) return;
  manager->countedScan = codec->input_scan_number;
  if (codec->input_scan_number > kMaxJpegScans) std::longjmp(manager->jump, 1);
  for (int i = 0; i < codec->comps_in_scan; ++i) {
    manager->scannedComponents |= 1u << codec->cur_comp_info[i]->component_index;
  }
  if (!jpeg_has_multiple_scans(codec)) return;
  manager->scanBlocks += BlocksOfScan(codec);
  const std::uint64_t readBytes = manager->offeredBytes - codec->src->bytes_in_buffer;
  if (manager->scanBlocks > kFreeJpegScanBlocks + kJpegScanBlocksPerByte * readBytes) {
    std::longjmp(manager->jump, 1);
  }
}

bool AllComponentsScanned(j_decompress_ptr codec, const JpegErrorManager& manager) {
  const unsigned int all = (1u << codec->num_components) - 1;
  return (manager.scannedComponents & all) == all;
}

// Whether a progressive stream refined every coefficient to full precision.
// Read before jpeg_finish_decompress, which releases coef_bits.
bool CoefficientsComplete(j_decompress_ptr codec) {
  if (!codec->progressive_mode) return true;
  if (codec->coef_bits == nullptr) return false;
  for (int component = 0; component < codec->num_components; ++component) {
    for (int k = 0; k < DCTSIZE2; ++k) {
      if (codec->coef_bits[component][k] != 0) return false;
    }
  }
  return true;
}

bool DeliversTruePicture(j_decompress_ptr codec, const JpegErrorManager& manager,
                         bool coefficientsComplete) {
  return manager.dataWarnings == 0 && AllComponentsScanned(codec, manager) &&
         (manager.trailerWarnings == 0 || coefficientsComplete);
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
  JpegErrorManager* manager = ManagerOf(codec);
  // The codec is built without a backing store, so a demand above the cap
  // fails when the coefficient arrays are laid out, before they are made.
  codec->mem->max_memory_to_use = kMaxJpegWorkingBytes;
  manager->progress = jpeg_progress_mgr{};
  manager->progress.progress_monitor = WatchDecode;
  codec->progress = &manager->progress;
}

void StartJpegDecode(j_decompress_ptr codec) {
  jpeg_start_decompress(codec);
  JpegErrorManager& manager = *ManagerOf(codec);
  if (jpeg_input_complete(codec) &&
      !DeliversTruePicture(codec, manager, CoefficientsComplete(codec))) {
    std::longjmp(manager.jump, 1);
  }
}

bool FinishJpegDecode(j_decompress_ptr codec, const JpegErrorManager& manager) {
  const bool coefficientsComplete = CoefficientsComplete(codec);
  jpeg_finish_decompress(codec);
  return DeliversTruePicture(codec, manager, coefficientsComplete);
}

}  // namespace KVO
