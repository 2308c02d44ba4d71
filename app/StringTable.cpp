#include "app/StringTable.h"

#include "res/resource.h"

namespace {
std::function<QString(int)> lookupOverride;
}

QString LoadString(int id) {
    if (lookupOverride) return lookupOverride(id);
    if (id == IDS_ABOUT_MENU) return QStringLiteral("关于 Kavlet(&A)...");
    return {};
}

void SetStringTableOverride(std::function<QString(int)> lookup) { lookupOverride = std::move(lookup); }
