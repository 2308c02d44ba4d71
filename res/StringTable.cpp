#include "res/StringTable.h"

#include "res/resource.h"

const char* LoadString(int id) {
    if (id == IDS_ABOUT_MENU) return "关于 Kavlet(&A)...";
    return "";
}
