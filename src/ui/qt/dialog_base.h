#pragma once

#include <QDialog>
#include <QFont>
#include <QHash>
#include <QRect>
#include <span>
#include <string>

class QPushButton;

namespace trunvex {

// How a modal dialog ended, and the ids of the buttons that end it that way.
inline constexpr int DIALOG_OK = 1;
inline constexpr int DIALOG_CANCEL = 2;
// Controls that nobody addresses (labels, pictures).
inline constexpr int ID_STATIC = -1;

enum ControlKind : int {
    CONTROL_BUTTON,
    CONTROL_DEFAULT_BUTTON,
    CONTROL_EDIT,
    CONTROL_LABEL_LEFT,
    CONTROL_LABEL_RIGHT,
    CONTROL_ICON,  // `text` names the icon resource
};

// One control of a dialog template. Geometry is in dialog units of the dialog's font.
struct ControlTemplate {
    int id;
    const char* objectName;  // how code and tests find the control; null for ID_STATIC
    ControlKind kind;
    const char* text;  // UTF-8
    int x, y, width, height;
    bool disabled;
};

// A dialog laid out as a fixed template: title, client size in dialog units and the controls
// in creation order, which is also the tab order.
struct DialogTemplate {
    const char* title;  // UTF-8
    int width, height;
    std::span<const ControlTemplate> controls;
};

// The font every dialog of the program uses: a CJK font at 9 points, so the Chinese texts
// render with real glyphs.
[[nodiscard]] QFont dialogFont();

class DialogBase;

// One data exchange between a dialog's controls and its member strings; the direction is
// fixed for the whole exchange. Strings hold text in the system's 8-bit encoding.
class DataExchange {
public:
    DataExchange(DialogBase& owner, bool toStrings) noexcept
        : dialog(owner), saveAndValidate(toStrings) {}

    // Edit control `id` to or from `value`, the whole text without a length limit.
    void text(int id, std::string& value);
    // Binds push button `id` to `button` on the first exchange; later exchanges keep it.
    void control(int id, QPushButton*& button);

private:
    DialogBase& dialog;
    const bool saveAndValidate;
};

// A modal dialog built from a template, with the life cycle its subclasses hook into:
// OnInitDialog when the window is about to appear, OnDestroy when it goes away (however the
// dialog ended), and data exchange on request.
class DialogBase : public QDialog {
    Q_OBJECT

public:
    explicit DialogBase(const DialogTemplate& dialogTemplate, QWidget* parent = nullptr);
    ~DialogBase() override;

    // Runs the dialog modally until it ends: DIALOG_OK or DIALOG_CANCEL.
    int DoModal();
    // true: controls to strings; false: strings to controls. Always succeeds.
    bool UpdateData(bool saveAndValidate = true);
    // The control with this id, null when the template has none.
    [[nodiscard]] QWidget* GetDlgItem(int id) const { return controls.value(id, nullptr); }
    // A rectangle in dialog units converted to pixels with this dialog's font.
    [[nodiscard]] QRect MapDialogRect(const QRect& units) const;

protected:
    // Binds controls to members; the default exchanges nothing.
    virtual void DoDataExchange(DataExchange& exchange);
    // The window is about to be shown: the first exchange runs from strings to controls.
    // Returns true to let the default focus stand (the first tab stop).
    virtual bool OnInitDialog();
    // The button with id DIALOG_OK or Enter: controls to strings, then the dialog ends with
    // DIALOG_OK.
    virtual void OnOK();
    // The window has gone away, whichever way the dialog ended.
    virtual void OnDestroy() {}

    void accept() override { OnOK(); }
    // Escape, the close box and a DIALOG_CANCEL button end the dialog without OnOK.
    void reject() override { done(DIALOG_CANCEL); }
    void done(int result) override;
    void showEvent(QShowEvent* event) override;

private:
    void createControls(const DialogTemplate& dialogTemplate);

    QHash<int, QWidget*> controls;
    bool windowLive = false;
};

}  // namespace trunvex
