#include "ui/win32/file_dialogs.h"

#include <commdlg.h>

#include <vector>

#include "ui/win32/wide_text.h"

namespace trunvex {
namespace {

// The longest path the file system takes, so that no chosen name is cut.
constexpr DWORD PATH_CAPACITY = 32768;

}  // namespace

std::wstring toWin32Filter(std::string_view filter) {
    std::wstring result = toUtf16(filter);
    for (wchar_t& c : result) {
        if (c == L'|') {
            c = L'\0';
        }
    }
    // The dialogs read up to two NULs in a row; a filter without its closing "||" gets them.
    while (result.size() < 2 || result[result.size() - 1] != L'\0' ||
           result[result.size() - 2] != L'\0') {
        result.push_back(L'\0');
    }
    return result;
}

std::wstring toWin32DefaultExtension(std::string_view extension) {
    std::wstring result = toUtf16(extension);
    const std::size_t start = result.find_first_not_of(L"*.");
    result.erase(0, start == std::wstring::npos ? result.size() : start);
    return result.find(L'*') == std::wstring::npos ? result : std::wstring();
}

Win32FileDialog toWin32FileDialog(const FileRequest& request) {
    Win32FileDialog dialog;
    dialog.open = request.open;
    dialog.filter = toWin32Filter(request.filter);
    dialog.defaultExtension = toWin32DefaultExtension(request.defaultExtension);
    // The open chooser takes any name, existing or not; the save chooser asks before an
    // existing file is replaced. Neither moves the process's working folder.
    dialog.flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    if (request.overwritePrompt) {
        dialog.flags |= OFN_OVERWRITEPROMPT;
    }
    return dialog;
}

std::optional<std::wstring> runCommonFileDialog(HWND owner, const Win32FileDialog& dialog) {
    std::vector<wchar_t> path(PATH_CAPACITY, L'\0');
    OPENFILENAMEW request{};
    request.lStructSize = sizeof(request);
    request.hwndOwner = owner;
    request.lpstrFilter = dialog.filter.c_str();
    request.nFilterIndex = 1;
    request.lpstrFile = path.data();
    request.nMaxFile = PATH_CAPACITY;
    request.lpstrDefExt =
        dialog.defaultExtension.empty() ? nullptr : dialog.defaultExtension.c_str();
    request.Flags = dialog.flags;
    const BOOL chosen = dialog.open ? GetOpenFileNameW(&request) : GetSaveFileNameW(&request);
    if (!chosen) {
        return std::nullopt;
    }
    return std::wstring(path.data());
}

}  // namespace trunvex
