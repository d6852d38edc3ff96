#ifndef IMAGING_IMAGELOADER_H_
#define IMAGING_IMAGELOADER_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <boost/circular_buffer.hpp>
#include <boost/filesystem/path.hpp>

#include "imaging/AbstractImageFile.h"
#include "imaging/ImageLoaderInterface.h"
#include "imaging/UserDataImageBuffer.h"
#include "runtime/CompoThread.h"
#include "runtime/Mutex.h"
#include "runtime/WaitHandle.h"

namespace KVO {

// Reads BMP, JPEG and raw Bayer files into byte buffers with a requested
// channel count and bottom-up rows (pixel layout: see ImageLoaderInterface).
//
// Two ways of loading:
// - Single loads (GetInfo, LoadSingle*, Load) run on the caller's thread,
//   take no lock and share one scratch buffer, so one loader serves its
//   single loads from one thread at a time.
// - Numbered sequences (LoadSequence and the queue operations) are read
//   ahead by the loader's own thread "ImageLoader" into a bounded queue of
//   load units. Every queue operation takes the loader's recursive lock and
//   may be called from any thread.
//
// Every loader owns its thread from construction to destruction, also when
// only single loads are used. The destructor stops and joins it.
//
// Refusals: loads answer false (LoadSingle: an empty pointer). Exceptions:
// std::bad_alloc, the lock and thread classes' errors, and
// boost::filesystem::filesystem_error from the last-write-time query of
// LoadSingleInReallocableBuffer. The loading thread never lets one escape:
// a frame that throws counts as a failed frame.
class ImageLoader : public ImageLoaderInterface {
 public:
  // Media type of a load unit and of the queue's front (GetNextMediaType).
  enum MediaType : unsigned int { Image = 0, MetadataPacket = 1, None = 2 };
  // Values of GetStatus().
  enum LoaderStatus : unsigned int {
    Idle = 0,     // no sequence active, no image queued since the queue
                  // was last empty
    Loading = 1,  // a sequence is active, no image queued yet
    Ready = 2,    // an image has been queued since the queue was last empty
  };

  // One slot of read-ahead. Moves carry the array; never copied.
  struct LoadUnit {
    unsigned int mediaType = None;
    unsigned int width = 0;  // image geometry; meaningless for a packet
    unsigned int height = 0;
    unsigned int channels = 0;  // the delivered (wanted) count
    unsigned int frameNumber = 0;
    unsigned int capacity = 0;   // bytes in data
    unsigned int size = 0;       // bytes of content: w * h * c or file length
    std::int64_t timestamp = 0;  // image's last write, seconds since epoch
    std::unique_ptr<unsigned char[]> data;

    LoadUnit() = default;
    LoadUnit(LoadUnit&&) noexcept = default;
    LoadUnit& operator=(LoadUnit&&) noexcept = default;
  };

  // Starts the loading thread (idle until a sequence is loaded) and fills the
  // pool with 10 empty units.
  ImageLoader();
  // Closes the input, stops and joins the loading thread (a load in progress
  // finishes first), then releases every unit and both scratch arrays.
  ~ImageLoader() override;

  ImageLoader(const ImageLoader&) = delete;
  ImageLoader& operator=(const ImageLoader&) = delete;

  // Number of units in circulation (queue + pool). Growing adds empty units
  // to the pool. Shrinking drops pool units first, then the newest queued
  // units; the position moves back so that every unit taken back from the
  // queue is loaded again (a sequence that had reached its end resumes for
  // them), and an emptied queue reports no next media type.
  void SetLoadingQueueMaxLength(unsigned int length) override;
  // Lock-free read.
  unsigned int GetLoadingQueueMaxLength() override;
  unsigned int GetLoadingQueueLength() override;

  // Reports the file's width, height and own channel count (also 0 for
  // 1- and 4-bit BMPs); reads no pixels. False, outputs untouched, when the
  // format has no class or the file cannot be opened or its header read.
  // Every load opens regular files only and never blocks on opening: a
  // FIFO, directory or device is a file that cannot be opened.
  bool GetInfo(const char* fileName, unsigned int& width, unsigned int& height,
               unsigned int& channels, ImageFileFormat format) override;

