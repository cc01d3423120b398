// Loaded with LD_PRELOAD: if the dynamic loader honours it, this runs before
// the program's main() and leaves a file behind, named by XQ_ATTACK_MARKER.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

__attribute__((constructor)) static void leaveMarker() {
    const char* path = std::getenv("XQ_ATTACK_MARKER");
    if (path != nullptr) {
        const int fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::close(fd);
        }
    }
}
