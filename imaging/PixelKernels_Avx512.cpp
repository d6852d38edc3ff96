#include "imaging/PixelKernels.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <array>

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

}  // namespace

const AcceleratedKernels* Avx512VbmiKernels() {
  static const AcceleratedKernels kernels = [] {
    AcceleratedKernels k = *Avx2Kernels();
    k.name = "avx512vbmi";
    k.whiteBalance = WhiteBalanceAvx512Vbmi;
    return k;
  }();
  return &kernels;
}

}  // namespace PixelKernels
}  // namespace KVO

#endif  // defined(__x86_64__)
