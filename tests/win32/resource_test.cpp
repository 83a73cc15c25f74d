// The compiled resources as the program finds them in its own module: the two
// dialog templates, control by control, and the string table against the
// texts the update procedure uses.
#include "res/resource.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "app/win32/wide_text.h"
#include "res/strings.h"

namespace qlmr {
namespace {

// A class or a text of a template: an ordinal (0xFFFF, n) or a string.
struct NameOrOrdinal {
  uint16_t ordinal = 0;
  std::wstring text;
};

struct Control {
  uint32_t style;
  int16_t x, y, cx, cy;
  int16_t id;
  NameOrOrdinal windowClass;
  NameOrOrdinal text;
};

struct Template {
  uint32_t style;
  int16_t x, y, cx, cy;
  std::wstring caption;
  uint16_t pointSize;
  std::wstring face;
  std::vector<Control> controls;
};

// Reads the classic DLGTEMPLATE layout: words throughout, each control
// aligned to 4 bytes.
class TemplateReader {
 public:
  TemplateReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint16_t Word() {
    uint16_t value = 0;
    if (position_ + 2 <= size_) memcpy(&value, data_ + position_, 2);
    position_ += 2;
    return value;
  }
  uint32_t Dword() {
    uint32_t low = Word();
    return low | (static_cast<uint32_t>(Word()) << 16);
  }
  std::wstring String() {
    std::wstring text;
    for (uint16_t c = Word(); c != 0 && position_ <= size_; c = Word()) text += wchar_t(c);
    return text;
  }
  NameOrOrdinal Name() {
    NameOrOrdinal name;
    uint16_t first = Word();
    if (first == 0xFFFF) {
      name.ordinal = Word();
    } else if (first != 0) {
      name.text = wchar_t(first) + String();
    }
    return name;
  }
  void AlignDword() { position_ = (position_ + 3) & ~size_t{3}; }
  bool Overran() const { return position_ > size_; }

