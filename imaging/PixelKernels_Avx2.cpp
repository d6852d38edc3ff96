#include "imaging/PixelKernels.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <cstring>
#include <utility>

// Every function here is compiled for AVX2 through the target attribute and
// is reached only after the run-time check in PixelKernels.cpp, so the rest
// of the library keeps the baseline instruction set. Byte shuffles use the
// 128-bit forms: the conversions are limited by memory, not by shuffles.
#define KVO_AVX2 __attribute__((target("avx2")))

namespace KVO {
namespace PixelKernels {

namespace {

using std::size_t;
using std::uint8_t;

KVO_AVX2 inline __m128i Load(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Non-temporal stores need 16-byte alignment; callers stream only from an
// aligned position.
KVO_AVX2 inline void Store(uint8_t* p, __m128i v, bool stream) {
  if (stream) {
    _mm_stream_si128(reinterpret_cast<__m128i*>(p), v);
  } else {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
  }
}

KVO_AVX2 inline __m128i Mask(char a0, char a1, char a2, char a3, char a4, char a5, char a6, char a7,
                             char a8, char a9, char a10, char a11, char a12, char a13, char a14,
                             char a15) {
  return _mm_setr_epi8(a0, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15);
}

constexpr char Z = static_cast<char>(0x80);  // shuffle index that yields 0

// Number of leading pixels to convert with plain stores so that the
// destination reaches 16-byte alignment, given its bytes per pixel. Where
// no whole number of pixels gets there (3 bytes per pixel aligns every 16
// pixels) the count is found by stepping.
inline size_t PixelsToAlign(const uint8_t* destination, size_t bytesPerPixel, size_t limit) {
  size_t pixels = 0;
  while (pixels < limit &&
         ((reinterpret_cast<std::uintptr_t>(destination) + pixels * bytesPerPixel) & 15u) != 0) {
    ++pixels;
  }
  return pixels;
}

KVO_AVX2 void CopyAvx2(const uint8_t* source, uint8_t* destination, size_t bytes, bool stream) {
  if (!stream || bytes < 256) {
    std::memcpy(destination, source, bytes);
    return;
  }
  const size_t head = (16 - (reinterpret_cast<std::uintptr_t>(destination) & 15u)) & 15u;
  std::memcpy(destination, source, head);
  size_t i = head;
  for (; i + 64 <= bytes; i += 64) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i + 32));
    if ((reinterpret_cast<std::uintptr_t>(destination + i) & 31u) == 0) {
      _mm256_stream_si256(reinterpret_cast<__m256i*>(destination + i), a);
      _mm256_stream_si256(reinterpret_cast<__m256i*>(destination + i + 32), b);
    } else {
      _mm_stream_si128(reinterpret_cast<__m128i*>(destination + i), _mm256_castsi256_si128(a));
      _mm_stream_si128(reinterpret_cast<__m128i*>(destination + i + 16),
                       _mm256_extracti128_si256(a, 1));
      _mm_stream_si128(reinterpret_cast<__m128i*>(destination + i + 32), _mm256_castsi256_si128(b));
      _mm_stream_si128(reinterpret_cast<__m128i*>(destination + i + 48),
                       _mm256_extracti128_si256(b, 1));
    }
  }
  std::memcpy(destination + i, source + i, bytes - i);
}

// The scalar loops for heads and tails, identical to the portable ones.
void Expand1To3Tail(const uint8_t* s, uint8_t* d, size_t n) {
  for (size_t i = 0; i < n; ++i) d[3 * i] = d[3 * i + 1] = d[3 * i + 2] = s[i];
}
void Expand1To4Tail(const uint8_t* s, uint8_t* d, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    d[4 * i] = d[4 * i + 1] = d[4 * i + 2] = s[i];
    d[4 * i + 3] = 0;
  }
}
void Drop4To3Tail(const uint8_t* s, uint8_t* d, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    d[3 * i] = s[4 * i];
    d[3 * i + 1] = s[4 * i + 1];
    d[3 * i + 2] = s[4 * i + 2];
  }
}
void Pad3To4Tail(const uint8_t* s, uint8_t* d, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    d[4 * i] = s[3 * i];
    d[4 * i + 1] = s[3 * i + 1];
    d[4 * i + 2] = s[3 * i + 2];
    d[4 * i + 3] = 0;
  }
}
void GreyTail(const uint8_t* s, uint8_t* d, size_t n, size_t step) {
  for (size_t i = 0; i < n; ++i) {
    d[i] = static_cast<uint8_t>((s[step * i] + s[step * i + 1] + s[step * i + 2]) / 3);
  }
}

