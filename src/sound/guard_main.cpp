// ombrix-sound-guard <parent-pid>: started by the program with a pipe on descriptor 3; see
// sound/guard.h.
#include <cstdlib>

#include "sound/guard.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    return quendra::runGuard(3, static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10)));
}
