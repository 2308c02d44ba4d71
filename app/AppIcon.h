// The application icon IDI_APP_ICON: one 16 x 16 image in 24-bit colour, kept in res/.
#pragma once

#include <QIcon>

QIcon LoadAppIcon();
