#include "app/AppIcon.h"

#include <QPixmap>

QIcon LoadAppIcon() {
    Q_INIT_RESOURCE(resources);
    return QIcon(QPixmap(QStringLiteral(":/res/app_icon.ppm")));
}