  Template Read() {
    Template dialog;
    dialog.style = Dword();
    Dword();  // extended style
    uint16_t count = Word();
    dialog.x = static_cast<int16_t>(Word());
    dialog.y = static_cast<int16_t>(Word());
    dialog.cx = static_cast<int16_t>(Word());
    dialog.cy = static_cast<int16_t>(Word());
    Name();  // menu
    Name();  // class
    dialog.caption = String();
    if (dialog.style & DS_SETFONT) {
      dialog.pointSize = Word();
      dialog.face = String();
    }
    for (uint16_t i = 0; i < count; ++i) {
      AlignDword();
      Control control;
      control.style = Dword();
      Dword();  // extended style
      control.x = static_cast<int16_t>(Word());
      control.y = static_cast<int16_t>(Word());
      control.cx = static_cast<int16_t>(Word());
      control.cy = static_cast<int16_t>(Word());
      control.id = static_cast<int16_t>(Word());
      control.windowClass = Name();
      control.text = Name();
      uint16_t extra = Word();
      position_ += extra;
      dialog.controls.push_back(control);
    }
    return dialog;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

Template LoadTemplate(int id) {
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(5));  // RT_DIALOG
  EXPECT_NE(found, nullptr) << "dialog " << id;
  if (found == nullptr) return Template{};
  auto* data = static_cast<const uint8_t*>(LockResource(LoadResource(module, found)));
  TemplateReader reader(data, SizeofResource(module, found));
  Template dialog = reader.Read();
  EXPECT_FALSE(reader.Overran()) << "dialog " << id;
  return dialog;
}

std::wstring Wide(const char* utf8) {
  int length = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  std::wstring text(static_cast<size_t>(length > 0 ? length - 1 : 0), L'\0');
  if (length > 1) MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &text[0], length);
  return text;
}

// A template names a predefined class by ordinal or by name.
std::wstring ClassName(const NameOrOrdinal& windowClass) {
  switch (windowClass.ordinal) {
    case 0:
      return windowClass.text;
    case 0x0080:
      return L"button";
    case 0x0082:
      return L"static";
    default:
      return L"ordinal " + std::to_wstring(windowClass.ordinal);
  }
}

struct ExpectedControl {
  int16_t id;
  const char* className;
  uint32_t style;
  int16_t x, y, cx, cy;
  const char* text;  // UTF-8; null: the ordinal below
  uint16_t textOrdinal;
};

void ExpectDialog(int id, const char* caption, int16_t cx, int16_t cy,
                  const std::vector<ExpectedControl>& expected) {
  SCOPED_TRACE("dialog " + std::to_string(id));
  Template dialog = LoadTemplate(id);
  EXPECT_EQ(dialog.style, 0x80C800C0u);
  EXPECT_EQ(dialog.caption, Wide(caption));
  EXPECT_EQ(dialog.pointSize, 9);
  EXPECT_EQ(dialog.face, Wide("宋体"));
  EXPECT_EQ(dialog.cx, cx);
  EXPECT_EQ(dialog.cy, cy);
  ASSERT_EQ(dialog.controls.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const Control& control = dialog.controls[i];
    const ExpectedControl& want = expected[i];
    SCOPED_TRACE("control " + std::to_string(want.id));
    EXPECT_EQ(control.id, want.id);
    EXPECT_EQ(control.style, want.style);
    EXPECT_EQ(control.x, want.x);
    EXPECT_EQ(control.y, want.y);
    EXPECT_EQ(control.cx, want.cx);
    EXPECT_EQ(control.cy, want.cy);
    EXPECT_EQ(_wcsicmp(ClassName(control.windowClass).c_str(), Wide(want.className).c_str()), 0)
        << "class " << want.className;
    if (want.text != nullptr) {
      EXPECT_EQ(control.text.text, Wide(want.text));
    } else {
      EXPECT_EQ(control.text.ordinal, want.textOrdinal);
    }
  }
}

TEST(ResourceTest, MainDialogTemplate) {
  ExpectDialog(IDD_MAIN, "《Quelmar》手动升级程序", 364, 79,
               {
                   {1001, "button", 0x50010001, 239, 58, 60, 14, "开始升级(&S)", 0},
                   {1002, "button", 0x50010000, 307, 58, 50, 14, "取消", 0},
                   // SS_NOPREFIX: "&" in a status text (a path) is shown as it is.
                   {1003, "static", 0x50020080, 7, 7, 350, 18, "", 0},
                   {1004, "msctls_progress32", 0x50800000, 7, 40, 350, 10, "", 0},
               });
}

TEST(ResourceTest, ConflictDialogTemplate) {
  ExpectDialog(IDD_CONFLICT, "升级冲突", 296, 71,
               {
                   {4, "button", 0x50010001, 123, 50, 50, 14, "重试(&R)", 0},
                   {1005, "static", 0x50000003, 7, 7, 21, 21, nullptr, 32515},
                   {-1, "static", 0x50020000, 38, 7, 251, 20,
                    "游戏客户端正在运行中，必须关闭客户端才能进行资源更新！", 0},
                   {1006, "static", 0x50020100, 7, 55, 36, 9, "强制关闭", 0},
               });
}

// The resource table and the table the update procedure formats from are
// built from one source; they must agree, entry for entry.
TEST(ResourceTest, StringTableMatchesProgramTexts) {
  HMODULE module = GetModuleHandleW(nullptr);
  for (int id = 103; id <= 125; ++id) {
    SCOPED_TRACE(id);
    const wchar_t* text = nullptr;
    int length = LoadStringW(module, static_cast<UINT>(id), reinterpret_cast<LPWSTR>(&text), 0);
    ASSERT_GT(length, 0);
    EXPECT_FALSE(LoadText(id).empty());
    EXPECT_EQ(std::wstring(text, static_cast<size_t>(length)), WideFromCp936(LoadText(id)));
  }
  EXPECT_EQ(WideFromCp936(LoadText(IDS_FORCE_CLOSE)), Wide("强制关闭"));
}

// The icon group holds the drawing at 32 and at 16 pixels.
TEST(ResourceTest, IconGroupHoldsBothSizes) {
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC found =
      FindResourceW(module, MAKEINTRESOURCEW(IDI_APP), MAKEINTRESOURCEW(14));  // RT_GROUP_ICON
  ASSERT_NE(found, nullptr);
  auto* data = static_cast<const uint8_t*>(LockResource(LoadResource(module, found)));
  ASSERT_GE(SizeofResource(module, found), 6u);
  uint16_t count = 0;
  memcpy(&count, data + 4, 2);
  ASSERT_EQ(count, 2);
  ASSERT_GE(SizeofResource(module, found), 6u + 14u * count);
  std::vector<int> widths;
  for (uint16_t i = 0; i < count; ++i) widths.push_back(data[6 + 14 * i]);
  EXPECT_EQ(widths, (std::vector<int>{32, 16}));
  EXPECT_NE(LoadIconW(module, MAKEINTRESOURCEW(IDI_APP)), nullptr);
}

}  // namespace
}  // namespace qlmr