KVO_AVX2 void Expand1To3Avx2(const uint8_t* s, uint8_t* d, size_t n, bool stream) {
  size_t i = stream ? PixelsToAlign(d, 3, n) : 0;
  Expand1To3Tail(s, d, i);
  const __m128i m0 = Mask(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
  const __m128i m1 = Mask(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
  const __m128i m2 = Mask(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
  for (; i + 16 <= n; i += 16) {
    const __m128i v = Load(s + i);
    uint8_t* out = d + 3 * i;
    Store(out, _mm_shuffle_epi8(v, m0), stream);
    Store(out + 16, _mm_shuffle_epi8(v, m1), stream);
    Store(out + 32, _mm_shuffle_epi8(v, m2), stream);
  }
  Expand1To3Tail(s + i, d + 3 * i, n - i);
}

KVO_AVX2 void Expand1To4Avx2(const uint8_t* s, uint8_t* d, size_t n, bool stream) {
  size_t i = stream ? PixelsToAlign(d, 4, n) : 0;
  Expand1To4Tail(s, d, i);
  const __m128i m0 = Mask(0, 0, 0, Z, 1, 1, 1, Z, 2, 2, 2, Z, 3, 3, 3, Z);
  const __m128i m1 = Mask(4, 4, 4, Z, 5, 5, 5, Z, 6, 6, 6, Z, 7, 7, 7, Z);
  const __m128i m2 = Mask(8, 8, 8, Z, 9, 9, 9, Z, 10, 10, 10, Z, 11, 11, 11, Z);
  const __m128i m3 = Mask(12, 12, 12, Z, 13, 13, 13, Z, 14, 14, 14, Z, 15, 15, 15, Z);
  for (; i + 16 <= n; i += 16) {
    const __m128i v = Load(s + i);
    uint8_t* out = d + 4 * i;
    Store(out, _mm_shuffle_epi8(v, m0), stream);
    Store(out + 16, _mm_shuffle_epi8(v, m1), stream);
    Store(out + 32, _mm_shuffle_epi8(v, m2), stream);
    Store(out + 48, _mm_shuffle_epi8(v, m3), stream);
  }
  Expand1To4Tail(s + i, d + 4 * i, n - i);
}

KVO_AVX2 void Drop4To3Avx2(const uint8_t* s, uint8_t* d, size_t n, bool stream) {
  size_t i = stream ? PixelsToAlign(d, 3, n) : 0;
  Drop4To3Tail(s, d, i);
  const __m128i m = Mask(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, Z, Z, Z, Z);
  for (; i + 16 <= n; i += 16) {
    const uint8_t* in = s + 4 * i;
    const __m128i a = _mm_shuffle_epi8(Load(in), m);
    const __m128i b = _mm_shuffle_epi8(Load(in + 16), m);
    const __m128i c = _mm_shuffle_epi8(Load(in + 32), m);
    const __m128i e = _mm_shuffle_epi8(Load(in + 48), m);
    uint8_t* out = d + 3 * i;
    Store(out, _mm_or_si128(a, _mm_slli_si128(b, 12)), stream);
    Store(out + 16, _mm_or_si128(_mm_srli_si128(b, 4), _mm_slli_si128(c, 8)), stream);
    Store(out + 32, _mm_or_si128(_mm_srli_si128(c, 8), _mm_slli_si128(e, 4)), stream);
  }
  Drop4To3Tail(s + 4 * i, d + 3 * i, n - i);
}

// Spreads 16 packed 3-byte pixels (48 bytes at `in`) into four vectors of
// four 4-byte pixels with a zero fourth byte.
KVO_AVX2 inline void Spread3To4(const uint8_t* in, __m128i out[4]) {
  const __m128i m = Mask(0, 1, 2, Z, 3, 4, 5, Z, 6, 7, 8, Z, 9, 10, 11, Z);
  const __m128i a = Load(in);
  const __m128i b = Load(in + 16);
  const __m128i c = Load(in + 32);
  out[0] = _mm_shuffle_epi8(a, m);
  out[1] = _mm_shuffle_epi8(_mm_alignr_epi8(b, a, 12), m);
  out[2] = _mm_shuffle_epi8(_mm_alignr_epi8(c, b, 8), m);
  out[3] = _mm_shuffle_epi8(_mm_srli_si128(c, 4), m);
}

KVO_AVX2 void Pad3To4Avx2(const uint8_t* s, uint8_t* d, size_t n, bool stream) {
  size_t i = stream ? PixelsToAlign(d, 4, n) : 0;
  Pad3To4Tail(s, d, i);
  for (; i + 16 <= n; i += 16) {
    __m128i v[4];
    Spread3To4(s + 3 * i, v);
    uint8_t* out = d + 4 * i;
    Store(out, v[0], stream);
    Store(out + 16, v[1], stream);
    Store(out + 32, v[2], stream);
    Store(out + 48, v[3], stream);
  }
  Pad3To4Tail(s + 3 * i, d + 4 * i, n - i);
}

// Grey of 16 pixels given as four vectors of 4-byte pixels: the sums of the
// first three bytes (at most 765) divided by 3 as (sum * 43691) >> 17, which
// equals sum / 3 rounded down for every sum up to 765.
KVO_AVX2 inline __m128i Grey16(const __m128i v[4]) {
  const __m128i weights = _mm_setr_epi8(1, 1, 1, 0, 1, 1, 1, 0, 1, 1, 1, 0, 1, 1, 1, 0);
  const __m128i low =
      _mm_hadd_epi16(_mm_maddubs_epi16(v[0], weights), _mm_maddubs_epi16(v[1], weights));
  const __m128i high =
      _mm_hadd_epi16(_mm_maddubs_epi16(v[2], weights), _mm_maddubs_epi16(v[3], weights));
  const __m128i third = _mm_set1_epi16(static_cast<short>(43691));
  const __m128i lowGrey = _mm_srli_epi16(_mm_mulhi_epu16(low, third), 1);
  const __m128i highGrey = _mm_srli_epi16(_mm_mulhi_epu16(high, third), 1);
  return _mm_packus_epi16(lowGrey, highGrey);
}

// Grey of 32 pixels given as four vectors of 4-byte pixels, each holding
// pixels 8k..8k+3 in its low lane and 8k+4..8k+7 in its high lane. The
// arithmetic is Grey16's; the in-lane packs leave 4-pixel groups in the
// order 0 2 4 6 | 1 3 5 7, which the final permute undoes.
KVO_AVX2 inline __m256i Grey32(const __m256i v[4]) {
  const __m256i weights = _mm256_set1_epi32(0x00010101);
  const __m256i third = _mm256_set1_epi16(static_cast<short>(43691));
  const __m256i low =
      _mm256_hadd_epi16(_mm256_maddubs_epi16(v[0], weights), _mm256_maddubs_epi16(v[1], weights));
  const __m256i high =
      _mm256_hadd_epi16(_mm256_maddubs_epi16(v[2], weights), _mm256_maddubs_epi16(v[3], weights));
  const __m256i packed = _mm256_packus_epi16(_mm256_srli_epi16(_mm256_mulhi_epu16(low, third), 1),
                                             _mm256_srli_epi16(_mm256_mulhi_epu16(high, third), 1));
  return _mm256_permutevar8x32_epi32(packed, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

KVO_AVX2 inline void Store32(uint8_t* p, __m256i v, bool stream) {
  Store(p, _mm256_castsi256_si128(v), stream);
  Store(p + 16, _mm256_extracti128_si256(v, 1), stream);
}

KVO_AVX2 void Grey3To1Avx2(const uint8_t* s, uint8_t* d, size_t n, bool stream) {
  size_t i = stream ? PixelsToAlign(d, 1, n) : 0;
  GreyTail(s, d, i, 3);
  const __m256i spread =
      _mm256_broadcastsi128_si256(Mask(0, 1, 2, Z, 3, 4, 5, Z, 6, 7, 8, Z, 9, 10, 11, Z));
  // Each lane loads 16 bytes for the 12 of its four pixels, so the last
  // group reads 4 bytes beyond the 96 of the block: keep 2 pixels in hand.
  for (; i + 34 <= n; i += 32) {
    const uint8_t* in = s + 3 * i;
    __m256i v[4];
    for (int k = 0; k < 4; ++k) {
      const __m256i pair = _mm256_inserti128_si256(_mm256_castsi128_si256(Load(in + 24 * k)),
                                                   Load(in + 24 * k + 12), 1);
      v[k] = _mm256_shuffle_epi8(pair, spread);
    }
    Store32(d + i, Grey32(v), stream);
  }
  for (; i + 16 <= n; i += 16) {
    __m128i v[4];
    Spread3To4(s + 3 * i, v);
    Store(d + i, Grey16(v), stream);
  }
  GreyTail(s + 3 * i, d + i, n - i, 3);
}

KVO_AVX2 void Grey4To1Avx2(const uint8_t* s, uint8_t* d, size_t n, bool stream) {
  size_t i = stream ? PixelsToAlign(d, 1, n) : 0;
  GreyTail(s, d, i, 4);
  for (; i + 32 <= n; i += 32) {
    const uint8_t* in = s + 4 * i;
    const __m256i v[4] = {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in)),
                          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 32)),
                          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 64)),
                          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 96))};
    Store32(d + i, Grey32(v), stream);
  }
  for (; i + 16 <= n; i += 16) {
    const uint8_t* in = s + 4 * i;
    const __m128i v[4] = {Load(in), Load(in + 16), Load(in + 32), Load(in + 48)};
    Store(d + i, Grey16(v), stream);
  }
  GreyTail(s + 4 * i, d + i, n - i, 4);
}

