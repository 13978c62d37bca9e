#include "resources/window_icon.h"

#include <algorithm>
#include <cmath>
#include <iterator>

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

namespace {

void Put16(std::vector<std::uint8_t>& out, unsigned value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  Put16(out, value & 0xffff);
  Put16(out, value >> 16);
}

// One image of the file: a bitmap header, the pixels bottom row first as
// BGRA, then the 1-bit mask (set where the picture is transparent).
std::vector<std::uint8_t> IconImage(int size) {
  std::vector<std::uint8_t> rgba = WindowIconRgba(size);
  const std::size_t maskRow = static_cast<std::size_t>((size + 31) / 32 * 4);
  std::vector<std::uint8_t> out;
  Put32(out, 40);
  Put32(out, static_cast<std::uint32_t>(size));
  Put32(out, static_cast<std::uint32_t>(2 * size));  // the colours and the mask
  Put16(out, 1);
  Put16(out, 32);
  Put32(out, 0);
  Put32(out, static_cast<std::uint32_t>(size * size * 4 + maskRow * size));
  for (int i = 0; i < 4; ++i) Put32(out, 0);
  for (int y = size - 1; y >= 0; --y) {
    for (int x = 0; x < size; ++x) {
      const std::uint8_t* p = &rgba[(static_cast<std::size_t>(y) * size + x) * 4];
      out.insert(out.end(), {p[2], p[1], p[0], p[3]});
    }
  }
  for (int y = size - 1; y >= 0; --y) {
    std::vector<std::uint8_t> row(maskRow, 0);
    for (int x = 0; x < size; ++x) {
      if (rgba[(static_cast<std::size_t>(y) * size + x) * 4 + 3] == 0)
        row[static_cast<std::size_t>(x / 8)] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

}  // namespace

std::vector<std::uint8_t> WindowIconFile() {
  constexpr std::size_t kCount = std::size(kWindowIconFileSizes);
  std::vector<std::uint8_t> out;
  Put16(out, 0);
  Put16(out, 1);  // an icon
  Put16(out, kCount);
  std::vector<std::vector<std::uint8_t>> images;
  std::uint32_t offset = static_cast<std::uint32_t>(6 + 16 * kCount);
  for (int size : kWindowIconFileSizes) {
    images.push_back(IconImage(size));
    out.push_back(static_cast<std::uint8_t>(size));
    out.push_back(static_cast<std::uint8_t>(size));
    out.push_back(0);  // no palette
    out.push_back(0);
    Put16(out, 1);
    Put16(out, 32);
    Put32(out, static_cast<std::uint32_t>(images.back().size()));
    Put32(out, offset);
    offset += static_cast<std::uint32_t>(images.back().size());
  }
  for (const auto& image : images) out.insert(out.end(), image.begin(), image.end());
  return out;
}

}  // namespace resources
