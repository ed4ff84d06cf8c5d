#pragma once

#include <QIcon>

namespace trunvex {

// Icon 128 in its 32 x 32, 16-colour drawing, the size a dialog's icon control shows.
inline constexpr char APP_ICON_32[] = ":/trunvex/icons/trunvex-32.png";

// Makes the compiled-in resources reachable; harmless to repeat.
void registerAppResources();
// The program's icon in every size it is drawn in.
[[nodiscard]] QIcon loadAppIcon();

}  // namespace trunvex
