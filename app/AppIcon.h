// The application icon IDI_APP_ICON: one 16 x 16 image in 24-bit colour (a camera head on a
// stand), kept in res/. Its key colour, pure magenta, is the transparent part, as an icon's
// mask would make it.
#pragma once

#include <QIcon>
#include <QPixmap>

inline constexpr int kAppIconImageSize = 16;  // the icon's one image
inline constexpr int kSystemIconSize = 32;    // the size icons are drawn at in a window

// The icon's image at size x size pixels, each pixel repeated as often as needed (an icon with
// only a small image is stretched that way where a larger one is drawn), transparent where
// the key colour is.
QPixmap AppIconPixmap(int size = kAppIconImageSize);

// The icon with its image at 16 x 16 (small window icon) and at 32 x 32 (big window icon).
QIcon LoadAppIcon();