  // Single loads. Each answers false (LoadSingle: empty) when:
  // - `desired` is above 4;
  // - the format has no class, or the file cannot be opened or its header
  //   read (outputs untouched);
  // - the file reports 0 channels, or the pair (file channels, wanted
  //   channels) is neither equal nor within {1, 3, 4} x {1, 3, 4};
  // - the pixels cannot be read.
  // On success width, height and the wanted channel count are reported and
  // the destination holds width * height * channels bytes, packed, bottom-up.
  std::unique_ptr<unsigned char[]> LoadSingle(const char* fileName, unsigned int& width,
                                              unsigned int& height, unsigned int& channels,
                                              DesiredChannelsEnum desired,
                                              ImageFileFormat format) override;
  // Loads into the caller's buffer of bufferSize bytes, which stays the
  // caller's. A buffer smaller than width * height * wanted (compared in 64
  // bits) or a null buffer answers false and reads nothing; width, height and
  // the wanted count have been reported by then. After a failed read the
  // buffer's contents are unspecified.
  bool LoadSingleInBuffer(const char* fileName, unsigned int& width, unsigned int& height,
                          unsigned int& channels, unsigned int bufferSize, unsigned char* buffer,
                          DesiredChannelsEnum desired, ImageFileFormat format) override;
  // Loads into `buffer`, an array of `capacity` bytes owned by the caller,
  // replacing it by one of exactly the needed size when it is too small.
  // `timestamp` receives the file's last-write time in seconds since the
  // epoch (boost::filesystem::filesystem_error when it cannot be read).
  // After a failed pixel read the array is released and capacity is 0.
  bool LoadSingleInReallocableBuffer(const char* fileName, unsigned int& width,
                                     unsigned int& height, unsigned int& channels,
                                     unsigned int& capacity, long& timestamp,
                                     std::unique_ptr<unsigned char[]>& buffer,
                                     DesiredChannelsEnum desired, ImageFileFormat format) override;
  // Loading thread only: as above, with the sequence's wanted channel count
  // and the thread's own scratch buffer.
  bool LoadSingleInReallocableBufferPrivate(const char* fileName, unsigned int& width,
                                            unsigned int& height, unsigned int& channels,
                                            unsigned int& capacity, long& timestamp,
                                            std::unique_ptr<unsigned char[]>& buffer,
                                            ImageFileFormat format);
  // Guesses the format from the name and keeps the file's channel count;
  // re-dimensions `image` (Free, packed stride, Allocate) unless it already
  // has the file's width, height, channels, a packed stride and storage.
  // False for a file of 0 channels.
  bool Load(const std::string& fileName, ImageBase<unsigned char>& image);

  // 0 gives fileChannels; 2 gives 1 for a one-channel file, else 4; any
  // other value gives itself.
  unsigned int GetDesiredChannels(DesiredChannelsEnum desired, unsigned int fileChannels) const;

  // Sequences. Image file of frame n: a folder string (used as given, no
  // separator added) + n in decimal zero-filled to at least 8 digits +
  // imageSuffix. Metadata file of frame n: metadataPrefix + n in decimal +
  // metadataSuffix. With several folders and framesPerFolder > 0 the folder
  // is entry (n / framesPerFolder) % count, else the first.
  //
  // Starts a sequence (closing any current one) and wakes the thread.
  // Frames run from startFrame to endFrame inclusive in steps of frameStep;
  // missing frames are skipped while the distance from the last queued frame
  // stays within maxFrameGap. A frameStep of 0 ends the sequence at once
  // with nothing queued, rather than loading the start frame for ever. A
  // frame's metadata packet, when its file exists, is queued before its
  // image. Only regular files are read, and opening never blocks: an image
  // name that is a FIFO, directory or device counts as missing; such a
  // metadata name, like a metadata file that cannot be read whole, ends the
  // sequence. A null string closes the input and leaves the loader Idle.
  void LoadSequence(const char* folder, const char* imageSuffix, DesiredChannelsEnum desired,
                    unsigned int startFrame, unsigned int endFrame, unsigned int maxFrameGap,
                    unsigned int frameStep, const char* metadataPrefix, const char* metadataSuffix,
                    ImageFileFormat format) override;
  // As above over several folder strings. An empty list closes the input and
  // leaves the loader Idle.
  void LoadSequence(std::vector<std::string> folders, std::string imageSuffix, int framesPerFolder,
                    DesiredChannelsEnum desired, unsigned int startFrame, unsigned int endFrame,
                    unsigned int maxFrameGap, unsigned int frameStep, std::string metadataPrefix,
                    std::string metadataSuffix, ImageFileFormat format);
  // Starts the last sequence again from its first frame; false (nothing
  // changes) when no sequence was ever loaded.
  bool RestartSequenceFromBeginning() override;
  // Stops the sequence and returns every queued unit to the pool. Once it
  // returns, nothing of the closed sequence is queued any more.
  void CloseInput() override;
  // Lock-free reads (LoaderStatus, MediaType).
  unsigned int GetStatus() override;
  unsigned int GetNextMediaType() override;
  // Hands the front unit back to the pool unread; nothing when empty.
  void DiscardNextInput() override;
  // Properties of the first queued image (looking past packets); false with
  // the outputs untouched when none is queued.
  bool GetNextImageProperties(unsigned int& size, unsigned int& width, unsigned int& height,
                              unsigned int& channels, unsigned int& frameNumber) override;
  // When the front unit is an image: reports its properties and, when its
  // size is at most bufferSize, copies it into `buffer`, hands the unit back
  // and answers true. A unit too large stays at the front. A null buffer
  // answers false.
  bool GetNextImage(unsigned int bufferSize, unsigned char* buffer, unsigned int& width,
                    unsigned int& height, unsigned int& channels,
                    unsigned int& frameNumber) override;
  bool GetNextMetadataPacketProperties(unsigned int& size, unsigned int& frameNumber) override;
  // When the front unit is a metadata packet (its whole file, unchanged):
  // reports its frame number and, when its size is at most bufferSize,
  // reports the size, copies it into `buffer`, hands the unit back and
  // answers true. A packet too large stays at the front with `size`
  // untouched (GetNextMetadataPacketProperties tells it). A null buffer
  // answers false and reports nothing.
  bool GetNextMetadataPacket(unsigned int bufferSize, unsigned int& size, unsigned char* buffer,
                             unsigned int& frameNumber) override;

