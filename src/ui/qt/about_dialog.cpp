#include "ui/qt/about_dialog.h"

#include "ui/qt/app_resources.h"

namespace trunvex {
namespace {

constexpr ControlTemplate ABOUT_CONTROLS[] = {
    {ID_STATIC, "ABOUT_ICON", CONTROL_ICON, APP_ICON_32, 11, 17, 20, 20, false},
    {ID_STATIC, "ABOUT_VERSION", CONTROL_LABEL_LEFT, "Trunvex 1.0 版", 40, 10, 119, 8, false},
    {ID_STATIC, "ABOUT_NOTICE", CONTROL_LABEL_LEFT, "Copyright (C) 2026", 40, 25, 119, 8, false},
    {DIALOG_OK, "IDOK", CONTROL_DEFAULT_BUTTON, "确定", 178, 7, 50, 14, false},
};

const DialogTemplate& aboutTemplate() {
    // The icon control reads the resources while the template is built into widgets.
    registerAppResources();
    static constexpr DialogTemplate TEMPLATE{"关于 Trunvex", 235, 55, ABOUT_CONTROLS};
    return TEMPLATE;
}

}  // namespace

AboutDialog::AboutDialog(QWidget* parent) : DialogBase(aboutTemplate(), parent) {}

AboutDialog::~AboutDialog() = default;

}  // namespace trunvex
