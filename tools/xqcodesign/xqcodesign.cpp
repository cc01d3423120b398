#include "tools/xqcodesign/xqcodesign.h"

#include <fcntl.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/fd.h"
#include "platform/codesign/signature.h"
#include "platform/elf/elf.h"
#include "platform/security/anchors.h"
#include "platform/security/security.h"

namespace xqcodesign {
namespace {

constexpr char kUsage[] =
    "usage: xqcodesign sign --identity CERT.pem --key KEY.pem [--chain CERTS.pem]...\n"
    "                       --identifier ID FILE\n"
    "       xqcodesign verify [--anchor ROOT.pem|ROOT.der]... FILE\n"
    "       xqcodesign display FILE\n"
    "       xqcodesign --help\n"
    "\n"
    "sign     appends a code signature to the ELF executable FILE (in place), replacing\n"
    "         an existing one: a detached CMS signature by the identity certificate and\n"
    "         key over a record of the signing identifier and the length and SHA-256 of\n"
    "         every byte before the signature. --chain adds the certificates stored after\n"
    "         the leaf (intermediates, root); repeat it or give a PEM bundle. The\n"
    "         signing time is SOURCE_DATE_EPOCH (seconds since 1970) when it is set,\n"
    "         so that a reproducible build signs the same bytes each time.\n"
    "verify   checks FILE's signature: the CMS signature and its chain to a trust anchor\n"
    "         (code-signing purpose, now), the signed length, then the SHA-256. Without\n"
    "         --anchor the anchors are the ones compiled into this tool: this build-tree\n"
    "         tool carries the generated test PKI's root.\n"
    "display  prints the signature without judging it: identifier, covered length and\n"
    "         SHA-256, the stored certificates' subjects, and the keys of the\n"
    "         executable's __info_plist section.\n"
    "\n"
    "Exit status: 0 done or valid, 1 refused or failed, 2 usage error.\n";

int usage_error(const std::string& why) {
    std::cerr << "xqcodesign: " << why << "\n" << kUsage;
    return 2;
}

// SOURCE_DATE_EPOCH: unset gives the current time (nullopt); set, it must
// be a decimal number of seconds.
bool source_date_epoch(std::optional<std::time_t>* out) {
    const char* v = std::getenv("SOURCE_DATE_EPOCH");
    if (v == nullptr) {
        return true;
    }
    std::time_t t = 0;
    const char* end = v + std::strlen(v);
    auto [p, ec] = std::from_chars(v, end, t);
    if (ec != std::errc() || p != end || v == end || t < 0) {
        std::cerr << "xqcodesign: SOURCE_DATE_EPOCH is not a number of seconds: " << v << "\n";
        return false;
    }
    *out = t;
    return true;
}

bool read_file(const std::string& path, std::vector<uint8_t>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    out.assign(std::istreambuf_iterator<char>(in), {});
    return !in.bad();
}

// The stored certificates from the signer's up through its issuers, then any
// others in stored order (a CMS message keeps them as an unordered set).
std::vector<X509*> leaf_first(CMS_ContentInfo* cms, STACK_OF(X509) * certs) {
    std::vector<X509*> out;
    auto listed = [&](X509* c) { return std::find(out.begin(), out.end(), c) != out.end(); };
    X509* current = nullptr;
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms);
    if (infos && sk_CMS_SignerInfo_num(infos) == 1) {
        CMS_SignerInfo* si = sk_CMS_SignerInfo_value(infos, 0);
        for (int i = 0; i < sk_X509_num(certs) && !current; ++i) {
            if (CMS_SignerInfo_cert_cmp(si, sk_X509_value(certs, i)) == 0) {
                current = sk_X509_value(certs, i);
            }
        }
    }
    while (current && !listed(current)) {
        out.push_back(current);
        X509* issuer = nullptr;
        for (int i = 0; i < sk_X509_num(certs) && !issuer; ++i) {
            X509* c = sk_X509_value(certs, i);
            if (c != current && X509_check_issued(c, current) == X509_V_OK) {
                issuer = c;
            }
        }
        current = issuer;
    }
    for (int i = 0; i < sk_X509_num(certs); ++i) {
        if (!listed(sk_X509_value(certs, i))) {
            out.push_back(sk_X509_value(certs, i));
        }
    }
    security::drain_errors();
    return out;
}

int sign(const std::vector<std::string>& args) {
    std::string identity, key, identifier, file;
    std::vector<std::string> chain;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= args.size()) {
                return false;
            }
            into = args[++i];
            return true;
        };
        std::string v;
        if (a == "--identity") {
            if (!value(identity)) {
                return usage_error("--identity needs a file");
            }
        } else if (a == "--key") {
            if (!value(key)) {
                return usage_error("--key needs a file");
            }
        } else if (a == "--identifier") {
            if (!value(identifier)) {
                return usage_error("--identifier needs a value");
            }
        } else if (a == "--chain") {
            if (!value(v)) {
                return usage_error("--chain needs a file");
            }
            chain.push_back(v);
        } else if (!a.empty() && a[0] == '-') {
            return usage_error("unknown option " + a);
        } else if (file.empty()) {
            file = a;
        } else {
            return usage_error("one FILE only");
        }
    }
    if (identity.empty() || key.empty() || identifier.empty() || file.empty()) {
        return usage_error("sign needs --identity, --key, --identifier and FILE");
    }
    if (!codesign::valid_identifier(identifier)) {
        std::cerr << "xqcodesign: bad identifier (1 to " << codesign::kMaxIdentifier
                  << " printable characters, no space)\n";
        return 1;
    }
    std::string error;
    auto certs = security::certificates_from_file(identity, &error);
    if (certs.empty()) {
        std::cerr << "xqcodesign: " << error << "\n";
        return 1;
    }
    auto pkey = security::private_key_from_file(key, &error);
    if (!pkey) {
        std::cerr << "xqcodesign: " << error << "\n";
        return 1;
    }
    if (X509_check_private_key(certs[0].get(), pkey.get()) != 1) {
        security::drain_errors();
        std::cerr << "xqcodesign: the key does not belong to the identity certificate\n";
        return 1;
    }
    std::vector<security::X509Ptr> extra;
    for (const auto& path : chain) {
        auto more = security::certificates_from_file(path, &error);
        if (more.empty()) {
            // An empty chain file (a root's) adds nothing.
            std::vector<uint8_t> bytes;
            if (read_file(path, bytes) && bytes.empty()) {
                continue;
            }
            std::cerr << "xqcodesign: " << error << "\n";
            return 1;
        }
        for (auto& c : more) {
            extra.push_back(std::move(c));
        }
    }
    codesign::Identity id{certs[0].get(), pkey.get(), {}, std::nullopt};
    if (!source_date_epoch(&id.signing_time)) {
        return 1;
    }
    for (auto& c : extra) {
        id.chain.push_back(c.get());
    }
    if (!codesign::sign_file(file, id, identifier, &error)) {
        std::cerr << "xqcodesign: " << error << "\n";
        return 1;
    }
    return 0;
}

