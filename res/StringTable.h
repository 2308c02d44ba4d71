// The program's string resources.
#pragma once

// The string with this id (UTF-8), or an empty text when there is none.
const char* LoadString(int id);