// The portable mirror, for row tails: the last `n` destination pixels come
// from the first `n` source pixels.
void MirrorTail(const uint8_t* s, uint8_t* d, size_t n, size_t pixelBytes) {
  for (size_t x = 0; x < n; ++x)
    std::memcpy(d + x * pixelBytes, s + (n - 1 - x) * pixelBytes, pixelBytes);
}

// Reverses the 32-byte units of kUnitBytes (1, 2, 4 or 8): in-lane byte
// shuffle, then the lanes swap.
template <size_t kUnitBytes>
KVO_AVX2 inline __m256i Reverse32(__m256i v) {
  if (kUnitBytes == 4)
    return _mm256_permutevar8x32_epi32(v, _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0));
  if (kUnitBytes == 8) return _mm256_permute4x64_epi64(v, 0x1B);
  const __m128i m = kUnitBytes == 1 ? Mask(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0)
                                    : Mask(14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1);
  return _mm256_permute4x64_epi64(_mm256_shuffle_epi8(v, _mm256_broadcastsi128_si256(m)), 0x4E);
}

template <size_t kPixelBytes>
KVO_AVX2 size_t MirrorBlocks(const uint8_t* s, uint8_t* d, size_t n) {
  constexpr size_t kStep = 32 / kPixelBytes;
  size_t i = 0;
  for (; i + kStep <= n; i += kStep) {
    const __m256i v =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + (n - i - kStep) * kPixelBytes));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + i * kPixelBytes), Reverse32<kPixelBytes>(v));
  }
  return i;
}

