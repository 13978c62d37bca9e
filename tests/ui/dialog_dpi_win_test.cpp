// The update window at the DPI of the Wine prefix (CTest runs this at 96, 144
// and 192, named by HARBINOR_WINE_DPI), laid out by the shared logic in
// 96-DPI pixels, then moved to a screen of twice the DPI: its font scaled,
// each control inside the window and apart from the others, each button's
// label inside its button.
#include <windows.h>
#include <richedit.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "resources/window_templates.h"
#include "settings/string_catalog.h"
#include "ui/front_end.h"
#include "ui/update_dialog.h"

namespace {

using resources::ControlKind;

void CheckLayout(HWND dialog, int screenDpi, int fontPixels) {
  RECT client{};
  GetClientRect(dialog, &client);
  std::vector<RECT> shown;
  for (const resources::ControlTemplate& c : resources::UpdateWindowTemplate().controls) {
    SCOPED_TRACE(c.name);
    HWND control = GetDlgItem(dialog, c.id);
    if (!(GetWindowLongA(control, GWL_STYLE) & WS_VISIBLE)) continue;
    RECT r{}, both{};
    GetWindowRect(control, &r);
    MapWindowPoints(HWND_DESKTOP, dialog, reinterpret_cast<POINT*>(&r), 2);
    for (const RECT& other : shown) EXPECT_FALSE(IntersectRect(&both, &r, &other));
    shown.push_back(r);
    char text[256] = {};
    GetWindowTextA(control, text, sizeof text);
    HDC dc = GetDC(control);
    SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(control, WM_GETFONT, 0, 0)));
    TEXTMETRICA font{};
    GetTextMetricsA(dc, &font);
    SIZE extent{};
    GetTextExtentPoint32A(dc, text, static_cast<int>(std::strlen(text)), &extent);
    ReleaseDC(control, dc);
    // A label may run on past the window's edge; its text may not.
    const bool label = c.kind == ControlKind::kLabel || c.kind == ControlKind::kRightLabel;
    EXPECT_TRUE(r.left >= 0 && r.top >= 0 && (label ? r.left + extent.cx : r.right) <= client.right &&
                r.bottom <= client.bottom) << r.right << "," << r.bottom << " in " << client.right << "x" << client.bottom;
    // The rich edit keeps its font in twips, drawn at the screen's DPI.
    CHARFORMATA format{sizeof format};
    SendMessageA(control, EM_GETCHARFORMAT, SCF_DEFAULT, reinterpret_cast<LPARAM>(&format));
    if (c.kind == ControlKind::kMessageArea) {
      EXPECT_NEAR(MulDiv(format.yHeight, screenDpi, 1440), fontPixels, 1);
    } else if (c.kind != ControlKind::kProgressBar) {
      EXPECT_NEAR(font.tmHeight - font.tmInternalLeading, fontPixels, 1);
      EXPECT_LE(extent.cy, r.bottom - r.top);
      EXPECT_TRUE(label || extent.cx + 2 * GetSystemMetrics(SM_CXEDGE) <= r.right - r.left) << "a cut label";
    }
  }
}

TEST(DialogDpi, TheUpdateWindowIsScaledToTheScreensDpi) {
  const int dpi = std::getenv("HARBINOR_WINE_DPI") ? std::atoi(std::getenv("HARBINOR_WINE_DPI")) : 96;
  EXPECT_EQ(GetDeviceCaps(GetDC(nullptr), LOGPIXELSY), dpi);
  auto window = ui::CreateDesktopWindow(ui::WindowTemplate::kUpdateWindow);
  ASSERT_NE(window, nullptr);
  HWND dialog = FindWindowA(nullptr, ui::kUpdateWindowTitle);
  ui::DialogServices services(*window);
  // A long label, which widens its button by its size in the logic's pixels.
  services.text = [](std::uint32_t id) { return std::string(id == 103 ? "Herunterladen und installieren" : settings::GetText(id)); };
  services.fileExists = [](const std::string&) { return false; };
  ui::UpdateDialog logic(services);
  ASSERT_TRUE(logic.InitWindow());
  for (auto [id, text] : {std::pair{ui::kHeadline, 106}, {ui::kStatusLine, 124}, {ui::kMessageArea, 119}})
    window->SetText(id, settings::GetText(text));
  const int fontHeight = std::atoi(settings::GetText(116));
  CheckLayout(dialog, dpi, MulDiv(fontHeight, dpi, 96));

  // On a screen of twice the DPI the logic sees the window as before.
  ui::Rect main = window->Placement(ui::kMainButton);
  RECT r{};
  GetWindowRect(dialog, &r);
  RECT suggested{r.left, r.top, r.left + 2 * (r.right - r.left), r.top + 2 * (r.bottom - r.top)};
  SendMessageA(dialog, 0x02E0 /* WM_DPICHANGED */, MAKEWPARAM(2 * dpi, 2 * dpi), reinterpret_cast<LPARAM>(&suggested));
  ui::Rect moved = window->Placement(ui::kMainButton);
  EXPECT_TRUE(moved.left == main.left && moved.top == main.top && moved.width == main.width && moved.height == main.height);
  CheckLayout(dialog, dpi, MulDiv(fontHeight, 2 * dpi, 96));
}

}  // namespace
