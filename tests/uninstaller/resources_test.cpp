// The compiled resources read back from the .res: the whole string table,
// the main dialog template, the icon and the version.
#include <gtest/gtest.h>

#include "nickit_version.h"

#include <map>

#include "sim/win32/registry.h"
#include "sim/win32/resources.h"

extern const unsigned char netpurge_res[];
extern const unsigned long netpurge_res_size;

namespace {

using namespace sim::win32;

Resources load() {
  Resources r;
  r.load_res(netpurge_res, netpurge_res_size);
  return r;
}

TEST(Resources, StringTableHasExactlyTheProgramsTexts) {
  const std::map<UINT, std::string> expected = {
      {1, "QOR 10/100 Ethernet Adapters and Software Uninstaller"},
      {6, "&Cancel"},
      {7, "&OK"},
      {8,
       "Uninstaller will remove the associated drivers and software of all QOR 10/100 network adapters.\n\nDo you "
       "want to continue?"},
      {50, "VEN_8086&DEV_1229"},
      {51, "VEN_FFFF&DEV_FFFF&SUBSYS_FFFFFFFF"},
      {52, "VEN_FFFF&DEV_FFFF&SUBSYS_FFFFFFFF"},
      {150,
       "QOR 10/100 Ethernet Adapters and Software Uninstaller is designed to run in\nMicrosoft(R) Windows 95 "
       "and Windows 98.\n\nThe program will exit!"},
      {154, "Uninstaller cannot open the required setup file:"},
      {155, "File uninstallation has been terminated!"},
      {200, "Software\\Microsoft\\Windows\\CurrentVersion\\Setup"},
      {205, "Driver"},
      {207, "SetupScratchDir"},
      {208, "Enum\\Network"},
      {209, "Bindings"},
      {210, "System\\CurrentControlSet\\Services\\Class\\Net"},
      {211, "Enum\\PCI"},
      {212, "System\\CurrentControlSet\\Services\\Class\\Modem"},
      {213, "System\\CurrentControlSet\\Control\\Class\\{4D36E96D-E325-11CE-BFC1-08002BE10318}"},
      {214, "System\\CurrentControlSet\\Services"},
      {215, "Software\\Microsoft\\Windows\\CurrentVersion\\Unimodem\\DeviceSpecific"},
      {216, "Tavix"},
      {217, "Manufacturer"},
      {218, "  "},
      {219, "DriverDesc"},
      {220, "PCI&VEN_FFFF&DEV_FFFF"},
      {221, "System\\CurrentControlSet\\Enum\\Root"},
      {222, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders"},
      {223, "  "},
      {224, "Programs"},
      {560, "Netqorfe.inf"},
      {561, "rundll32.exe setupx.dll,InstallHinfSection"},
      {562, "rundll32.exe setupapi.dll,InstallHinfSection"},
      {563, "8255x.Uninstall"},
      {567, "NicRemov.tmp"},
      {568, "ERROR: You need administrative rights to run this program.\nPlease consult your system administrators."},
      {569, "C:\\TAVIX\\M32A"},
      {570, "C:\\TAVIX\\M32AAPPS"},
      {571, ""},
      {572, ""},
      {573, "8254x.Uninstall"},
      {574, "8255s.Uninstall"},
      {1002, "QOR Modems and Software Uninstaller"},
      {1003,
       "Uninstaller will remove the associated drivers and software of all QOR modems.\n\nDo you want to "
       "continue?"},
      {1004, "  "},
      {1005, "Modem.Uninstall"},
      {1006, "  "},
      {1007, "  "},
      {1008, "Hushline.exe"},
  };
  Resources r = load();
  for (UINT id = 0; id < 1100; ++id) {
    auto it = expected.find(id);
    auto text = r.string(id);
    if (it == expected.end() || it->second.empty()) {
      // Absent ids and the empty entries both read as nothing.
      EXPECT_TRUE(!text || text->empty()) << "string " << id << " should be absent or empty";
    } else {
      ASSERT_TRUE(text.has_value()) << "string " << id;
      EXPECT_EQ(*text, it->second) << "string " << id;
    }
  }
}

TEST(Resources, MainDialogTemplate) {
  auto tpl = load().dialog(103);
  ASSERT_TRUE(tpl.has_value());
  EXPECT_EQ(tpl->style, static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT));
  EXPECT_EQ(tpl->x, 0);
  EXPECT_EQ(tpl->y, 0);
  EXPECT_EQ(tpl->cx, 221);
  EXPECT_EQ(tpl->cy, 90);
  EXPECT_TRUE(tpl->menu.is_ordinal() && tpl->menu.ordinal == 0);
  EXPECT_TRUE(tpl->window_class.is_ordinal() && tpl->window_class.ordinal == 0);
  EXPECT_EQ(tpl->caption, "<Tavix(R) PRO Adapters and Software Uninstaller>");
  EXPECT_EQ(tpl->font_points, 8);
  EXPECT_EQ(tpl->font_name, "MS Sans Serif");

  struct Item {
    int id;
    std::uint16_t cls;
    short x, y, cx, cy;
    DWORD style;
    std::string text;
  };
  const DWORD child = WS_CHILD | WS_VISIBLE;
  const std::vector<Item> items = {
      {1, 0x80, 41, 69, 50, 14, child | WS_TABSTOP | BS_DEFPUSHBUTTON, "OK"},
      {2, 0x80, 130, 69, 50, 14, child | WS_TABSTOP | BS_PUSHBUTTON, "Cancel"},
      {-1, 0x82, 15, 17, 20, 20, child | SS_ICON, ""},
      {1001, 0x82, 45, 14, 161, 41, child | WS_GROUP | SS_LEFT,
       "<Uninstaller will remove the associated drivers and software of all Tavix network adapters.\n\nDo you want "
       "to continue?>"},
      {-1, 0x80, 7, 7, 207, 53, child | BS_GROUPBOX, ""},
  };
  ASSERT_EQ(tpl->items.size(), items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const auto& got = tpl->items[i];
    const auto& want = items[i];
    EXPECT_EQ(got.id, want.id) << i;
    EXPECT_TRUE(got.window_class.is_ordinal() && got.window_class.ordinal == want.cls) << i;
    EXPECT_EQ(got.x, want.x) << i;
    EXPECT_EQ(got.y, want.y) << i;
    EXPECT_EQ(got.cx, want.cx) << i;
    EXPECT_EQ(got.cy, want.cy) << i;
    EXPECT_EQ(got.style, want.style) << i;
    if (want.style == (child | SS_ICON)) {
      EXPECT_TRUE(got.text.is_ordinal() && got.text.ordinal == 104) << "the icon control shows icon 104";
    } else {
      EXPECT_EQ(got.text.name, want.text) << i;
    }
  }
}

TEST(Resources, IconIsOne32By32ImageWith16Colours) {
  Resources r = load();
  const ResourceEntry* group = r.find(kRtGroupIcon, 104);
  ASSERT_NE(group, nullptr);
  const auto& d = group->data;
  ASSERT_GE(d.size(), 6u + 14u);
  EXPECT_EQ(d[4] | d[5] << 8, 1);    // one image
  EXPECT_EQ(d[6], 32);               // width
  EXPECT_EQ(d[7], 32);               // height
  EXPECT_EQ(d[8], 16);               // colours
  EXPECT_EQ(d[12] | d[13] << 8, 4);  // bits per pixel
  std::uint16_t image_id = static_cast<std::uint16_t>(d[18] | d[19] << 8);
  const ResourceEntry* image = r.find(kRtIcon, image_id);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->data.size(), 40u + 16 * 4 + 32 * 32 / 2 + 32 * 32 / 8);
}

TEST(Resources, VersionNumbersAndTranslation) {
  auto v = load().version();
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(std::vector<int>(v->file, v->file + 4), (std::vector<int>{NICKIT_NETPURGE_VERSION_COMMAS}));
  EXPECT_EQ(std::vector<int>(v->product, v->product + 4), (std::vector<int>{NICKIT_NETPURGE_PRODUCTVERSION_COMMAS}));
  EXPECT_EQ(v->file_type, 1u);  // an application
  ASSERT_EQ(v->translations.size(), 1u);
  EXPECT_EQ(v->translations[0], std::make_pair(std::uint16_t{1033}, std::uint16_t{1200}));
  EXPECT_EQ(v->strings.count("040904B0/FileVersion"), 1u);
}

TEST(Resources, TruncatedResourceFileIsRefused) {
  Resources r;
  EXPECT_THROW(r.load_res(netpurge_res, netpurge_res_size - 3), InputError);
}

}  // namespace
