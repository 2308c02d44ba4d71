// The program's string resources.
#pragma once

#include <QString>
#include <functional>

// The string with this id, or an empty text when there is none.
QString LoadString(int id);

// Replaces the string table for the whole process, for tests; an empty function restores it.
void SetStringTableOverride(std::function<QString(int)> lookup);
