// The dialogs compiled into Harbinor.exe agree with the window templates
// table that every other front end reads: caption, size, font, and each
// control's id, order, place, kind and starting state. The icon and the
// manifest are there too, saying what the system reads.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/ascii_text.h"
#include "resources/window_templates.h"

namespace {

using resources::ControlKind;

// Reads a DLGTEMPLATEEX, in the layout the resource compiler writes.
class DialogReader {
 public:
  explicit DialogReader(const std::uint8_t* data) : p_(data) {}
  std::uint16_t Word() {
    std::uint16_t v = static_cast<std::uint16_t>(p_[0] | p_[1] << 8);
    p_ += 2;
    return v;
  }
  std::uint32_t Dword() {
    std::uint32_t low = Word();
    return low | static_cast<std::uint32_t>(Word()) << 16;
  }
  // A string or an ordinal ("#N").
  std::string NameOrOrdinal() {
    std::uint16_t first = Word();
    if (first == 0xFFFF) return "#" + std::to_string(Word());
    std::string text;
    for (std::uint16_t c = first; c != 0; c = Word()) text.push_back(static_cast<char>(c));
    return text;
  }
  void AlignDword(const std::uint8_t* base) {
    while ((p_ - base) % 4) ++p_;
  }
  void Skip(std::size_t n) { p_ += n; }

 private:
  const std::uint8_t* p_;
};

struct Item {
  std::uint32_t style = 0;
  std::uint32_t exStyle = 0;
  int id = 0;
  resources::DialogRect rect;
  std::string windowClass;
};

struct Dialog {
  std::uint32_t style = 0;
  std::uint32_t exStyle = 0;
  resources::DialogRect rect;
  std::string caption;
  int pointSize = 0;
  std::string face;
  std::vector<Item> items;
};

Dialog LoadDialog(HMODULE module, int id) {
  HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(5));  // RT_DIALOG
  EXPECT_NE(found, nullptr) << "dialog " << id;
  if (!found) return {};
  auto* base = static_cast<const std::uint8_t*>(LockResource(LoadResource(module, found)));
  DialogReader r(base);
  Dialog d;
  EXPECT_EQ(r.Word(), 1);       // version
  EXPECT_EQ(r.Word(), 0xFFFF);  // extended template
  r.Dword();                    // help id
  d.exStyle = r.Dword();
  d.style = r.Dword();
  int count = r.Word();
  d.rect = {static_cast<short>(r.Word()), static_cast<short>(r.Word()), static_cast<short>(r.Word()),
            static_cast<short>(r.Word())};
  r.NameOrOrdinal();  // menu
  r.NameOrOrdinal();  // class
  d.caption = r.NameOrOrdinal();
  d.pointSize = r.Word();
  r.Word();  // weight
  r.Skip(2);  // italic, charset
  d.face = r.NameOrOrdinal();
  for (int i = 0; i < count; ++i) {
    r.AlignDword(base);
    Item item;
    r.Dword();  // help id
    item.exStyle = r.Dword();
    item.style = r.Dword();
    item.rect = {static_cast<short>(r.Word()), static_cast<short>(r.Word()), static_cast<short>(r.Word()),
                 static_cast<short>(r.Word())};
    item.id = static_cast<int>(r.Dword());
    item.windowClass = r.NameOrOrdinal();
    r.NameOrOrdinal();  // title
    r.Skip(r.Word());   // creation data
    d.items.push_back(item);
  }
  return d;
}

// The kind of control a template item makes.
ControlKind KindOf(const Item& item) {
  if (item.windowClass == "#128") return (item.style & 0xF) == BS_DEFPUSHBUTTON ? ControlKind::kDefaultButton
                                                                                : ControlKind::kButton;
  if (item.windowClass == "#130") return (item.style & 0x1F) == SS_RIGHT ? ControlKind::kRightLabel : ControlKind::kLabel;
  if (base::EqualsIgnoringCase(item.windowClass, "msctls_progress32")) return ControlKind::kProgressBar;
  return ControlKind::kMessageArea;
}

TEST(DialogResources, AgreeWithTheWindowTemplates) {
  HMODULE module = LoadLibraryExA(HARBINOR_BIN, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  for (const resources::WindowTemplate* t : {&resources::UpdateWindowTemplate(), &resources::InstallWindowTemplate()}) {
    SCOPED_TRACE(t->title);
    Dialog d = LoadDialog(module, t->id);
    EXPECT_EQ(d.caption, t->title);
    EXPECT_EQ(d.rect.width, t->width);
    EXPECT_EQ(d.rect.height, t->height);
    EXPECT_EQ(d.pointSize, 8);
    EXPECT_EQ(d.face, "MS Sans Serif");
    EXPECT_EQ((d.style & WS_SYSMENU) != 0, t->closable) << "only a closable window has a close box";
    EXPECT_FALSE(d.style & WS_VISIBLE);
    ASSERT_EQ(d.items.size(), t->controls.size());
    for (std::size_t i = 0; i < d.items.size(); ++i) {
      const Item& item = d.items[i];
      const resources::ControlTemplate& c = t->controls[i];
      SCOPED_TRACE(c.name);
      EXPECT_EQ(item.id, c.id);
      EXPECT_EQ(std::vector<int>({item.rect.left, item.rect.top, item.rect.width, item.rect.height}),
                std::vector<int>({c.rect.left, c.rect.top, c.rect.width, c.rect.height}));
      EXPECT_EQ(KindOf(item), c.kind) << item.windowClass;
      EXPECT_EQ((item.style & WS_TABSTOP) != 0, c.tabStop);
      EXPECT_EQ((item.style & WS_DISABLED) == 0, c.enabled);
      EXPECT_EQ((item.style & WS_VISIBLE) != 0, c.visible);
    }
  }
  EXPECT_TRUE(base::EqualsIgnoringCase(LoadDialog(module, 102).items[5].windowClass, "RichEdit")) << "the version-1 rich edit of the template";
  EXPECT_NE(FindResourceA(module, MAKEINTRESOURCEA(128), MAKEINTRESOURCEA(14)), nullptr);  // RT_GROUP_ICON
  EXPECT_NE(FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24)), nullptr);    // RT_MANIFEST
  FreeLibrary(module);
}

TEST(DialogResources, TheManifestAsTheSystemReadsIt) {
  ACTCTXA request{sizeof request, ACTCTX_FLAG_RESOURCE_NAME_VALID, HARBINOR_BIN};
  request.lpResourceName = MAKEINTRESOURCEA(1);
  HANDLE manifest = CreateActCtxA(&request);
  ASSERT_NE(manifest, INVALID_HANDLE_VALUE) << GetLastError();
  ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION run{};
  QueryActCtxW(0, manifest, nullptr, RunlevelInformationInActivationContext, &run, sizeof run, nullptr);
  EXPECT_TRUE(run.RunLevel == ACTCTX_RUN_LEVEL_AS_INVOKER && run.UiAccess == 0);
  wchar_t dpi[64] = {};
  QueryActCtxSettingsW(0, manifest, L"http://schemas.microsoft.com/SMI/2016/WindowsSettings", L"dpiAwareness", dpi, 64, nullptr);
  EXPECT_EQ(std::wstring(dpi), L"PerMonitorV2, PerMonitor");
  ReleaseActCtx(manifest);
}

}  // namespace
