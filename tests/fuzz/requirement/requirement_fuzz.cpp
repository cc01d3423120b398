// Compiles outside text as a code-signing requirement and evaluates it against fixed
// facts. Beyond "no crash, no leak", it checks what callers rely on: exactly one of
// requirement and error is set, an error names its position, the canonical text
// compiles back to itself with the same verdicts, and the numeric order is a
// consistent ordering.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/csreq/requirement.h"

namespace {

csreq::CodeFacts makeFacts(bool genuine) {
    csreq::CodeFacts f;
    f.identifier = genuine ? "lx.pelk.dvk" : "lx.pelk.other";
    f.anchorApple = !genuine;
    f.anchorAppleGeneric = genuine;
    csreq::CertificateFacts leaf;
    leaf.subject = {{"CN", "Developer ID Application: Pelk Labs, Inc. (T3MQ8VX2LC)"},
                    {"OU", genuine ? "T3MQ8VX2LC" : "A1B2C3D4E5"},
                    {"O", "Pelk Labs, Inc."},
                    {"C", "US"},
                    {"emailAddress", "dev@example.com"}};
    leaf.der = {0x30, 0x82, 0x01, 0x00, 0x30, 0x03, 0x02, 0x01, 0x01};  // not a certificate
    csreq::CertificateFacts root;
    root.subject = {{"CN", "Apple Root CA"}, {"O", "Apple Inc."}};
    f.chain = {leaf, csreq::CertificateFacts{}, root};
    f.info = {{"CFBundleVersion", genuine ? "5.16.0.124" : "5.4.9"},
              {"CFBundleShortVersionString", "5.16"},
              {"", "empty key"}};
    return f;
}

const csreq::CodeFacts kFacts[] = {makeFacts(true), makeFacts(false), csreq::CodeFacts{}};

int sign(int v) {
    return (v > 0) - (v < 0);
}

void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);

    auto r = csreq::compile(text);
    check((r.requirement != nullptr) != !r.error.empty());
    if (!r.requirement) {
        check(r.error[0] >= '1' && r.error[0] <= '9' && r.error.find(": ") != std::string::npos);
    } else {
        std::string canonical = r.requirement->text();
        auto again = csreq::compile(canonical);
        check(again.requirement != nullptr);
        check(again.requirement->text() == canonical);
        for (const auto& facts : kFacts) {
            check(r.requirement->evaluate(facts) == again.requirement->evaluate(facts));
        }
    }

    // The ordering: antisymmetric and reflexive on any two strings.
    std::size_t cut = text.find('\0');
    if (cut != std::string_view::npos) {
        std::string_view a = text.substr(0, cut);
        std::string_view b = text.substr(cut + 1);
        check(sign(csreq::compareNumerically(a, b)) == -sign(csreq::compareNumerically(b, a)));
        check(csreq::compareNumerically(a, a) == 0);
    }
    return 0;
}