// Pixels of 3 bytes go 16 at a time: each 16-byte output vector gathers
// its bytes from two or three of the 48 source bytes' vectors.
template <>
KVO_AVX2 size_t MirrorBlocks<3>(const uint8_t* s, uint8_t* d, size_t n) {
  const __m128i out0FromB = Mask(Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, 14);
  const __m128i out0FromC = Mask(13, 14, 15, 10, 11, 12, 7, 8, 9, 4, 5, 6, 1, 2, 3, Z);
  const __m128i out1FromA = Mask(Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, 15, Z);
  const __m128i out1FromB = Mask(15, Z, 11, 12, 13, 8, 9, 10, 5, 6, 7, 2, 3, 4, Z, 0);
  const __m128i out1FromC = Mask(Z, 0, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z);
  const __m128i out2FromA = Mask(Z, 12, 13, 14, 9, 10, 11, 6, 7, 8, 3, 4, 5, 0, 1, 2);
  const __m128i out2FromB = Mask(1, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z);
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const uint8_t* in = s + 3 * (n - i - 16);
    const __m128i a = Load(in);
    const __m128i b = Load(in + 16);
    const __m128i c = Load(in + 32);
    uint8_t* out = d + 3 * i;
    Store(out, _mm_or_si128(_mm_shuffle_epi8(b, out0FromB), _mm_shuffle_epi8(c, out0FromC)), false);
    Store(out + 16,
          _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, out1FromA), _mm_shuffle_epi8(b, out1FromB)),
                       _mm_shuffle_epi8(c, out1FromC)),
          false);
    Store(out + 32, _mm_or_si128(_mm_shuffle_epi8(a, out2FromA), _mm_shuffle_epi8(b, out2FromB)),
          false);
  }
  return i;
}

// Writes through the caches: with the source read from each row's end,
// streaming stores measured slower than cached ones even on images too
// large for the caches.
KVO_AVX2 void MirrorAvx2(const uint8_t* s, uint8_t* d, size_t n, size_t pixelBytes) {
  const size_t i = pixelBytes == 1   ? MirrorBlocks<1>(s, d, n)
                   : pixelBytes == 2 ? MirrorBlocks<2>(s, d, n)
                   : pixelBytes == 3 ? MirrorBlocks<3>(s, d, n)
                   : pixelBytes == 4 ? MirrorBlocks<4>(s, d, n)
                                     : MirrorBlocks<8>(s, d, n);
  MirrorTail(s, d + i * pixelBytes, n - i, pixelBytes);
}

