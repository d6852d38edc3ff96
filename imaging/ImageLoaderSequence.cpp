// The sequence side of the image loader: the consumer's queue operations and
// the loading thread that reads numbered files ahead into load units.
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <utility>

#include "imaging/ImageLoader.h"
#include "runtime/FileAccess.h"
#include "runtime/Sleep.h"

namespace KVO {

namespace {

// Pause of the loading thread while its pool is empty.
constexpr int kEmptyPoolPauseMs = 10;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

void ImageLoader::AddEmptyUnit() { freeUnits.push_back(LoadUnit()); }

void ImageLoader::RewindPosition() {
  // One step before the start; below zero when startFrame < frameStep, which
  // the position's signed 64 bits hold without wrapping.
  lastFrame.store(std::int64_t{sequence.startFrame} - sequence.frameStep);
  metadataPending.store(false);
}

void ImageLoader::RecycleFront() {
  freeUnits.push_back(std::move(loadedUnits.front()));
  loadedUnits.pop_front();
}

void ImageLoader::StartSequence(SequenceParameters parameters, DesiredChannelsEnum desired,
                                unsigned int start, unsigned int end, unsigned int gap,
                                unsigned int step, ImageFileFormat format) {
  parameters.desiredChannels = desired;
  parameters.fileFormat = format;
  parameters.startFrame = start;
  parameters.endFrame = end;
  parameters.frameStep = step;
  parameters.maxFrameGap = gap;
  MutexLock guard(lock);
  sequence = std::move(parameters);
  nextMediaType.store(None);
  sequenceActive.store(1);
  status.store(Loading);
  sequenceOpened = true;
  RewindPosition();
  generation.fetch_add(1);
  wakeEvent->Set();
}

void ImageLoader::LoadSequence(const char* folder, const char* suffix, DesiredChannelsEnum desired,
                               unsigned int start, unsigned int end, unsigned int gap,
                               unsigned int step, const char* prefix, const char* packetSuffix,
                               ImageFileFormat format) {
  CloseInput();
  // Without a folder string there is no name to compose; stay closed.
  if (!folder || !suffix || !prefix || !packetSuffix) return;
  SequenceParameters parameters;
  parameters.folders.assign(1, folder);
  parameters.imageSuffix = suffix;
  parameters.metadataPrefix = prefix;
  parameters.metadataSuffix = packetSuffix;
  StartSequence(std::move(parameters), desired, start, end, gap, step, format);
}

void ImageLoader::LoadSequence(std::vector<std::string> folderList, std::string suffix,
                               int perFolder, DesiredChannelsEnum desired, unsigned int start,
                               unsigned int end, unsigned int gap, unsigned int step,
                               std::string prefix, std::string packetSuffix,
                               ImageFileFormat format) {
  CloseInput();
  if (folderList.empty()) return;
  SequenceParameters parameters;
  parameters.folders = std::move(folderList);
  parameters.framesPerFolder = perFolder;
  parameters.imageSuffix = std::move(suffix);
  parameters.metadataPrefix = std::move(prefix);
  parameters.metadataSuffix = std::move(packetSuffix);
  StartSequence(std::move(parameters), desired, start, end, gap, step, format);
}

bool ImageLoader::RestartSequenceFromBeginning() {
  MutexLock guard(lock);
  if (!sequenceOpened) return false;
  CloseInput();
  status.store(Loading);
  RewindPosition();
  nextMediaType.store(None);
  sequenceActive.store(1);
  wakeEvent->Set();
  return true;
}

void ImageLoader::CloseInput() {
  MutexLock guard(lock);
  status.store(Idle);
  nextMediaType.store(None);
  sequenceActive.store(0);
  // A load in flight belongs to the closed sequence: the new generation
  // keeps it out of the queue.
  generation.fetch_add(1);
  while (!loadedUnits.empty()) RecycleFront();
}

void ImageLoader::DiscardNextInput() {
  MutexLock guard(lock);
  if (loadedUnits.empty()) return;
  RecycleFront();
  if (!loadedUnits.empty()) {
    nextMediaType.store(loadedUnits.front().mediaType);
  } else {
    nextMediaType.store(None);
    status.store(sequenceActive.load());
  }
}

unsigned int ImageLoader::GetLoadingQueueLength() {
  MutexLock guard(lock);
  return static_cast<unsigned int>(loadedUnits.size());
}

bool ImageLoader::GetNextImageProperties(unsigned int& size, unsigned int& width,
                                         unsigned int& height, unsigned int& channels,
                                         unsigned int& frameNumber) {
  MutexLock guard(lock);
  for (const LoadUnit& unit : loadedUnits) {
    if (unit.mediaType != Image) continue;
    size = unit.size;
    width = unit.width;
    height = unit.height;
    channels = unit.channels;
    frameNumber = unit.frameNumber;
    return true;
  }
  return false;
}

bool ImageLoader::GetNextMetadataPacketProperties(unsigned int& size, unsigned int& frameNumber) {
  MutexLock guard(lock);
  for (const LoadUnit& unit : loadedUnits) {
    if (unit.mediaType != MetadataPacket) continue;
    size = unit.size;
    frameNumber = unit.frameNumber;
    return true;
  }
  return false;
}

bool ImageLoader::GetNextImage(unsigned int bufferSize, unsigned char* buffer, unsigned int& width,
                               unsigned int& height, unsigned int& channels,
                               unsigned int& frameNumber) {
  if (!buffer) return false;
  MutexLock guard(lock);
  if (nextMediaType.load() != Image || loadedUnits.empty() ||
      loadedUnits.front().mediaType != Image) {
    return false;
  }
  const LoadUnit& unit = loadedUnits.front();
  width = unit.width;
  height = unit.height;
  channels = unit.channels;
  frameNumber = unit.frameNumber;
  if (unit.size > bufferSize) return false;
  if (unit.size > 0) std::memcpy(buffer, unit.data.get(), unit.size);
  DiscardNextInput();
  return true;
}

bool ImageLoader::GetNextMetadataPacket(unsigned int bufferSize, unsigned int& size,
                                        unsigned char* buffer, unsigned int& frameNumber) {
  if (!buffer) return false;
  MutexLock guard(lock);
  if (nextMediaType.load() != MetadataPacket || loadedUnits.empty()) {
    return false;
  }
  const LoadUnit& unit = loadedUnits.front();
  frameNumber = unit.frameNumber;
  if (unit.mediaType != MetadataPacket || unit.size > bufferSize) return false;
  size = unit.size;
  if (unit.size > 0) std::memcpy(buffer, unit.data.get(), unit.size);
  DiscardNextInput();
  return true;
}

void ImageLoader::SetLoadingQueueMaxLength(unsigned int length) {
  if (length == loadingQueueMaxLength.load()) return;
  MutexLock guard(lock);
  const unsigned int old = loadingQueueMaxLength.load();
  if (length > old) {
    freeUnits.set_capacity(length);
    loadedUnits.set_capacity(length);
    for (unsigned int i = old; i < length; ++i) AddEmptyUnit();
  } else {
    unsigned int excess = old - length;
    while (excess > 0 && !freeUnits.empty()) {
      freeUnits.pop_back();
      --excess;
    }
    bool tookBack = false;
    unsigned int oldestFrame = 0;
    unsigned int oldestType = None;
    while (excess > 0 && !loadedUnits.empty()) {
      oldestFrame = loadedUnits.back().frameNumber;
      oldestType = loadedUnits.back().mediaType;
      loadedUnits.pop_back();
      --excess;
      tookBack = true;
    }
    if (tookBack) {
      // Move the position back so that the oldest unit taken back is the
      // next to be loaded: nothing read ahead is lost by a shrink.
      if (oldestType == Image) {
        lastFrame.store(oldestFrame);
        metadataPending.store(true);
      } else {
        lastFrame.store(std::int64_t{oldestFrame} - sequence.frameStep);
        metadataPending.store(false);
      }
      generation.fetch_add(1);
      if (loadedUnits.empty()) {
        nextMediaType.store(None);
        status.store(sequenceActive.load());
      }
      if (sequenceActive.load() == 0) {
        // The range had ended with these units queued; they still have to
        // come.
        sequenceActive.store(1);
        if (status.load() == Idle) status.store(Loading);
        wakeEvent->Set();
      }
    }
    freeUnits.set_capacity(length);
    loadedUnits.set_capacity(length);
  }
  loadingQueueMaxLength.store(length);
}

bool ImageLoader::PositionMoved(const Snapshot& snapshot) const {
  return generation.load() != snapshot.generation || lastFrame.load() != snapshot.lastFrame ||
         metadataPending.load() != snapshot.metadataPending;
}

void ImageLoader::ThreadLoop() {
  LoadUnit workUnit;
  std::uint64_t knownGeneration = 0;
  bool haveParameters = false;
  while (running.load()) {
    if (sequenceActive.load() == 0) {
      wakeEvent->WaitOne();
      if (!running.load()) break;
    }
    try {
      Snapshot snapshot{};
      bool poolEmpty = false;
      {
        MutexLock guard(lock);
        // A wake-up left over from an earlier Set() finds no sequence.
        if (sequenceActive.load() == 0) continue;
        poolEmpty = freeUnits.empty();
        if (!poolEmpty) {
          snapshot.lastFrame = lastFrame.load();
          snapshot.metadataPending = metadataPending.load();
          snapshot.generation = generation.load();
          // Names are composed outside the lock, so the thread works from
          // its own copy; it is taken again only when the sequence changed.
          if (!haveParameters || knownGeneration != snapshot.generation) {
            threadSequence = sequence;
            knownGeneration = snapshot.generation;
            haveParameters = true;
          }
        }
      }
      if (poolEmpty) {
        SleepMs(kEmptyPoolPauseMs);
        continue;
      }
      unsigned int frame = 0;
      switch (FindNextUnit(snapshot, workUnit, frame)) {
        case SearchResult::Loaded:
          QueueUnit(snapshot, workUnit);
          break;
        case SearchResult::EndOfRange:
          EndSequence(snapshot);
          break;
        case SearchResult::Abandoned:
          break;
      }
    } catch (const std::exception&) {
      // Only the parameter copy can get here (allocation); try again later
      // rather than spin.
      haveParameters = false;
      SleepMs(kEmptyPoolPauseMs);
    }
  }
}

ImageLoader::SearchResult ImageLoader::FindNextUnit(const Snapshot& snapshot, LoadUnit& workUnit,
                                                    unsigned int& frame) {
  const SequenceParameters& sequence = threadSequence;
  if (sequence.frameStep == 0) return SearchResult::EndOfRange;
  // After a queued packet the image of that same frame comes next.
  const bool afterPacket = snapshot.metadataPending;
  // 64-bit distance and frame: neither the step past the last frame nor the
  // search can run past the top of the 32-bit range and wrap back into it.
  std::uint64_t distance = afterPacket ? 0 : sequence.frameStep;
  std::int64_t candidate =
      afterPacket ? snapshot.lastFrame : snapshot.lastFrame + sequence.frameStep;
  for (;;) {
    if (distance > sequence.maxFrameGap || candidate > std::int64_t{sequence.endFrame}) {
      return SearchResult::EndOfRange;
    }
    const unsigned int number = static_cast<unsigned int>(candidate);
    bool loaded = false;
    try {
      if (!afterPacket) {
        const MetadataResult packet = LoadMetadata(number, workUnit);
        if (packet == MetadataResult::Unreadable) {
          return SearchResult::EndOfRange;
        }
        if (packet == MetadataResult::Found) {
          frame = number;
          return SearchResult::Loaded;
        }
      }
      loaded = LoadImage(number, workUnit);
    } catch (const std::exception&) {
      // A file that vanished under the last-write-time query, or a failed
      // allocation: this frame is skipped like a missing one.
      loaded = false;
    }
    if (loaded) {
      frame = number;
      return SearchResult::Loaded;
    }
    ++candidate;
    ++distance;
    if (!running.load() || PositionMoved(snapshot)) {
      return SearchResult::Abandoned;
    }
  }
}

ImageLoader::MetadataResult ImageLoader::LoadMetadata(unsigned int frame, LoadUnit& workUnit) {
  char digits[16];
  const auto written = std::to_chars(digits, digits + sizeof digits, frame);
  currentFileName.assign(threadSequence.metadataPrefix);
  currentFileName.append(digits, written.ptr);
  currentFileName.append(threadSequence.metadataSuffix);

  // A name that exists but is not a regular file (a FIFO, a directory)
  // cannot be read whole without the risk of blocking: it ends the sequence.
  std::unique_ptr<std::FILE, FileCloser> file(OpenRegularFileForReading(currentFileName.c_str()));
  if (!file) return errno == EINVAL ? MetadataResult::Unreadable : MetadataResult::Missing;
  if (std::fseek(file.get(), 0, SEEK_END) != 0) {
    return MetadataResult::Unreadable;
  }
  const long length = std::ftell(file.get());
  // A length that cannot be read or does not fit a unit's 32-bit size
  // cannot be delivered whole.
  if (length < 0 || static_cast<unsigned long>(length) > UINT_MAX) {
    return MetadataResult::Unreadable;
  }
  std::rewind(file.get());
  const unsigned int bytes = static_cast<unsigned int>(length);
  if (workUnit.capacity < bytes) {
    workUnit.data.reset();
    workUnit.capacity = 0;
    workUnit.data.reset(new unsigned char[bytes]);
    workUnit.capacity = bytes;
  }
  if (bytes > 0 && std::fread(workUnit.data.get(), 1, bytes, file.get()) != bytes) {
    return MetadataResult::Unreadable;
  }
  workUnit.mediaType = MetadataPacket;
  workUnit.frameNumber = frame;
  workUnit.size = bytes;
  workUnit.width = 0;
  workUnit.height = 0;
  workUnit.channels = 0;
  workUnit.timestamp = 0;
  return MetadataResult::Found;
}

bool ImageLoader::LoadImage(unsigned int frame, LoadUnit& workUnit) {
  const SequenceParameters& sequence = threadSequence;
  std::size_t folder = 0;
  if (sequence.folders.size() > 1 && sequence.framesPerFolder > 0) {
    folder =
        (frame / static_cast<unsigned int>(sequence.framesPerFolder)) % sequence.folders.size();
  }
  char digits[16];
  const int count = std::snprintf(digits, sizeof digits, "%08u", frame);
  currentFileName.assign(sequence.folders[folder]);
  currentFileName.append(digits, static_cast<std::size_t>(count));
  currentFileName.append(sequence.imageSuffix);

  long timestamp = 0;
  if (!LoadSingleInReallocableBufferPrivate(currentFileName.c_str(), workUnit.width,
                                            workUnit.height, workUnit.channels, workUnit.capacity,
                                            timestamp, workUnit.data, sequence.fileFormat)) {
    return false;
  }
  workUnit.mediaType = Image;
  workUnit.frameNumber = frame;
  workUnit.size = workUnit.width * workUnit.height * workUnit.channels;
  workUnit.timestamp = timestamp;
  return true;
}

void ImageLoader::QueueUnit(const Snapshot& snapshot, LoadUnit& workUnit) {
  MutexLock guard(lock);
  // A LoadSequence, restart, close or shrink since the snapshot moved the
  // position: the load belongs to a sequence that no longer wants it.
  if (PositionMoved(snapshot) || freeUnits.empty()) return;
  std::swap(workUnit, freeUnits.front());
  loadedUnits.push_back(std::move(freeUnits.front()));
  freeUnits.pop_front();
  const LoadUnit& queued = loadedUnits.back();
  lastFrame.store(queued.frameNumber);
  metadataPending.store(queued.mediaType == MetadataPacket);
  if (loadedUnits.size() == 1) nextMediaType.store(queued.mediaType);
  if (queued.mediaType == Image) status.store(Ready);
}

void ImageLoader::EndSequence(const Snapshot& snapshot) {
  MutexLock guard(lock);
  if (PositionMoved(snapshot) || sequenceActive.load() == 0) return;
  sequenceActive.store(0);
  if (status.load() == Loading) status.store(Idle);
}

}  // namespace KVO
