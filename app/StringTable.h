// The program's string resources.
#pragma once

#include <QString>

// The string with this id, or an empty text when there is none.
QString LoadString(int id);
