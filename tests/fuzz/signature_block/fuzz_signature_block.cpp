// Fuzzes everything that reads a signed executable: the trailer, the block,
// the signed record, the CMS message and its chain, the length check, the
// hash pass with its capture of the ELF headers, and the __info_plist
// section and property list.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/codesign/signature.h"
#include "platform/elf/elf.h"
#include "platform/security/anchors.h"
#include "platform/security/security.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const security::TrustStore anchors(security::trust_anchor_certificates());
    std::span<const uint8_t> input(data, size);

    (void)codesign::decode_record(input);
    (void)codesign::decode_block(input);
    (void)codesign::unsigned_part(input);
    if (auto section = elf::section_bytes(input, "__info_plist")) {
        (void)codesign::info_strings(*section);
    }

    // The whole file check, through a descriptor as the daemon reads it.
    int fd = memfd_create("signature_block", MFD_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (done == size) {
        codesign::CheckedCode checked = codesign::check_file(fd, anchors);
        if (checked.info_plist) {
            (void)codesign::info_strings(*checked.info_plist);
        }
    }
    close(fd);
    return 0;
}