int verify(const std::vector<std::string>& args) {
    std::vector<std::string> anchor_files;
    std::string file;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--anchor") {
            if (i + 1 >= args.size()) {
                return usage_error("--anchor needs a file");
            }
            anchor_files.push_back(args[++i]);
        } else if (!args[i].empty() && args[i][0] == '-') {
            return usage_error("unknown option " + args[i]);
        } else if (file.empty()) {
            file = args[i];
        } else {
            return usage_error("one FILE only");
        }
    }
    if (file.empty()) {
        return usage_error("verify needs FILE");
    }
    std::vector<security::Bytes> anchors_der;
    if (anchor_files.empty()) {
        anchors_der = security::trust_anchor_certificates();
    }
    for (const auto& path : anchor_files) {
        std::string error;
        auto certs = security::certificates_from_file(path, &error);
        if (certs.empty()) {
            std::cerr << "xqcodesign: " << error << "\n";
            return 1;
        }
        for (auto& c : certs) {
            anchors_der.push_back(security::certificate_der(c.get()));
        }
    }
    security::TrustStore anchors(anchors_der);
    base::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        std::cerr << "xqcodesign: cannot open " << file << ": " << std::strerror(errno) << "\n";
        return 1;
    }
    codesign::CheckedCode checked = codesign::check_file(fd.get(), anchors);
    fd.reset();
    if (checked.status != codesign::CheckStatus::ok) {
        std::cerr << file << ": " << checked.error << "\n";
        return 1;
    }
    std::cout << file << ": valid\n";
    std::cout << "Identifier=" << checked.record.identifier << "\n";
    for (size_t i = 0; i < checked.chain.size(); ++i) {
        std::cout << "Authority=" << security::common_name(checked.chain[i].get()).value_or("")
                  << "\n";
    }
    return 0;
}

