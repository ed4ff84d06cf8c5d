#include "ui/win32/converter_window.h"

#include <commctrl.h>
#include <commdlg.h>
#include <gtest/gtest.h>
#include <shlobj.h>

#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "dragged_data.h"
#include "modal_answerer.h"
#include "resource.h"

namespace trunvex {
namespace {

using test::DraggedData;
using test::makeDrop;
using test::ModalAnswerer;
using test::SeenControl;

// The file choosers as a script: each shows nothing and gives the next answer in order
// (std::nullopt: the user cancelled); what they were asked to show is kept.
struct ScriptedChoosers {
    std::deque<std::optional<std::wstring>> answers;
    std::vector<Win32FileDialog> shown;

    FileDialogRunner runner() {
        return [this](HWND, const Win32FileDialog& dialog) -> std::optional<std::wstring> {
            shown.push_back(dialog);
            if (answers.empty()) {
                return std::nullopt;
            }
            std::optional<std::wstring> answer = answers.front();
            answers.pop_front();
            return answer;
        };
    }
};

struct ExpectedControl {
    int id;
    const wchar_t* className;
    const wchar_t* text;  // nullptr: not compared
    RECT units;           // x, y, width, height in dialog units
    DWORD styleMask;
    DWORD style;
    bool bordered = false;
};

template <std::size_t N>
std::wstring withNuls(const wchar_t (&text)[N]) {
    return std::wstring(text, N - 1);  // all but the literal's own terminator
}

RECT toPixels(SIZE baseUnits, const RECT& units) {
    const auto x = [&](LONG v) { return MulDiv(v, baseUnits.cx, 4); };
    const auto y = [&](LONG v) { return MulDiv(v, baseUnits.cy, 8); };
    // As the dialog manager places a control: its position and size are each rounded.
    return {x(units.left), y(units.top), x(units.left) + x(units.right),
            y(units.top) + y(units.bottom)};
}

void expectControls(const std::vector<SeenControl>& seen, SIZE baseUnits,
                    const std::vector<ExpectedControl>& expected) {
    ASSERT_GE(seen.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "control " << i);
        const ExpectedControl& want = expected[i];
        EXPECT_EQ(seen[i].id, want.id);
        EXPECT_EQ(_wcsicmp(seen[i].className.c_str(), want.className), 0);
        if (want.text != nullptr) {
            EXPECT_EQ(seen[i].text, std::wstring(want.text));
        }
        EXPECT_EQ(seen[i].style & want.styleMask, want.style);
        if (want.bordered) {
            // Edit boxes trade the template's border for the sunken edge of the system's look.
            EXPECT_TRUE((seen[i].style & WS_BORDER) || (seen[i].exStyle & WS_EX_CLIENTEDGE));
        }
        const RECT pixels = toPixels(baseUnits, want.units);
        EXPECT_EQ(seen[i].rect.left, pixels.left);
        EXPECT_EQ(seen[i].rect.top, pixels.top);
        EXPECT_EQ(seen[i].rect.right, pixels.right);
        EXPECT_EQ(seen[i].rect.bottom, pixels.bottom);
    }
}

std::wstring itemText(HWND dialog, int id) {
    wchar_t text[1024] = {};
    GetDlgItemTextW(dialog, id, text, 1024);
    return text;
}

std::wstring samplePath() {
    std::wstring path(TRUNVEX_SAMPLE_RECORDING,
                      TRUNVEX_SAMPLE_RECORDING + std::strlen(TRUNVEX_SAMPLE_RECORDING));
    // A path of the machine the build ran on; under Wine that folder tree is drive Z:.
    if (!path.empty() && path[0] == L'/') {
        path.insert(0, L"Z:");
    }
    return path;
}

class ConverterWindowTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(window.create());
        dialog = window.handle();
        test::settle(handler());
    }

    std::function<void(MSG&)> handler() {
        return [this](MSG& m) { window.handleQueuedMessage(m); };
    }

    void click(int id) { SendMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

    ScriptedChoosers choosers;
    ConverterWindow window{GetModuleHandleW(nullptr), choosers.runner()};
    HWND dialog = nullptr;
};

