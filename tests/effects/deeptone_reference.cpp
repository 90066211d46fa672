// Plain DeepTone reference; see deeptone_reference.h.
#include "deeptone_reference.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace deeptone_reference {

int32_t Reciprocal16(int i) { return i == 0 ? 65536 : 65536 / i; }
int32_t Reciprocal18(int i) { return static_cast<int32_t>(std::floor(262144.0 / std::max(i, 4) + 0.5)); }
int32_t Power15(int i) {
  return std::min<int32_t>(1023, static_cast<int32_t>(std::floor(std::pow(static_cast<double>(i), 1.5) / 16 + 0.5)));
}
int32_t Lift(int i) { return static_cast<int32_t>(96 * std::pow(i / 96.0, 0.5) - i + 0.5); }

namespace {

int64_t Clamp(int64_t v, int64_t lo, int64_t hi) { return std::min(std::max(v, lo), hi); }

// Weighted sum / 16 to nearest, halves to even.
int64_t RoundHalfEven16(int64_t sum) {
  int64_t q = sum / 16, r = sum % 16;
  if (r > 8 || (r == 8 && (q & 1))) ++q;
  return q;
}

}  // namespace

void Run(State& state, uint8_t* frame, int stride, int width, int height, int mode) {
  if (mode != 2 && mode != 3) return;
  if (width < 8 || height < 8) return;
  const int W = width, H = height;
  const int tileW = W / 4, tileH = H / 4, halfW = tileW >> 1, halfH = tileH >> 1;
  const int64_t area9 = 9LL * tileW * tileH;
  int e = 0;
  std::frexp(static_cast<double>(area9), &e);
  const int64_t histScale = static_cast<int64_t>(std::pow(2.0, e + 1) * 255 / static_cast<double>(area9));
  auto gainTable = [&](int64_t k) { return (k << 18) / (static_cast<int64_t>(halfW) * halfH); };

  std::vector<int32_t> luma(W * H), base(W * H), edge(W * H);
  for (int r = 0; r < H; ++r)
    for (int c = 0; c < W; ++c) luma[r * W + c] = 4 * frame[r * stride + 2 * c];

  const bool first = !state.created;
  if (first) {
    state = State{};
    state.created = true;
  }

  // First pass: the two smoothings.
  for (int r = 0; r < H; ++r)
    for (int c = 0; c < W; ++c) {
      const int i = r * W + c;
      if (r == 0 || r == H - 1 || c == 0 || c == W - 1) {
        base[i] = edge[i] = luma[i];
        continue;
      }
      const int64_t centre = luma[i];
      int64_t sb = 4 * centre, se = 4 * centre;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
          if (!dy && !dx) continue;
          const int64_t w = (dy == 0 || dx == 0) ? 2 : 1;
          const int64_t n = luma[(r + dy) * W + c + dx];
          const bool small = std::llabs(n - centre) <= 128;
          sb += w * (small ? n : centre);
          se += w * (small ? centre : n);
        }
      const bool truncating = c < 4 || c >= W - 4;
      base[i] = static_cast<int32_t>(Clamp(truncating ? sb >> 4 : RoundHalfEven16(sb), 0, 1023));
      edge[i] = static_cast<int32_t>(Clamp(truncating ? se >> 4 : RoundHalfEven16(se), 0, 1023));
    }

  // Tile statistics (pixels outside the 4 x 4 tiles are not counted).
  int64_t hist[16][32] = {}, sum[16] = {}, darkSum[16] = {}, darkCount[16] = {};
  for (int r = 0; r < H; ++r)
    for (int c = 0; c < W; ++c) {
      const int tc = c / tileW, tr = r / tileH;
      if (tc >= 4 || tr >= 4) continue;
      const int t = tr * 4 + tc;
      const int64_t v = std::max(base[r * W + c], 0);
      const int64_t bin = v >> 5, frac = v & 31;
      hist[t][bin] += 32 - frac;
      if (bin + 1 < 32) hist[t][bin + 1] += frac;
      sum[t] += v;
      if (v < 384) {
        darkSum[t] += v;
        darkCount[t] += 1;
      }
    }

  int32_t curve[16][32] = {};
  for (int tr = 1; tr <= 2; ++tr)
    for (int tc = 1; tc <= 2; ++tc) {
      const int t = tr * 4 + tc;
      int64_t h[32] = {}, S = 0, DS = 0, DC = 0;
      for (int a = tr - 1; a <= tr + 1; ++a)
        for (int b = tc - 1; b <= tc + 1; ++b) {
          for (int j = 0; j < 32; ++j) h[j] += hist[a * 4 + b][j];
          S += sum[a * 4 + b];
          DS += darkSum[a * 4 + b];
          DC += darkCount[a * 4 + b];
        }
      for (int j = 0; j < 32; ++j) h[j] >>= 5;
      int64_t dividend = DC > 0 ? DS : S;
      int64_t divisor = DC > 0 ? DC + 1 : area9;
      while (divisor >= 1024) {
        divisor >>= 1;
        dividend >>= 1;
      }
      const int64_t m = (Reciprocal18(static_cast<int>(divisor)) * dividend) >> 18;

      int64_t cdf[32];
      for (int j = 0; j < 32; ++j) cdf[j] = (j ? cdf[j - 1] : 0) + h[j];
      int mode = 0;
      for (int j = 1; j < 32; ++j)
        if (h[j] > 0 && (mode == 0 || h[j] > h[mode])) mode = j;
      for (int j = 0; j < 32; ++j) {
        h[j] = e < 15 ? h[j] << (15 - e) : h[j] >> (e - 15);
        cdf[j] = e < 15 ? cdf[j] << (15 - e) : cdf[j] >> (e - 15);
        h[j] = (h[j] * histScale) >> 16;
        cdf[j] = (cdf[j] * histScale) >> 16;
      }
      int64_t lo = 31, hi = 31;
      for (int j = 31; j >= 0; --j) {
        if (cdf[j] > 25) lo = j;
        if (cdf[j] > 230) hi = j;
      }
      int64_t black = std::min((m >> 5) + (m >> 2) + (m >> 1), lo << 5);
      int64_t white = std::min<int64_t>(std::max(m + (m >> 1), hi << 5), 1023);

      const int64_t p = h[mode];
      const int64_t g = (32 * Reciprocal16(static_cast<int>(p)) * 255) >> 16;
      const int64_t peak = mode == 0 ? h[0] + h[1] : h[mode - 1] + h[mode] + (mode < 31 ? h[mode + 1] : 0);
      const int64_t spread = ((255 - peak) * ((hi - lo) << 5)) >> 6;
      int64_t s = std::min(std::min(g, spread), int64_t{1023});
      state.strength[t] = static_cast<int32_t>((state.strength[t] + s) >> 1);
      s = state.strength[t];

      if (white > 384) {
        white = 384;
        if (black > 384) black = 384;
      }
      const int64_t d = m < 384 ? Lift(static_cast<int>(m >> 2)) : 0;
      state.lift[t] = static_cast<int32_t>((state.lift[t] + d) >> 1);
      int64_t blackOut = black + state.lift[t], whiteOut = white + state.lift[t];
      if (whiteOut > 1023) {
        whiteOut = 1023;
        if (blackOut > 1023) blackOut = 1023;
      }
      blackOut = (blackOut * (1023 - s)) >> 10;
      whiteOut = (whiteOut * (1023 - s)) >> 10;

      int64_t k[32];
      for (int j = 0; j < 32; ++j) {
        const int64_t x = 32 * j + 16;
        if (x < black + 16)
          k[j] = (Reciprocal16(static_cast<int>(black >> 2)) * blackOut * x) >> 18;
        else if (x < white + 16)
          k[j] = blackOut +
                 (((whiteOut - blackOut) * Reciprocal16(static_cast<int>((white - black) >> 2)) * (x - black)) >> 18);
        else
          k[j] = whiteOut +
                 (((1023 - whiteOut - s) * Reciprocal16(static_cast<int>((1023 - white) >> 2)) * (x - white)) >> 18);
      }
      int64_t cv[32];
      for (int j = 0; j < 32; ++j) cv[j] = ((cdf[j] * s) >> 8) + k[j];
      cv[31] = std::min<int64_t>(cv[31], 1023);
      for (int j = 0; j < 32; ++j) curve[t][j] = static_cast<int32_t>(cv[j] >> 2);
      if (first)
        for (int j = 0; j < 32; ++j) state.curves[t][j] = 8 * j;
    }

  // Rendering.
  const int renderWidth = mode == 3 ? W / 2 : W;
  for (int r = 0; r < H; ++r)
    for (int c = 0; c < renderWidth; ++c) {
      const int i = r * W + c;
      const int64_t v = base[i], l = luma[i], g = edge[i];
      const int64_t vp = v + 16, b = vp >> 5, f = vp & 31;
      const int tileColumn = c / tileW, dx = c % tileW, tileRow = r / tileH, dy = r % tileH;
      int left, upper;
      int64_t dl, dr, du, dd;
      if (dx < halfW) {
        left = tileColumn - 1;
        dl = dx + halfW;
        dr = halfW - dx;
      } else {
        left = tileColumn;
        dl = dx - halfW;
        dr = tileW + halfW - dx;
      }
      if (dy < halfH) {
        upper = tileRow - 1;
        du = dy + halfH;
        dd = halfH - dy;
      } else {
        upper = tileRow;
        du = dy - halfH;
        dd = tileH + halfH - dy;
      }
      const int right = std::clamp(left + 1, 1, 2), lower = std::clamp(upper + 1, 1, 2);
      left = std::clamp(left, 1, 2);
      upper = std::clamp(upper, 1, 2);
      const int tiles[4] = {upper * 4 + left, upper * 4 + right, lower * 4 + left, lower * 4 + right};
      const int64_t weights[4] = {(dr * dd) >> 4, (dl * dd) >> 4, (dr * du) >> 4, (dl * du) >> 4};
      int64_t acc = 0;
      for (int q = 0; q < 4; ++q) {
        const int32_t* cu = state.curves[tiles[q]];
        int64_t term;
        if (b == 0)
          term = (f - 16) * gainTable(cu[0]);
        else if (b <= 31)
          term = (32 - f) * gainTable(cu[b - 1]) + f * gainTable(cu[b]);
        else
          term = (32 - f) * gainTable(cu[31]) + f * gainTable(256);
        acc += weights[q] * term;
      }
      int64_t mapped = acc >> 19;
      if (mapped > 2 * v) mapped = 2 * v;
      const int64_t qv = std::min<int64_t>((Reciprocal18(static_cast<int>(g)) * l) >> 2, 0x3FFFF);
      const int64_t detail = Power15(static_cast<int>(qv >> 8));
      const int64_t gain = (Reciprocal18(static_cast<int>(l)) * mapped) >> 2;
      const int64_t n = std::min<int64_t>((detail * mapped) >> 8, 1023);
      uint8_t* px = frame + r * stride + 2 * c;
      px[0] = static_cast<uint8_t>(std::min<int64_t>(n / 4, 255));
      const int64_t C = px[1];
      const int64_t tt = ((((C - 128) * gain * 4) >> 16) + 512);
      px[1] = static_cast<uint8_t>(Clamp(tt / 4, 0, 255));
    }

  for (int t = 0; t < 16; ++t)
    for (int j = 0; j < 32; ++j) state.curves[t][j] = (curve[t][j] + state.curves[t][j]) >> 1;
  ++state.frameCount;
}

}  // namespace deeptone_reference
