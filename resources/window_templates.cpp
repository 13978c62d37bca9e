#include "resources/window_templates.h"

namespace resources {
namespace {

constexpr int kBaseUnitX = 6;
constexpr int kBaseUnitY = 13;

// The update window: 320 by 189 dialog units. The headline keeps its
// template size (306 by 11); the rest is placed again by the window logic.
constexpr ControlTemplate kUpdateControls[] = {
    {1, "main", ControlKind::kDefaultButton, {150, 166, 63, 16}, true, false, true},
    {2, "close", ControlKind::kButton, {233, 166, 63, 16}, true, true, true},
    {3, "help", ControlKind::kButton, {67, 166, 63, 16}, true, true, true},
    {1000, "headline", ControlKind::kLabel, {10, 6, 306, 11}, false, true, true},
    {1001, "progress", ControlKind::kProgressBar, {10, 126, 300, 11}, false, true, true},
    {1002, "message", ControlKind::kMessageArea, {10, 31, 300, 74}, true, true, true},
    {1003, "status", ControlKind::kLabel, {10, 114, 300, 11}, false, true, true},
    {1005, "size", ControlKind::kRightLabel, {200, 114, 100, 11}, false, true, false},
};

// The install window: 271 by 28 dialog units, one progress bar, no buttons;
// the user cannot close it.
constexpr ControlTemplate kInstallControls[] = {
    {1001, "progress", ControlKind::kProgressBar, {7, 7, 257, 14}, false, true, true},
};

const WindowTemplate kUpdateWindow{102, "Update Tolvaro DVD", 320, 189, true, kUpdateControls};
const WindowTemplate kInstallWindow{103, "Tolvaro copying updated files...", 271, 28, false, kInstallControls};

// MulDiv's rounding: half away from zero.
int Scale(int value, int numerator, int denominator) {
  long long product = static_cast<long long>(value) * numerator;
  long long half = denominator / 2;
  return static_cast<int>(product >= 0 ? (product + half) / denominator : -((-product + half) / denominator));
}

}  // namespace

const ControlTemplate* WindowTemplate::Find(int controlId) const {
  for (const ControlTemplate& control : controls) {
    if (control.id == controlId) return &control;
  }
  return nullptr;
}

const WindowTemplate& UpdateWindowTemplate() { return kUpdateWindow; }
const WindowTemplate& InstallWindowTemplate() { return kInstallWindow; }

int DialogUnitsToPixelsX(int units) { return Scale(units, kBaseUnitX, 4); }
int DialogUnitsToPixelsY(int units) { return Scale(units, kBaseUnitY, 8); }

PixelRect ToPixels(const DialogRect& rect) {
  return {DialogUnitsToPixelsX(rect.left), DialogUnitsToPixelsY(rect.top), DialogUnitsToPixelsX(rect.width),
          DialogUnitsToPixelsY(rect.height)};
}

}  // namespace resources