TEST_F(ConverterWindowTest, MainDialogFollowsItsTemplate) {
    wchar_t caption[64] = {};
    GetWindowTextW(dialog, caption, 64);
    EXPECT_STREQ(caption, L"Trunvex(V02100309)");
    const auto style = static_cast<DWORD>(GetWindowLongPtrW(dialog, GWL_STYLE));
    EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_VISIBLE),
              static_cast<DWORD>(WS_CAPTION | WS_SYSMENU | WS_VISIBLE));
    EXPECT_TRUE(GetWindowLongPtrW(dialog, GWL_EXSTYLE) & WS_EX_APPWINDOW);

    LOGFONTW font{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0)), sizeof(font),
               &font);
    EXPECT_STREQ(font.lfFaceName, L"宋体");

    constexpr DWORD BUTTON_KIND = BS_TYPEMASK | WS_TABSTOP | WS_DISABLED;
    constexpr DWORD EDIT_KIND = WS_TABSTOP | ES_AUTOHSCROLL | WS_DISABLED;
    constexpr DWORD LABEL_KIND = SS_TYPEMASK | WS_GROUP;
    const std::vector<ExpectedControl> expected = {
        {IDOK, L"Button", L"Exit", {232, 134, 42, 28}, BUTTON_KIND, BS_DEFPUSHBUTTON | WS_TABSTOP},
        {IDC_SOURCE_PATH,
         L"Edit",
         L"",
         {86, 28, 144, 19},
         EDIT_KIND,
         WS_TABSTOP | ES_AUTOHSCROLL | WS_DISABLED,
         true},
        {IDC_AVI_PATH,
         L"Edit",
         L"",
         {85, 69, 144, 19},
         EDIT_KIND,
         WS_TABSTOP | ES_AUTOHSCROLL,
         true},
        {IDC_STATIC,
         L"Static",
         L"Source file path:",
         {13, 33, 69, 13},
         LABEL_KIND,
         SS_RIGHT | WS_GROUP},
        {IDC_STATIC,
         L"Static",
         L"AVI file path:",
         {13, 72, 69, 13},
         LABEL_KIND,
         SS_RIGHT | WS_GROUP},
        {IDC_BROWSE_SOURCE,
         L"Button",
         L">>>>",
         {239, 27, 29, 19},
         BUTTON_KIND,
         BS_PUSHBUTTON | WS_TABSTOP},
        {IDC_BROWSE_AVI,
         L"Button",
         L">>>>",
         {239, 69, 29, 19},
         BUTTON_KIND,
         BS_PUSHBUTTON | WS_TABSTOP},
        {IDC_CONVERT,
         L"Button",
         L"Trunvex",
         {95, 103, 102, 28},
         BUTTON_KIND,
         BS_PUSHBUTTON | WS_TABSTOP},
        // Added by the program under the convert button, shown only during a run.
        {IDC_RUN_PROGRESS, PROGRESS_CLASSW, L"", {95, 136, 102, 8}, WS_VISIBLE | WS_TABSTOP, 0},
    };
    const std::vector<SeenControl> seen = test::describeControls(dialog);
    EXPECT_EQ(seen.size(), expected.size());
    expectControls(seen, test::dialogBaseUnits(dialog), expected);

    const auto bigIcon = SendMessageW(dialog, WM_GETICON, ICON_BIG, 0);
    EXPECT_NE(bigIcon, 0);
    EXPECT_NE(SendMessageW(dialog, WM_GETICON, ICON_SMALL, 0), 0);
    EXPECT_EQ(SendMessageW(dialog, WM_QUERYDRAGICON, 0, 0), bigIcon);
}

