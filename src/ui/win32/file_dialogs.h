#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "ui/model/dialog_view.h"

namespace trunvex {

// A file chooser request in the form the common file dialogs take.
struct Win32FileDialog {
    bool open = true;
    // Display text and pattern pairs, each ending in a NUL, the list in a second NUL.
    std::wstring filter;
    // Appended when the user types a name without an extension; empty: nothing is appended.
    std::wstring defaultExtension;
    DWORD flags = 0;
};

// "Text|*.a|Other|*.b||" as the common file dialogs' filter: every "|" becomes a NUL.
[[nodiscard]] std::wstring toWin32Filter(std::string_view filter);
// "*.AVI" or ".avi" as the extension the dialogs append ("AVI"); empty when it names none
// (".*"), so that a typed name is taken as it is.
[[nodiscard]] std::wstring toWin32DefaultExtension(std::string_view extension);
[[nodiscard]] Win32FileDialog toWin32FileDialog(const FileRequest& request);

// Shows the chooser modally over `owner`: the chosen file's full path, or std::nullopt when
// the user cancelled. Tests put a scripted one in its place.
using FileDialogRunner =
    std::function<std::optional<std::wstring>(HWND owner, const Win32FileDialog& dialog)>;
[[nodiscard]] std::optional<std::wstring> runCommonFileDialog(HWND owner,
                                                              const Win32FileDialog& dialog);

}  // namespace trunvex
