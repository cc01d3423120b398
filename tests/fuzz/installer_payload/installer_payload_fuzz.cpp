// Fuzz target for the installer stand-in's payload checks: the input is one
// Payload archive, held in memory, judged by checkPayload() against a scratch
// target made once: the format check, the cpio header walk, every entry's
// name and type, and the resolution of its path through the target, which
// holds what the walk must tell apart: a system link (root's, in a root-only
// directory) that may be crossed, and one that leads out of the target.
// The checks only read the target; writing it has its own target
// (installer_payload_write_fuzz).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>

#include "platform/base/fd.h"
#include "tests/fuzz/installer_payload/target_layout.h"
#include "tools/installer/installer.h"

namespace {

struct Scratch {
    std::string parent;
    std::string target;
    base::UniqueFd fd;
    Scratch() {
        char t[] = "/tmp/installer-payload-fuzz-XXXXXX";
        if (!mkdtemp(t)) {
            abort();
        }
        parent = t;
        target = parent + "/target";
        if (mkdir((parent + "/outside").c_str(), 0755) != 0) {
            abort();
        }
        fd = payloadfuzz::makeTargetLayout(target);
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(parent, ec);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Scratch scratch;
    (void)installer::checkPayload(std::span(data, size), scratch.fd.get(), scratch.target, "");
    return 0;
}
