#pragma once

#include <ole2.h>
#include <windows.h>

#include <string>
#include <vector>

namespace trunvex {

class ConverterDialogModel;

// The dialog's side of a drag: while the user drags over the window it asks the model whether
// the drop would be taken, so that the cursor shows the refusal before the button is let go,
// and answers a drop it takes as a copy, so that the drag source keeps the recording. It lives
// as long as the window it is registered for; its reference count only satisfies COM.
class DialogDropTarget final : public IDropTarget {
public:
    explicit DialogDropTarget(ConverterDialogModel& model) : dialogModel(model) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE DragEnter(IDataObject* data, DWORD keys, POINTL point,
                                        DWORD* effect) override;
    HRESULT STDMETHODCALLTYPE DragOver(DWORD keys, POINTL point, DWORD* effect) override;
    HRESULT STDMETHODCALLTYPE DragLeave() override;
    HRESULT STDMETHODCALLTYPE Drop(IDataObject* data, DWORD keys, POINTL point,
                                   DWORD* effect) override;

private:
    ConverterDialogModel& dialogModel;
    // Whether the model takes what the drag in progress carries, asked once when it enters:
    // the mouse moves often, and a path on another machine is slow to look at.
    bool taken = false;
};

// The files a shell drop (an HDROP) names, as UTF-8 paths.
[[nodiscard]] std::vector<std::string> droppedFiles(HDROP drop);

}  // namespace trunvex
