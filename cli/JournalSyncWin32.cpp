#include <io.h>

#include <cerrno>

#include "cli/PlanJournal.h"

namespace flash {

int SyncToDisk(std::FILE* file) {
    return _commit(_fileno(file)) == 0 ? 0 : errno;
}

}  // namespace flash
