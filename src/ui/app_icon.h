#pragma once

#include <QByteArray>
#include <QIcon>
#include <QImage>

// The application's icon: the logo's arch in white on a blue rounded square,
// from the same geometry the welcome screen draws.
namespace app_icon {

// The icon as an SVG document (a 256 by 256 view box).
QByteArray svg();
// The icon rendered at size by size pixels.
QImage image(int size);
// The window icon, with the usual sizes.
QIcon icon();

} // namespace app_icon
