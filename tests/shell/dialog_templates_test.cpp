// The menu and connection dialogs as compiled into the program: style,
// caption, font, size and every control, read from the built resources.
#include <gtest/gtest.h>
#include <windows.h>

#include <string.h>

#include <string>
#include <vector>

#include "resources/resource_ids.h"

namespace {

struct Control {
    int id;
    std::string windowClass;  // "BUTTON" or "STATIC"
    std::string text;
    DWORD kind;  // BS_DEFPUSHBUTTON, BS_PUSHBUTTON, BS_GROUPBOX or SS_LEFT
    bool tabStop;
    short x, y, cx, cy;
};

struct Template {
    DWORD style = 0;
    std::string caption, font;
    WORD pointSize = 0;
    short cx = 0, cy = 0;
    std::vector<Control> controls;
};

// Reads the template's words one after another (DLGTEMPLATEEX layout).
class TemplateReader {
public:
    explicit TemplateReader(const BYTE *data) : start_(data), at_(data) {}
    WORD Word() { return Next<WORD>(); }
    DWORD Dword() { return Next<DWORD>(); }
    short Short() { return Next<short>(); }
    // A string, or an ordinal (0xFFFF and a number) given as "#number".
    std::string StringOrOrdinal() {
        if (Peek() == 0xFFFF) {
            Word();
            return "#" + std::to_string(Word());
        }
        std::wstring text;
        for (WORD unit = Word(); unit != 0; unit = Word()) text += static_cast<wchar_t>(unit);
        char ansi[512] = "";
        WideCharToMultiByte(1252, 0, text.c_str(), -1, ansi, sizeof ansi, nullptr, nullptr);
        return ansi;
    }
    void AlignToDword() {
        while ((at_ - start_) % 4) ++at_;
    }

private:
    WORD Peek() const { return *reinterpret_cast<const WORD *>(at_); }
    template <typename T> T Next() {
        T value;
        memcpy(&value, at_, sizeof value);
        at_ += sizeof value;
        return value;
    }
    const BYTE *start_;
    const BYTE *at_;
};

std::string ClassName(const std::string &ordinalOrName) {
    if (ordinalOrName == "#128") return "BUTTON";
    if (ordinalOrName == "#130") return "STATIC";
    return ordinalOrName;
}

bool ReadTemplate(int id, Template *out) {
    HMODULE module = GetModuleHandleA(nullptr);
    HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(id), reinterpret_cast<LPCSTR>(RT_DIALOG));
    if (!resource) return false;
    const BYTE *data = static_cast<const BYTE *>(LockResource(LoadResource(module, resource)));
    TemplateReader reader(data);
    if (reader.Word() != 1 || reader.Word() != 0xFFFF) return false;  // DLGTEMPLATEEX only
    reader.Dword();                                                    // help id
    reader.Dword();                                                    // extended style
    out->style = reader.Dword();
    const WORD count = reader.Word();
    reader.Short();
    reader.Short();
    out->cx = reader.Short();
    out->cy = reader.Short();
    reader.StringOrOrdinal();  // menu
    reader.StringOrOrdinal();  // class
    out->caption = reader.StringOrOrdinal();
    if (out->style & DS_SETFONT) {
        out->pointSize = reader.Word();
        reader.Word();  // weight
        reader.Word();  // italic, character set
        out->font = reader.StringOrOrdinal();
    }
    for (WORD i = 0; i < count; ++i) {
        reader.AlignToDword();
        Control control;
        reader.Dword();  // help id
        reader.Dword();  // extended style
        const DWORD style = reader.Dword();
        control.x = reader.Short();
        control.y = reader.Short();
        control.cx = reader.Short();
        control.cy = reader.Short();
        control.id = static_cast<short>(LOWORD(reader.Dword()));
        control.windowClass = ClassName(reader.StringOrOrdinal());
        control.text = reader.StringOrOrdinal();
        control.kind = style & (control.windowClass == "BUTTON" ? BS_TYPEMASK : SS_TYPEMASK);
        control.tabStop = (style & WS_TABSTOP) != 0;
        const WORD extra = reader.Word();
        for (WORD byte = 0; byte < extra; byte += 2) reader.Word();
        out->controls.push_back(control);
    }
    return true;
}

struct Expected {
    int id;
    const char *caption;
    short cx, cy;
    bool systemMenu;  // the close box
    std::vector<Control> controls;
};