// The version block and the manifest of the program (the tests carry the same resources).
TEST(ProgramResources, VersionBlockAndThemedControls) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::vector<char> block(GetFileVersionInfoSizeW(self, nullptr));
    ASSERT_FALSE(block.empty());
    ASSERT_TRUE(GetFileVersionInfoW(self, 0, static_cast<DWORD>(block.size()), block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &size));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00000002u);
    const auto text = [&](const wchar_t* key) {
        wchar_t* value = nullptr;
        UINT length = 0;
        const std::wstring path = std::wstring(L"\\StringFileInfo\\080404b0\\") + key;
        return VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &length)
                   ? std::wstring(value)
                   : std::wstring(L"(none)");
    };
    EXPECT_EQ(text(L"FileVersion"), L"1, 0, 0, 2");
    EXPECT_EQ(text(L"ProductName"), L"Trunvex 应用程序");
    EXPECT_EQ(text(L"InternalName"), L"Trunvex");

    // The manifest asks for the common controls of version 6: they come from the side-by-side
    // store, not from the system folder.
    wchar_t controls[MAX_PATH] = {};
    GetModuleFileNameW(GetModuleHandleW(L"comctl32.dll"), controls, MAX_PATH);
    const std::wstring library = controls;
    EXPECT_NE(library.find(L"microsoft.windows.common-controls_"), std::wstring::npos) << library;
    EXPECT_NE(library.find(L"_6.0."), std::wstring::npos) << library;
}

TEST_F(ConverterWindowTest, FocusStartsOnExitAndTabSkipsTheSourceBox) {
    EXPECT_EQ(GetFocus(), GetDlgItem(dialog, IDOK));
    const int order[] = {IDC_AVI_PATH, IDC_BROWSE_SOURCE, IDC_BROWSE_AVI, IDC_CONVERT, IDOK};
    HWND at = GetDlgItem(dialog, IDOK);
    for (const int id : order) {
        at = GetNextDlgTabItem(dialog, at, FALSE);
        EXPECT_EQ(GetDlgCtrlID(at), id);
    }
}

TEST_F(ConverterWindowTest, EachWayOfClosingEndsTheDialogAndFreesTheBuffersOnce) {
    struct Way {
        const char* name;
        void (*close)(HWND dialog);
    };
    const Way ways[] = {
        {"Exit", [](HWND d) { SendMessageW(GetDlgItem(d, IDOK), BM_CLICK, 0, 0); }},
        {"Enter in the AVI box",
         [](HWND d) {
             SetFocus(GetDlgItem(d, IDC_AVI_PATH));
             PostMessageW(GetDlgItem(d, IDC_AVI_PATH), WM_KEYDOWN, VK_RETURN, 0);
         }},
        {"Escape", [](HWND) { PostMessageW(GetFocus(), WM_KEYDOWN, VK_ESCAPE, 0); }},
        {"close box", [](HWND d) { PostMessageW(d, WM_SYSCOMMAND, SC_CLOSE, 0); }},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        ConverterWindow another(GetModuleHandleW(nullptr), choosers.runner());
        ASSERT_TRUE(another.create());
        const auto handle = [&another](MSG& m) { another.handleQueuedMessage(m); };
        test::settle(handle);
        way.close(another.handle());
        EXPECT_TRUE(test::pumpUntil(
            handle, [&another] { return another.closed(); }, 5000));
        EXPECT_EQ(another.model().bufferReleases(), 1);
    }
}

