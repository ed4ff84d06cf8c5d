#pragma once

#include "ui/qt/dialog_base.h"

namespace trunvex {

// The About box: the icon, the version line, the legal notice and "确定".
class AboutDialog : public DialogBase {
    Q_OBJECT

public:
    explicit AboutDialog(QWidget* parent = nullptr);
    ~AboutDialog() override;
};

}  // namespace trunvex
