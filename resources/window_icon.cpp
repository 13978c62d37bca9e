#include "resources/window_icon.h"

#include <algorithm>
#include <cmath>

namespace resources {
namespace {

// The picture in a unit square, y growing downwards.
constexpr double kMargin = 0.04;
constexpr double kCorner = 0.20;

bool InTile(double x, double y) {
  double lo = kMargin, hi = 1.0 - kMargin;
  if (x < lo || x > hi || y < lo || y > hi) return false;
  double cx = std::clamp(x, lo + kCorner, hi - kCorner);
  double cy = std::clamp(y, lo + kCorner, hi - kCorner);
  double dx = x - cx, dy = y - cy;
  return dx * dx + dy * dy <= kCorner * kCorner;
}

bool InArrow(double x, double y) {
  // Shaft.
  if (x >= 0.42 && x <= 0.58 && y >= 0.18 && y <= 0.50) return true;
  // Head: a triangle from (0.24, 0.46) and (0.76, 0.46) down to (0.5, 0.72).
  if (y < 0.46 || y > 0.72) return false;
  double halfWidth = 0.26 * (0.72 - y) / 0.26;
  return std::fabs(x - 0.5) <= halfWidth;
}

bool InBar(double x, double y) { return x >= 0.24 && x <= 0.76 && y >= 0.77 && y <= 0.84; }

}  // namespace

std::vector<std::uint8_t> WindowIconRgba(int size) {
  if (size < 8 || size > 256) return {};
  constexpr int kSamples = 4;  // per pixel and axis, for smooth edges
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(size) * size * 4);
  for (int py = 0; py < size; ++py) {
    for (int px = 0; px < size; ++px) {
      int tile = 0, mark = 0;
      for (int sy = 0; sy < kSamples; ++sy) {
        for (int sx = 0; sx < kSamples; ++sx) {
          double x = (px + (sx + 0.5) / kSamples) / size;
          double y = (py + (sy + 0.5) / kSamples) / size;
          if (!InTile(x, y)) continue;
          ++tile;
          if (InArrow(x, y) || InBar(x, y)) ++mark;
        }
      }
      std::uint8_t* p = &pixels[(static_cast<std::size_t>(py) * size + px) * 4];
      if (tile == 0) continue;  // transparent
      // The tile runs from a light blue at the top to a deeper one below.
      double t = (py + 0.5) / size;
      double red = 0x3f + (0x1a - 0x3f) * t;
      double green = 0x94 + (0x5c - 0x94) * t;
      double blue = 0xec + (0xc0 - 0xec) * t;
      double white = static_cast<double>(mark) / tile;
      p[0] = static_cast<std::uint8_t>(std::lround(red + (255 - red) * white));
      p[1] = static_cast<std::uint8_t>(std::lround(green + (255 - green) * white));
      p[2] = static_cast<std::uint8_t>(std::lround(blue + (255 - blue) * white));
      p[3] = static_cast<std::uint8_t>(std::lround(255.0 * tile / (kSamples * kSamples)));
    }
  }
  return pixels;
}

}  // namespace resources