TEST_F(ConverterWindowTest, SystemMenuEndsWithTheAboutItemThatOpensTheAboutBox) {
    const HMENU menu = GetSystemMenu(dialog, FALSE);
    const int count = GetMenuItemCount(menu);
    ASSERT_GE(count, 2);
    EXPECT_EQ(GetMenuState(menu, static_cast<UINT>(count - 2), MF_BYPOSITION) & MF_SEPARATOR,
              static_cast<UINT>(MF_SEPARATOR));
    EXPECT_EQ(GetMenuItemID(menu, count - 1), static_cast<UINT>(ID_SYSMENU_ABOUT));
    wchar_t item[64] = {};
    GetMenuStringW(menu, static_cast<UINT>(count - 1), item, 64, MF_BYPOSITION);
    EXPECT_STREQ(item, L"关于 Trunvex(&A)...");

    ModalAnswerer answerer(dialog);
    // Every command from 16 to 31 is the About command.
    SendMessageW(dialog, WM_SYSCOMMAND, ID_SYSMENU_ABOUT, 0);
    SendMessageW(dialog, WM_SYSCOMMAND, ID_SYSMENU_ABOUT | 0xF, 0);
    ASSERT_EQ(answerer.seen().size(), 2u);
    const test::SeenBox& about = answerer.seen().front();
    EXPECT_EQ(about.caption, L"关于 Trunvex");
    EXPECT_EQ(about.style & (WS_CAPTION | WS_SYSMENU), static_cast<DWORD>(WS_CAPTION | WS_SYSMENU));
    // A classic template keeps 16-bit ids: IDC_STATIC reads back as 0xFFFF.
    constexpr int STATIC_16 = 0xFFFF;
    const std::vector<ExpectedControl> expected = {
        {STATIC_16, L"Static", nullptr, {11, 17, 20, 20}, SS_TYPEMASK, SS_ICON},
        {STATIC_16,
         L"Static",
         L"Trunvex 1.0 版",
         {40, 10, 119, 8},
         SS_TYPEMASK | SS_NOPREFIX | WS_GROUP,
         SS_LEFT | SS_NOPREFIX | WS_GROUP},
        {STATIC_16,
         L"Static",
         L"Copyright (C) 2026",
         {40, 25, 119, 8},
         SS_TYPEMASK | WS_GROUP,
         SS_LEFT | WS_GROUP},
        {IDOK,
         L"Button",
         L"确定",
         {178, 7, 50, 14},
         BS_TYPEMASK | WS_TABSTOP | WS_GROUP,
         BS_DEFPUSHBUTTON | WS_TABSTOP | WS_GROUP},
    };
    // The icon control takes the icon's size, whatever the template says.
    std::vector<SeenControl> controls = about.controls;
    ASSERT_EQ(controls.size(), expected.size());
    EXPECT_TRUE(controls[0].hasIcon);
    const RECT iconAt = toPixels(about.baseUnits, expected[0].units);
    EXPECT_EQ(controls[0].rect.left, iconAt.left);
    EXPECT_EQ(controls[0].rect.top, iconAt.top);
    controls[0].rect = iconAt;
    expectControls(controls, about.baseUnits, expected);

    EXPECT_TRUE(IsWindowEnabled(dialog));  // the main dialog is as it was
    EXPECT_FALSE(window.closed());
}

TEST_F(ConverterWindowTest, ChoosersAskForTheirFiltersAndFillTheBoxes) {
    // A chosen source proposes the AVI path beside it; names outside the ANSI code page survive.
    choosers.answers = {L"C:\\录像\\cam1.264", L"D:\\输出\\clip.avi"};
    click(IDC_BROWSE_SOURCE);
    EXPECT_EQ(itemText(dialog, IDC_SOURCE_PATH), L"C:\\录像\\cam1.264");
    EXPECT_EQ(itemText(dialog, IDC_AVI_PATH), L"C:\\录像\\cam1.avi");
    click(IDC_BROWSE_AVI);
    EXPECT_EQ(itemText(dialog, IDC_AVI_PATH), L"D:\\输出\\clip.avi");

    ASSERT_EQ(choosers.shown.size(), 2u);
    const Win32FileDialog& source = choosers.shown[0];
    EXPECT_TRUE(source.open);
    EXPECT_EQ(source.filter, withNuls(L"h264 Files (*.264)\0*.264\0Mpeg4 Files (*.mp4)\0*.mp4\0"
                                      L"All files(*.*)\0*.*\0\0"));
    EXPECT_EQ(source.defaultExtension, L"");  // a typed name is taken as it is
    EXPECT_FALSE(source.flags & OFN_FILEMUSTEXIST);
    const Win32FileDialog& avi = choosers.shown[1];
    EXPECT_FALSE(avi.open);
    EXPECT_EQ(avi.filter, withNuls(L"AVI Files (*.AVI)\0*.AVI\0\0"));
    EXPECT_EQ(avi.defaultExtension, L"AVI");
    EXPECT_TRUE(avi.flags & OFN_OVERWRITEPROMPT);
    EXPECT_TRUE(avi.flags & OFN_HIDEREADONLY);
}

