#include "platform/storage/process_secrets.h"

#include <cerrno>
#include <cstring>

#include <sys/prctl.h>

namespace quendra {

std::optional<std::string> protectProcessSecrets() {
    if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) {
        return std::string("processo non protetto dai core dump: ") + std::strerror(errno);
    }
    return std::nullopt;
}

}  // namespace quendra
