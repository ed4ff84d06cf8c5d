#include "ui/qt/app_resources.h"

// The resources live in a static library, so nothing registers them unless asked to.
static void registerResources() {
    Q_INIT_RESOURCE(trunvex);
}

namespace trunvex {

void registerAppResources() {
    static const bool registered = (registerResources(), true);
    (void)registered;
}

QIcon loadAppIcon() {
    registerAppResources();
    QIcon icon;
    for (const int size : {32, 48, 64, 128, 256}) {
        icon.addFile(QStringLiteral(":/trunvex/icons/trunvex-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

}  // namespace trunvex