TEST_F(ConverterWindowTest, CancelInAChooserEmptiesItsBox) {
    struct Case {
        int browse;
        const wchar_t* sourceAfter;
        const wchar_t* aviAfter;
    };
    const Case cases[] = {
        {IDC_BROWSE_SOURCE, L"", L"C:\\rec\\cam1.avi"},  // the stored AVI path stays
        {IDC_BROWSE_AVI, L"C:\\rec\\cam1.264", L""},
    };
    for (const Case& c : cases) {
        choosers.answers = {L"C:\\rec\\cam1.264", std::nullopt};
        click(IDC_BROWSE_SOURCE);
        click(c.browse);
        EXPECT_EQ(itemText(dialog, IDC_SOURCE_PATH), c.sourceAfter);
        EXPECT_EQ(itemText(dialog, IDC_AVI_PATH), c.aviAfter);
    }
}

TEST_F(ConverterWindowTest, DragsShowWhetherTheDropIsTakenAndTakeOnlyACopy) {
    wchar_t folder[MAX_PATH] = {};
    ASSERT_NE(GetTempPathW(MAX_PATH, folder), 0u);
    constexpr DWORD ANY = DROPEFFECT_COPY | DROPEFFECT_MOVE | DROPEFFECT_LINK;
    struct Case {
        const char* name;
        std::optional<std::vector<std::wstring>> files;  // std::nullopt: a web address
        DWORD offered;
        const wchar_t* source;  // nullptr: refused
    };
    const Case cases[] = {
        {"one file", std::vector<std::wstring>{L"E:\\拖放\\a.b.mp4"}, ANY, L"E:\\拖放\\a.b.mp4"},
        {"several files", std::vector<std::wstring>{L"E:\\x.264", L"E:\\y.264"}, ANY, nullptr},
        {"a folder", std::vector<std::wstring>{folder}, ANY, nullptr},
        {"a web address", std::nullopt, ANY, nullptr},
        {"move only", std::vector<std::wstring>{L"E:\\x.264"}, DROPEFFECT_MOVE, nullptr},
    };
    IDropTarget& target = window.dropTarget();
    // The system asks this target while the user drags over the window.
    EXPECT_EQ(RegisterDragDrop(dialog, &target), DRAGDROP_E_ALREADYREGISTERED);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetDlgItemTextW(dialog, IDC_SOURCE_PATH, L"");
        DraggedData data(c.files);
        const DWORD expected = c.source != nullptr ? DROPEFFECT_COPY : DROPEFFECT_NONE;
        DWORD effect = c.offered;
        // Shift asks for a move: the answer stays a copy.
        EXPECT_EQ(target.DragEnter(&data, MK_LBUTTON | MK_SHIFT, POINTL{5, 5}, &effect), S_OK);
        EXPECT_EQ(effect, expected);
        effect = c.offered;
        EXPECT_EQ(target.DragOver(MK_LBUTTON | MK_SHIFT, POINTL{6, 6}, &effect), S_OK);
        EXPECT_EQ(effect, expected);
        effect = c.offered;
        EXPECT_EQ(target.Drop(&data, MK_SHIFT, POINTL{6, 6}, &effect), S_OK);
        EXPECT_EQ(effect, expected);
        EXPECT_EQ(itemText(dialog, IDC_SOURCE_PATH), c.source != nullptr ? c.source : L"");
        if (c.files && c.offered == ANY) {
            // The shell's plain drop follows the same rule.
            SetDlgItemTextW(dialog, IDC_SOURCE_PATH, L"");
            SendMessageW(dialog, WM_DROPFILES, reinterpret_cast<WPARAM>(makeDrop(*c.files)), 0);
            EXPECT_EQ(itemText(dialog, IDC_SOURCE_PATH), c.source != nullptr ? c.source : L"");
        }
    }
}