int display(const std::vector<std::string>& args) {
    if (args.size() != 1 || (!args[0].empty() && args[0][0] == '-')) {
        return usage_error("display needs exactly one FILE");
    }
    const std::string& file = args[0];
    std::vector<uint8_t> image;
    if (!read_file(file, image)) {
        std::cerr << "xqcodesign: cannot read " << file << "\n";
        return 1;
    }
    std::span<const uint8_t> all(image);
    if (all.size() < codesign::kTrailerSize) {
        std::cerr << file << ": code object is not signed at all\n";
        return 1;
    }
    codesign::Location loc;
    switch (codesign::locate_block(all.size(), all.last<codesign::kTrailerSize>(), loc)) {
        case codesign::TrailerStatus::unsigned_file:
            std::cerr << file << ": code object is not signed at all\n";
            return 1;
        case codesign::TrailerStatus::malformed:
            std::cerr << file << ": signature block is malformed: bad block length\n";
            return 1;
        case codesign::TrailerStatus::ok:
            break;
    }
    std::string error;
    auto block = codesign::decode_block(all.subspan(loc.covered_length, loc.block_length), &error);
    if (!block) {
        std::cerr << file << ": signature block is malformed: " << error << "\n";
        return 1;
    }
    std::cout << "Executable=" << file << "\n";
    std::cout << "Identifier=" << block->record.identifier << "\n";
    std::cout << "SignedLength=" << block->record.length << "\n";
    std::cout << "FileCoveredLength=" << loc.covered_length << "\n";
    std::cout << "SHA256=" << security::hex(block->record.sha256) << "\n";
    std::cout << "SignatureSize=" << block->cms.size() << "\n";
    if (auto cms = security::cms_from_der(block->cms)) {
        if (security::X509StackPtr certs{CMS_get1_certs(cms.get())}) {
            auto list = leaf_first(cms.get(), certs.get());
            for (size_t i = 0; i < list.size(); ++i) {
                std::cout << "Certificate " << i << "=" << security::subject_line(list[i]) << "\n";
            }
        }
        security::drain_errors();
    } else {
        std::cout << "Certificates=unreadable signature\n";
    }
    std::span<const uint8_t> covered =
        all.first(static_cast<size_t>(std::min<uint64_t>(loc.covered_length, all.size())));
    auto section = elf::section_bytes(covered, "__info_plist");
    if (!section) {
        std::cout << "Info.plist=not bound\n";
    } else {
        auto info = codesign::info_strings(*section);
        std::cout << "Info.plist entries=" << info.size() << "\n";
        for (const auto& [k, v] : info) {
            std::cout << "Info " << k << "=" << v << "\n";
        }
    }
    return 0;
}

}  // namespace

int run(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        return usage_error("no command");
    }
    std::string command = args[0];
    args.erase(args.begin());
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << kUsage;
        return 0;
    }
    for (const auto& a : args) {
        if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return 0;
        }
    }
    if (command == "sign") {
        return sign(args);
    }
    if (command == "verify") {
        return verify(args);
    }
    if (command == "display") {
        return display(args);
    }
    return usage_error("unknown command " + command);
}

}  // namespace xqcodesign