  // Frame number of the last unit queued; lock-free read.
  unsigned int GetLastLoadedFrameNumber() const;

 private:
  // Scratch rule: grows to exactly the bytes needed, never shrinks.
  struct ScratchBuffer {
    unsigned int capacity = 0;
    std::unique_ptr<unsigned char[]> data;
    unsigned char* Reserve(std::uint64_t bytes);
  };

  // Where a byte-array load puts its pixels.
  struct Destination;

  // What LoadSequence sets. The loading thread works from its own copy,
  // taken by assignment under the lock whenever the generation changed.
  struct SequenceParameters {
    std::vector<std::string> folders;
    int framesPerFolder = 1;
    std::string imageSuffix;
    std::string metadataPrefix;
    std::string metadataSuffix;
    DesiredChannelsEnum desiredChannels = DesiredChannelsEnum::AsFile;
    ImageFileFormat fileFormat = ImageFileFormat::Auto;
    unsigned int startFrame = 0;
    unsigned int endFrame = 0;
    unsigned int frameStep = 0;
    unsigned int maxFrameGap = 0;
  };

  // What the loading thread saw under the lock before loading.
  struct Snapshot {
    std::int64_t lastFrame;
    bool metadataPending;
    std::uint64_t generation;
  };

  enum class SearchResult { Loaded, EndOfRange, Abandoned };
  enum class MetadataResult { Found, Missing, Unreadable };

  bool LoadBytes(const char* fileName, unsigned int& width, unsigned int& height,
                 unsigned int& channels, DesiredChannelsEnum desired, ImageFileFormat format,
                 ScratchBuffer& scratchBuffer, Destination& destination, long* timestamp,
                 boost::filesystem::path* pathCache);

  bool ReadExpanding(AbstractImageFile& file, unsigned char* target, unsigned int width,
                     unsigned int height, unsigned int fileChannels, unsigned int wanted,
                     ScratchBuffer& scratchBuffer);

  void StartSequence(SequenceParameters parameters, DesiredChannelsEnum desired,
                     unsigned int startFrame, unsigned int endFrame, unsigned int maxFrameGap,
                     unsigned int frameStep, ImageFileFormat format);
  void AddEmptyUnit();
  void RewindPosition();
  void RecycleFront();

  void ThreadLoop();
  SearchResult FindNextUnit(const Snapshot& snapshot, LoadUnit& workUnit, unsigned int& frame);
  MetadataResult LoadMetadata(unsigned int frame, LoadUnit& workUnit);
  bool LoadImage(unsigned int frame, LoadUnit& workUnit);
  bool PositionMoved(const Snapshot& snapshot) const;
  void QueueUnit(const Snapshot& snapshot, LoadUnit& workUnit);
  void EndSequence(const Snapshot& snapshot);

  // Written under `lock`.
  SequenceParameters sequence;
  std::atomic<unsigned int> loadingQueueMaxLength{10};
  std::atomic<unsigned int> nextMediaType{None};
  std::atomic<unsigned int> sequenceActive{0};
  std::atomic<unsigned int> status{Idle};
  bool sequenceOpened = false;
  // Loading thread only: the name of the file it works on.
  std::string currentFileName;
  // Position: written under `lock`, read lock-free by the thread's early
  // abandon test. The last frame queued, or one step before the frame to
  // load next; 64 bits and signed, so that neither side of the 32-bit frame
  // range wraps into it.
  std::atomic<std::int64_t> lastFrame{0};
  std::atomic<bool> metadataPending{false};
  // Moves on every LoadSequence, restart and close, so that a load in flight
  // for an older sequence is never queued.
  std::atomic<std::uint64_t> generation{0};
  std::atomic<bool> running{true};
  Mutex lock{true};
  std::unique_ptr<WaitHandle> wakeEvent;
  CompoThread thread{"ImageLoader"};
  ScratchBuffer scratch;
  ScratchBuffer threadScratch;
  // Loading thread only.
  SequenceParameters threadSequence;
  boost::filesystem::path threadPath;
  // Both hold at most loadingQueueMaxLength units; guarded by `lock`.
  boost::circular_buffer<LoadUnit> freeUnits;
  boost::circular_buffer<LoadUnit> loadedUnits;
};

}  // namespace KVO

#endif  // IMAGING_IMAGELOADER_H_