const Expected kTemplates[] = {
    {IDD_MAIN_MENU, "Tesh\x99 Reader Setup", 277, 149, false,
     {
         {1020, "BUTTON", "Install Book", BS_DEFPUSHBUTTON, true, 7, 23, 59, 21},
         {1034, "STATIC", "Install Book and Reader", SS_LEFT, false, 81, 23, 141, 8},
         {-1, "STATIC",
          "Installs a new or previously installed book on your Windows CE device. Automatically installs or "
          "updates the Tesh Reader.",
          SS_LEFT, false, 97, 34, 147, 28},
         {1025, "BUTTON", "Other Options", BS_PUSHBUTTON, true, 7, 73, 59, 21},
         {-1, "STATIC", "Install, update, or remove the Tesh Reader", SS_LEFT, false, 97, 85, 149, 8},
         {2, "BUTTON", "Exit", BS_PUSHBUTTON, true, 220, 128, 50, 14},
         {-1, "STATIC", "Other Options", SS_LEFT, false, 81, 73, 44, 8},
         {-1, "STATIC", "Diagnostic tools", SS_LEFT, false, 97, 96, 51, 8},
     }},
    {IDD_OTHER_OPTIONS, "Other Options", 224, 181, true,
     {
         {2, "BUTTON", "< &Back", BS_DEFPUSHBUTTON, true, 167, 160, 50, 14},
         {-1, "BUTTON", "Tesh Reader", BS_GROUPBOX, false, 7, 7, 210, 38},
         {1026, "BUTTON", "Install Reader", BS_PUSHBUTTON, true, 14, 20, 58, 16},
         {1027, "BUTTON", "Update Reader", BS_PUSHBUTTON, true, 82, 20, 58, 16},
         {1028, "BUTTON", "Remove Reader", BS_PUSHBUTTON, true, 150, 20, 58, 16},
         {-1, "BUTTON", "Book", BS_GROUPBOX, false, 7, 56, 210, 38},
         {1020, "BUTTON", "Install Book", BS_PUSHBUTTON, true, 14, 70, 58, 16},
         {-1, "BUTTON", "Diagnostic Tools", BS_GROUPBOX, false, 7, 105, 210, 38},
         {1033, "BUTTON", "Setup Info", BS_PUSHBUTTON, true, 14, 120, 58, 16},
         {1032, "BUTTON", "Device Info", BS_PUSHBUTTON, true, 82, 120, 58, 16},
     }},
    {IDD_CONNECT, "Establishing Connection", 230, 63, true,
     {
         {-1, "STATIC", "Waiting for a Windows CE device to connect...", SS_LEFT, false, 40, 20, 150, 9},
         {2, "BUTTON", "&Cancel", BS_DEFPUSHBUTTON, true, 90, 42, 50, 14},
     }},
};

std::string Describe(const Control &c) {
    return std::to_string(c.id) + " " + c.windowClass + " \"" + c.text + "\" kind " + std::to_string(c.kind) +
           (c.tabStop ? " tab" : "") + " at " + std::to_string(c.x) + "," + std::to_string(c.y) + " " +
           std::to_string(c.cx) + "x" + std::to_string(c.cy);
}

TEST(DialogTemplates, MenusAndConnectionDialogAsBuilt) {
    for (const Expected &expected : kTemplates) {
        Template built;
        ASSERT_TRUE(ReadTemplate(expected.id, &built)) << expected.id;
        EXPECT_EQ(built.caption, expected.caption) << expected.id;
        EXPECT_EQ(built.font, "MS Sans Serif") << expected.id;
        EXPECT_EQ(built.pointSize, 8) << expected.id;
        EXPECT_EQ(built.cx, expected.cx) << expected.id;
        EXPECT_EQ(built.cy, expected.cy) << expected.id;
        // A popup with caption and modal frame, centred on the screen; a
        // close box only where the system menu is asked for.
        const DWORD frame = WS_POPUP | WS_CAPTION | DS_MODALFRAME | DS_CENTER;
        EXPECT_EQ(built.style & frame, frame) << expected.id;
        EXPECT_EQ((built.style & WS_SYSMENU) != 0, expected.systemMenu) << expected.id;
        std::vector<std::string> builtControls, expectedControls;
        for (const Control &c : built.controls) builtControls.push_back(Describe(c));
        for (const Control &c : expected.controls) expectedControls.push_back(Describe(c));
        EXPECT_EQ(builtControls, expectedControls) << expected.id;
    }
}

}  // namespace
