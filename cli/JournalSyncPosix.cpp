#include <unistd.h>

#include <cerrno>

#include "cli/PlanJournal.h"

namespace flash {

int SyncToDisk(std::FILE* file) {
    return fsync(fileno(file)) == 0 ? 0 : errno;
}

}  // namespace flash
