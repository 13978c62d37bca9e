#include "resources/window_icon.h"

#include <algorithm>
#include <array>
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

void PutBigEndian32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

std::uint32_t Adler32(const std::vector<std::uint8_t>& data) {
  std::uint32_t a = 1, b = 0;
  for (std::uint8_t byte : data) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  return b << 16 | a;
}

// A PNG chunk: length, type, data, and the CRC of type and data.
void PutChunk(std::vector<std::uint8_t>& out, const char (&type)[5], const std::vector<std::uint8_t>& data) {
  PutBigEndian32(out, static_cast<std::uint32_t>(data.size()));
  const std::size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  PutBigEndian32(out, Crc32(&out[start], out.size() - start));
}

// Deflate's bits, least significant first; its codes go most significant
// bit first.
class BitWriter {
 public:
  explicit BitWriter(std::vector<std::uint8_t>& out) : out_(out) {}
  void Put(std::uint32_t value, int count) {
    bits_ |= value << used_;
    for (used_ += count; used_ >= 8; used_ -= 8, bits_ >>= 8) out_.push_back(static_cast<std::uint8_t>(bits_));
  }
  void PutCode(std::uint32_t code, int count) {
    std::uint32_t reversed = 0;
    for (int i = 0; i < count; ++i) reversed |= (code >> i & 1) << (count - 1 - i);
    Put(reversed, count);
  }
  void Flush() {
    if (used_ > 0) out_.push_back(static_cast<std::uint8_t>(bits_));
    bits_ = 0;
    used_ = 0;
  }

 private:
  std::vector<std::uint8_t>& out_;
  std::uint32_t bits_ = 0;
  int used_ = 0;
};

// A literal byte, a length or the end of the block, in deflate's fixed code.
void PutFixedSymbol(BitWriter& w, int symbol) {
  if (symbol < 144) w.PutCode(0x30 + symbol, 8);
  else if (symbol < 256) w.PutCode(0x190 + symbol - 144, 9);
  else if (symbol < 280) w.PutCode(symbol - 256, 7);
  else w.PutCode(0xC0 + symbol - 280, 8);
}

// A deflate stream of one block in the fixed code whose only matches repeat
// the 4 bytes before, that is the pixel to the left: the picture is runs of
// one colour, which this shrinks to a few kilobytes without a library.
std::vector<std::uint8_t> DeflatePixelRuns(const std::vector<std::uint8_t>& data) {
  static constexpr int kLengthBase[] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                        31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
  static constexpr int kLengthExtraBits[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                             2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
  constexpr std::size_t kDistance = 4;
  constexpr int kDistanceCode = 3;  // distance 4, no extra bits
  std::vector<std::uint8_t> out;
  BitWriter w(out);
  w.Put(1, 1);  // the last block
  w.Put(1, 2);  // fixed codes
  for (std::size_t i = 0; i < data.size();) {
    std::size_t run = 0;
    while (i >= kDistance && run < 258 && i + run < data.size() && data[i + run] == data[i + run - kDistance]) ++run;
    if (run < 3) {
      PutFixedSymbol(w, data[i++]);
      continue;
    }
    int code = 28;
    while (kLengthBase[code] > static_cast<int>(run)) --code;
    PutFixedSymbol(w, 257 + code);
    w.Put(static_cast<std::uint32_t>(run) - kLengthBase[code], kLengthExtraBits[code]);
    w.PutCode(kDistanceCode, 5);
    i += run;
  }
  PutFixedSymbol(w, 256);
  w.Flush();
  return out;
}

// The picture as a PNG file, the form Windows takes a 256-pixel icon image
// in.
std::vector<std::uint8_t> PngImage(int size) {
  std::vector<std::uint8_t> rgba = WindowIconRgba(size);
  const std::size_t row = static_cast<std::size_t>(size) * 4;
  std::vector<std::uint8_t> scanlines;
  for (int y = 0; y < size; ++y) {
    scanlines.push_back(0);  // no filter
    auto begin = rgba.begin() + static_cast<std::ptrdiff_t>(y * row);
    scanlines.insert(scanlines.end(), begin, begin + static_cast<std::ptrdiff_t>(row));
  }
  std::vector<std::uint8_t> zlib = {0x78, 0x01};  // deflate, 32 KiB window, no dictionary
  std::vector<std::uint8_t> deflated = DeflatePixelRuns(scanlines);
  zlib.insert(zlib.end(), deflated.begin(), deflated.end());
  PutBigEndian32(zlib, Adler32(scanlines));

  std::vector<std::uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<std::uint8_t> header;
  PutBigEndian32(header, static_cast<std::uint32_t>(size));
  PutBigEndian32(header, static_cast<std::uint32_t>(size));
  header.insert(header.end(), {8, 6, 0, 0, 0});  // 8 bits per sample, RGBA, deflate, no filter, no interlace
  PutChunk(out, "IHDR", header);
  PutChunk(out, "IDAT", zlib);
  PutChunk(out, "IEND", {});
  return out;
}

// One image of the file. The 256-pixel image is a PNG file; the smaller
// ones, which Windows before Vista reads too, are a bitmap header, the
// pixels bottom row first as BGRA, then the 1-bit mask (set where the
// picture is transparent).
std::vector<std::uint8_t> IconImage(int size) {
  if (size == 256) return PngImage(size);
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
    out.push_back(static_cast<std::uint8_t>(size));  // 256 is written as 0
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
