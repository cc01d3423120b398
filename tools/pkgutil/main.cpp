// pkgutil: the package tool's stand-in, for "--check-signature PATH" only.
#include <openssl/crypto.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "tools/pkgutil/check_signature.h"

int main(int argc, char** argv) {
    if (argc != 3 || std::strcmp(argv[1], "--check-signature") != 0) {
        std::fprintf(stderr, "usage: pkgutil --check-signature PATH\n");
        return 2;
    }
    // The judge takes nothing from the environment: no OpenSSL configuration
    // file (OPENSSL_CONF or the system's) may change how it verifies.
    if (OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) != 1) {
        std::fprintf(stderr, "pkgutil: cannot initialise the crypto library\n");
        return 1;
    }
    const pkgutil::CheckResult result = pkgutil::check_signature(argv[2], std::time(nullptr));
    std::fwrite(result.report.data(), 1, result.report.size(), stdout);
    std::fwrite(result.error.data(), 1, result.error.size(), stderr);
    if (std::fflush(stdout) != 0) {
        return 1;
    }
    return result.exitStatus;
}
