#include "ui/win32/drop_target.h"

#include <shellapi.h>

#include "ui/model/converter_dialog_model.h"
#include "ui/win32/wide_text.h"

namespace trunvex {
namespace {

// The files a drag carries; a drag without any (a web address, text) carries one item that
// is no file, which the model refuses.
std::vector<std::string> draggedFiles(IDataObject* data) {
    FORMATETC format{CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM medium{};
    if (data == nullptr || FAILED(data->GetData(&format, &medium))) {
        return {std::string()};
    }
    std::vector<std::string> paths;
    if (const auto drop = static_cast<HDROP>(GlobalLock(medium.hGlobal)); drop != nullptr) {
        paths = droppedFiles(drop);
        GlobalUnlock(medium.hGlobal);
    }
    ReleaseStgMedium(&medium);
    return paths;
}

// A copy where the model takes the drop and the source allows one; otherwise nothing, which
// the system shows as the "no" cursor.
DWORD copyIf(bool takes, DWORD offered) {
    return takes && (offered & DROPEFFECT_COPY) != 0 ? DROPEFFECT_COPY : DROPEFFECT_NONE;
}

}  // namespace

std::vector<std::string> droppedFiles(HDROP drop) {
    std::vector<std::string> paths;
    const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count; ++i) {
        const UINT length = DragQueryFileW(drop, i, nullptr, 0);
        std::wstring path(length + 1, L'\0');
        path.resize(DragQueryFileW(drop, i, path.data(), length + 1));
        paths.push_back(toUtf8(path));
    }
    return paths;
}

HRESULT DialogDropTarget::QueryInterface(REFIID id, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    if (IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, IID_IDropTarget)) {
        *object = static_cast<IDropTarget*>(this);
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT DialogDropTarget::DragEnter(IDataObject* data, DWORD, POINTL, DWORD* effect) {
    taken = dialogModel.takesDrop(draggedFiles(data));
    *effect = copyIf(taken, *effect);
    return S_OK;
}

HRESULT DialogDropTarget::DragOver(DWORD, POINTL, DWORD* effect) {
    *effect = copyIf(taken, *effect);
    return S_OK;
}

HRESULT DialogDropTarget::DragLeave() {
    taken = false;
    return S_OK;
}

HRESULT DialogDropTarget::Drop(IDataObject* data, DWORD, POINTL, DWORD* effect) {
    const std::vector<std::string> paths = draggedFiles(data);
    taken = false;
    *effect = copyIf(dialogModel.takesDrop(paths), *effect);
    if (*effect == DROPEFFECT_COPY) {
        dialogModel.dropFiles(paths);
    }
    return S_OK;
}

}  // namespace trunvex