KVO_AVX2 void SwapAvx2(uint8_t* a, uint8_t* b, size_t bytes) {
  size_t i = 0;
  for (; i + 64 <= bytes; i += 64) {
    const __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
    const __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i + 32));
    const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
    const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i + 32));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(a + i), b0);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(a + i + 32), b1);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(b + i), a0);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(b + i + 32), a1);
  }
  for (; i < bytes; ++i) std::swap(a[i], b[i]);
}

inline uint8_t BalanceOne(uint8_t v, uint8_t level, float factor) {
  if (v >= level) return 255;
  return static_cast<uint8_t>(static_cast<int>(static_cast<float>(v) * factor));
}

// 8 bytes through their per-lane factors: the same single-precision product
// and truncation as the scalar rule.
KVO_AVX2 inline __m256i Scale8(__m128i bytes, __m256 factors) {
  const __m256 values = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes));
  return _mm256_cvttps_epi32(_mm256_mul_ps(values, factors));
}

KVO_AVX2 void WhiteBalanceAvx2(uint8_t* pixels, size_t count, int step, const float factors[3],
                               const uint8_t levels[3]) {
  // A block of 96 bytes holds whole pixels for both steps (32 of 3 bytes,
  // 24 of 4), so each byte position in it has a fixed channel.
  constexpr size_t kBlock = 96;
  alignas(32) float laneFactors[kBlock];
  alignas(32) uint8_t laneLevels[kBlock];
  alignas(32) uint8_t laneKeep[kBlock];
  for (size_t j = 0; j < kBlock; ++j) {
    const size_t c = j % static_cast<size_t>(step);
    laneFactors[j] = c < 3 ? factors[c] : 1.0f;
    laneLevels[j] = c < 3 ? levels[c] : 0;
    laneKeep[j] = c < 3 ? 0 : 0xFF;
  }
  const size_t bytes = count * static_cast<size_t>(step);
  size_t i = 0;
  for (; i + kBlock <= bytes; i += kBlock) {
    for (size_t j = 0; j < kBlock; j += 32) {
      uint8_t* p = pixels + i + j;
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
      const __m128i lo = _mm256_castsi256_si128(v);
      const __m128i hi = _mm256_extracti128_si256(v, 1);
      const __m256i s0 = Scale8(lo, _mm256_load_ps(laneFactors + j));
      const __m256i s1 = Scale8(_mm_srli_si128(lo, 8), _mm256_load_ps(laneFactors + j + 8));
      const __m256i s2 = Scale8(hi, _mm256_load_ps(laneFactors + j + 16));
      const __m256i s3 = Scale8(_mm_srli_si128(hi, 8), _mm256_load_ps(laneFactors + j + 24));
      // Below the level every product is under 255, so the saturating packs
      // are exact there; at or above it the lane becomes 255 anyway.
      const __m256i words = _mm256_packus_epi32(s0, s1);
      const __m256i words2 = _mm256_packus_epi32(s2, s3);
      // The in-lane packs leave 4-byte groups in the order 0 2 4 6 | 1 3 5 7
      // of the source groups; put them back.
      const __m256i packed = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(words, words2),
                                                         _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
      const __m256i level = _mm256_load_si256(reinterpret_cast<const __m256i*>(laneLevels + j));
      const __m256i atLeast = _mm256_cmpeq_epi8(_mm256_max_epu8(v, level), v);
      const __m256i balanced = _mm256_or_si256(packed, atLeast);
      const __m256i keep = _mm256_load_si256(reinterpret_cast<const __m256i*>(laneKeep + j));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm256_blendv_epi8(balanced, v, keep));
    }
  }
  for (; i < bytes; ++i) {
    const size_t c = i % static_cast<size_t>(step);
    if (c < 3) pixels[i] = BalanceOne(pixels[i], levels[c], factors[c]);
  }
}

const AcceleratedKernels kAvx2 = {"avx2",       CopyAvx2,    Expand1To3Avx2,  Expand1To4Avx2,
                                  Drop4To3Avx2, Pad3To4Avx2, Grey3To1Avx2,    Grey4To1Avx2,
                                  MirrorAvx2,   SwapAvx2,    WhiteBalanceAvx2};

}  // namespace

const AcceleratedKernels* Avx2Kernels() { return &kAvx2; }

}  // namespace PixelKernels
}  // namespace KVO

#endif  // defined(__x86_64__)
