// The least that a checking process of its own costs: it starts, loads
// libcrypto, reads one certificate and its issuer (DER files) and checks the
// one's signature with the other's key. Exits 0 when the signature holds.
#include <openssl/x509.h>

#include <fstream>
#include <iterator>
#include <vector>

namespace {

X509* read_der(const char* path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<unsigned char> der((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
    const unsigned char* p = der.data();
    return d2i_X509(nullptr, &p, static_cast<long>(der.size()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    X509* leaf = read_der(argv[1]);
    X509* issuer = read_der(argv[2]);
    const bool ok =
        leaf != nullptr && issuer != nullptr && X509_verify(leaf, X509_get0_pubkey(issuer)) == 1;
    X509_free(leaf);
    X509_free(issuer);
    return ok ? 0 : 1;
}
