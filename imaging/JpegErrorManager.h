#ifndef IMAGING_JPEGERRORMANAGER_H_
#define IMAGING_JPEGERRORMANAGER_H_

#include <csetjmp>
#include <cstddef>
#include <cstdio>

// The codec's header uses size_t and FILE without declaring them.
#include <jpeglib.h>

namespace KVO {

// A codec error manager whose fatal-error handler returns control to the
// caller's setjmp point instead of ending the process.
//
// Use: declare one on the stack with the codec object, point the codec
// object's err at InstallJpegErrorManager(&manager), then
//   if (setjmp(manager.jump)) { destroy the codec object; release; fail }
// before the first codec call. Between setjmp and the codec calls that may
// jump, no object with a non-trivial destructor may be live, and locals
// changed after setjmp and read after the jump must be volatile.
//
// The codec's messages (errors, and the first warning) still go to standard
// error through its standard output_message.
struct JpegErrorManager {
  jpeg_error_mgr pub;  // must stay first: the codec only knows this part
  std::jmp_buf jump;
};

// Fills manager with the codec's standard routines except error_exit, and
// answers the pointer to store in the codec object's err field.
jpeg_error_mgr* InstallJpegErrorManager(JpegErrorManager* manager);

// True when the codec has warned since the codec object was created; the
// decoder warns for corrupt or missing data (for example a premature end of
// the stream) and then carries on with made-up data.
inline bool JpegCodecWarned(const JpegErrorManager& manager) {
  return manager.pub.num_warnings > 0;
}

}  // namespace KVO

#endif  // IMAGING_JPEGERRORMANAGER_H_
