#include "imaging/PixelKernels.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <array>
#include <cstdint>

// Compiled for AVX-512 through the target attribute and reached only after
// the run-time check in PixelKernels.cpp.
#define KVO_AVX512VBMI __attribute__((target("avx2,avx512f,avx512bw,avx512vbmi")))

namespace KVO {
namespace PixelKernels {

namespace {

using std::size_t;
using std::uint8_t;

using Table = std::array<uint8_t, 256>;

Table MakeTable(uint8_t level, float factor) {
  Table table;
  for (int v = 0; v < 256; ++v) {
    table[v] =
        v >= level ? 255 : static_cast<uint8_t>(static_cast<int>(static_cast<float>(v) * factor));
  }
  return table;
}

// A 256-entry byte table in four registers, looked up 64 bytes at a time:
// two two-register permutes cover indices below and above 128, and the top
// bit of each index picks between them.
struct ZmmTable {
  __m512i q0, q1, q2, q3;
};

KVO_AVX512VBMI inline ZmmTable LoadTable(const Table& t) {
  return {_mm512_loadu_si512(t.data()), _mm512_loadu_si512(t.data() + 64),
          _mm512_loadu_si512(t.data() + 128), _mm512_loadu_si512(t.data() + 192)};
}

KVO_AVX512VBMI inline __m512i Lookup(const ZmmTable& t, __m512i v, __mmask64 high) {
  const __m512i low = _mm512_permutex2var_epi8(t.q0, v, t.q1);
  const __m512i upper = _mm512_permutex2var_epi8(t.q2, v, t.q3);
  return _mm512_mask_blend_epi8(high, low, upper);
}

KVO_AVX512VBMI void WhiteBalanceAvx512Vbmi(uint8_t* pixels, size_t count, int step,
                                           const float factors[3], const uint8_t levels[3]) {
  const Table tables[3] = {MakeTable(levels[0], factors[0]), MakeTable(levels[1], factors[1]),
                           MakeTable(levels[2], factors[2])};
  const ZmmTable zmm[3] = {LoadTable(tables[0]), LoadTable(tables[1]), LoadTable(tables[2])};
  // 192 bytes hold whole pixels for both steps (64 of 3 bytes, 48 of 4), so
  // each of its three vectors has a fixed channel pattern.
  constexpr size_t kBlock = 192;
  __mmask64 channelMasks[3][3] = {};
  for (size_t vector = 0; vector < 3; ++vector) {
    for (size_t lane = 0; lane < 64; ++lane) {
      const size_t c = (vector * 64 + lane) % static_cast<size_t>(step);
      if (c < 3) channelMasks[vector][c] |= __mmask64{1} << lane;
    }
  }
  const size_t bytes = count * static_cast<size_t>(step);
  size_t i = 0;
  for (; i + kBlock <= bytes; i += kBlock) {
    for (size_t vector = 0; vector < 3; ++vector) {
      uint8_t* p = pixels + i + vector * 64;
      const __m512i v = _mm512_loadu_si512(p);
      const __mmask64 high = _mm512_movepi8_mask(v);
      __m512i out = v;  // a fourth channel keeps its bytes
      for (size_t c = 0; c < 3; ++c) {
        out = _mm512_mask_mov_epi8(out, channelMasks[vector][c], Lookup(zmm[c], v, high));
      }
      _mm512_storeu_si512(p, out);
    }
  }
  for (; i < bytes; ++i) {
    const size_t c = i % static_cast<size_t>(step);
    if (c < 3) pixels[i] = tables[c][pixels[i]];
  }
}

// Byte permute indices that gather channel `channel` of 32 packed 3-byte
// pixels (96 bytes across two registers) into the low bytes of 32 words.
std::array<uint8_t, 64> ChannelIndices(int channel) {
  std::array<uint8_t, 64> indices{};
  for (int p = 0; p < 32; ++p) indices[2 * p] = static_cast<uint8_t>(3 * p + channel);
  return indices;
}

// Grey of 32 pixels at a time: three zero-masked permutes spread the
// channels into 16-bit lanes, whose sum (at most 765) is divided by 3 as
// (sum * 43691) >> 17, exact for every such sum.
KVO_AVX512VBMI void Grey3To1Avx512Vbmi(const uint8_t* s, uint8_t* d, size_t n, bool stream) {
  static const std::array<uint8_t, 64> kBlue = ChannelIndices(0);
  static const std::array<uint8_t, 64> kGreen = ChannelIndices(1);
  static const std::array<uint8_t, 64> kRed = ChannelIndices(2);
  const __m512i blueIndices = _mm512_loadu_si512(kBlue.data());
  const __m512i greenIndices = _mm512_loadu_si512(kGreen.data());
  const __m512i redIndices = _mm512_loadu_si512(kRed.data());
  const __m512i third = _mm512_set1_epi16(static_cast<short>(43691));
  constexpr __mmask64 kLowBytes = 0x5555555555555555ull;
  size_t i = 0;
  if (stream) {
    while (i < n && (reinterpret_cast<std::uintptr_t>(d + i) & 31u) != 0) {
      d[i] = static_cast<uint8_t>((s[3 * i] + s[3 * i + 1] + s[3 * i + 2]) / 3);
      ++i;
    }
  }
  for (; i + 32 <= n; i += 32) {
    const uint8_t* in = s + 3 * i;
    const __m512i a = _mm512_loadu_si512(in);
    const __m512i b = _mm512_maskz_loadu_epi8(0xFFFFFFFFull, in + 64);
    const __m512i blue = _mm512_maskz_permutex2var_epi8(kLowBytes, a, blueIndices, b);
    const __m512i green = _mm512_maskz_permutex2var_epi8(kLowBytes, a, greenIndices, b);
    const __m512i red = _mm512_maskz_permutex2var_epi8(kLowBytes, a, redIndices, b);
    const __m512i sum = _mm512_add_epi16(_mm512_add_epi16(blue, green), red);
    // The zero-masked narrowing avoids the unmasked form's undefined
    // register, which GCC reports as maybe-uninitialised.
    const __m256i grey = _mm512_maskz_cvtepi16_epi8(
        0xFFFFFFFFu, _mm512_srli_epi16(_mm512_mulhi_epu16(sum, third), 1));
    if (stream) {
      _mm256_stream_si256(reinterpret_cast<__m256i*>(d + i), grey);
    } else {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + i), grey);
    }
  }
  for (; i < n; ++i) d[i] = static_cast<uint8_t>((s[3 * i] + s[3 * i + 1] + s[3 * i + 2]) / 3);
}

}  // namespace

const AcceleratedKernels* Avx512VbmiKernels() {
  static const AcceleratedKernels kernels = [] {
    AcceleratedKernels k = *Avx2Kernels();
    k.name = "avx512vbmi";
    k.grey3To1 = Grey3To1Avx512Vbmi;
    k.whiteBalance = WhiteBalanceAvx512Vbmi;
    return k;
  }();
  return &kernels;
}

}  // namespace PixelKernels
}  // namespace KVO

#endif  // defined(__x86_64__)
