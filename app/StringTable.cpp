#include "app/StringTable.h"

#include "res/resource.h"

QString LoadString(int id) {
    if (id == IDS_ABOUT_MENU) return QStringLiteral("关于 Kavlet(&A)...");
    return {};
}
