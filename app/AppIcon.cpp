#include "app/AppIcon.h"

#include <QImage>

namespace {
constexpr QRgb kKeyColour = 0xFF00FF;  // red and blue full, no green
}

QPixmap AppIconPixmap(int size) {
    Q_INIT_RESOURCE(resources);
    QImage image(QStringLiteral(":/res/app_icon.ppm"));
    if (image.isNull()) return {};
    image = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if ((line[x] & RGB_MASK) == kKeyColour) line[x] = qRgba(0, 0, 0, 0);
        }
    }
    if (size != image.width()) {
        image = image.scaled(size, size, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    }
    return QPixmap::fromImage(image);
}

QIcon LoadAppIcon() {
    QIcon icon;
    icon.addPixmap(AppIconPixmap(kAppIconImageSize));
    icon.addPixmap(AppIconPixmap(kSystemIconSize));
    return icon;
}