TEST(ConverterWindowCommandLine, ARecordingNamedOnItIsProposedAndNotRun) {
    ConverterWindow opened(GetModuleHandleW(nullptr));
    opened.openWith(L"C:\\录像\\rec.old\\cam1");
    ASSERT_TRUE(opened.create());
    EXPECT_EQ(itemText(opened.handle(), IDC_SOURCE_PATH), L"C:\\录像\\rec.old\\cam1");
    EXPECT_EQ(itemText(opened.handle(), IDC_AVI_PATH), L"C:\\录像\\rec.old\\cam1.avi");
    EXPECT_FALSE(opened.model().busy());
    EXPECT_EQ(itemText(opened.handle(), IDC_CONVERT), L"Trunvex");
}

TEST_F(ConverterWindowTest, ConvertsTheSampleOffTheWindowThreadAndEndsInOneMessage) {
    wchar_t folder[MAX_PATH] = {};
    ASSERT_NE(GetTempPathW(MAX_PATH, folder), 0u);
    // Names outside the ANSI code page, all the way to the files.
    const std::wstring source = std::wstring(folder) + L"录像 样本.264";
    const std::wstring avi = std::wstring(folder) + L"录像 样本 转换.avi";
    ASSERT_TRUE(CopyFileW(samplePath().c_str(), source.c_str(), FALSE));
    DeleteFileW(avi.c_str());
    choosers.answers = {source, avi};
    click(IDC_BROWSE_SOURCE);
    click(IDC_BROWSE_AVI);

    // Every caption the convert button is given, in order.
    static std::vector<std::wstring> captions;
    captions.clear();
    const auto recordCaption = [](HWND button, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                  DWORD_PTR) -> LRESULT {
        if (message == WM_SETTEXT) {
            captions.emplace_back(reinterpret_cast<const wchar_t*>(lParam));
        }
        return DefSubclassProc(button, message, wParam, lParam);
    };
    const HWND convertButton = GetDlgItem(dialog, IDC_CONVERT);
    ASSERT_TRUE(SetWindowSubclass(convertButton, recordCaption, 1, 0));

    ModalAnswerer answerer(dialog);
    click(IDC_CONVERT);
    // The run has started and the window is free; keys meant for the dialog are not taken.
    MSG typed{GetDlgItem(dialog, IDC_AVI_PATH), WM_CHAR, L'x', 0, 0, {}};
    window.handleQueuedMessage(typed);
    EXPECT_EQ(itemText(dialog, IDC_AVI_PATH), avi);
    ASSERT_TRUE(window.model().busy());

    EXPECT_TRUE(test::pumpUntil(handler(), [&] { return !window.model().busy(); }));
    RemoveWindowSubclass(convertButton, recordCaption, 1);

    ASSERT_EQ(answerer.seen().size(), 1u);
    EXPECT_EQ(answerer.seen()[0].caption, L"Trunvex");
    ASSERT_FALSE(answerer.seen()[0].controls.empty());
    bool saysSucceeded = false;
    for (const SeenControl& control : answerer.seen()[0].controls) {
        saysSucceeded = saysSucceeded || control.text == L"Trunvex succeeded!";
    }
    EXPECT_TRUE(saysSucceeded);
    // By the time the message shows, the button reads "Trunvex" again.
    EXPECT_EQ(answerer.seen()[0].convertCaption, L"Trunvex");
    EXPECT_EQ(captions, (std::vector<std::wstring>{L"Please wait...", L"Trunvex"}));
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(dialog, IDC_RUN_PROGRESS)));

    std::ifstream written(avi.c_str(), std::ios::binary);
    char head[12] = {};
    written.read(head, sizeof(head));
    EXPECT_EQ(std::string(head, 4), "RIFF");
    EXPECT_EQ(std::string(head + 8, 4), "AVI ");
    written.close();
    DeleteFileW(avi.c_str());
    DeleteFileW(source.c_str());
}

}  // namespace
}  // namespace trunvex
