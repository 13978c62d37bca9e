// The window icon (icon 128 of the Windows build): a blue tile with a white
// arrow pointing down onto a bar, the usual picture for "get the update".
// It is drawn in code, so every size is sharp and no image file has to be
// found at run time.
#pragma once

#include <cstdint>
#include <vector>

namespace resources {

// The icon at `size` by `size` pixels (8 to 256) as rows of 8-bit RGBA
// pixels, not premultiplied, top row first; empty for other sizes.
std::vector<std::uint8_t> WindowIconRgba(int size);

// The sizes of the Windows icon file, smallest first. The 256-pixel image
// serves the large icon views and screens of high DPI.
inline constexpr int kWindowIconFileSizes[] = {16, 32, 48, 256};

// The icon as a Windows .ico file with 32-bit images of those sizes, the
// 256-pixel one as a PNG file (as Windows Vista and later read it): the
// bytes of resources/window_icon.ico, which the Windows build compiles in as
// icon 128.
std::vector<std::uint8_t> WindowIconFile();

}  // namespace resources
