// Fuzzes the XML reader: a document read whole and the same document read in
// pieces (split where the first byte says) must give the same events and the
// same verdict, and a document refused for what its document type
// declaration holds (entities, an external subset, a parameter-entity
// reference, too many attribute defaults) hands on nothing at all. A small
// memory budget makes the budget's memory refusal reachable.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/xml/xml.h"

namespace {

constexpr size_t kBudget = 256 * 1024;

struct Recorder final : xml::Handler {
    std::vector<std::string> events;
    void startElement(const char* name, const char** atts) override {
        std::string e = std::string("<") + name;
        for (size_t i = 0; atts[i] != nullptr; i += 2) {
            e += std::string(" ") + atts[i] + "=" + atts[i + 1];
        }
        events.push_back(std::move(e));
    }
    void endElement(const char* name) override { events.push_back(std::string("/") + name); }
    void characters(const char* text, size_t length) override {
        // Text may come in any number of runs: join neighbouring ones.
        if (!events.empty() && events.back()[0] == '#') {
            events.back().append(text, length);
        } else {
            events.push_back("#" + std::string(text, length));
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const size_t piece = 1 + data[0] % 64;
    const char* doc = reinterpret_cast<const char*>(data + 1);
    const size_t length = size - 1;

    Recorder whole;
    xml::Parser a(whole, kBudget);
    const bool okWhole = a.parse(doc, length, true);

    Recorder pieces;
    xml::Parser b(pieces, kBudget);
    bool okPieces = true;
    for (size_t at = 0; okPieces && at < length; at += piece) {
        const size_t n = length - at < piece ? length - at : piece;
        okPieces = b.parse(doc + at, n, false);
    }
    if (okPieces) {
        okPieces = b.parse(nullptr, 0, true);
    }

    // Memory use depends on how the input was cut; every other verdict and
    // everything handed on must not.
    if (a.refusal() == xml::Refusal::Memory || b.refusal() == xml::Refusal::Memory) {
        return 0;
    }
    if (okWhole != okPieces || a.refusal() != b.refusal()) {
        std::abort();
    }
    if (okWhole && whole.events != pieces.events) {
        std::abort();
    }
    if (a.refusal() == xml::Refusal::ExternalDeclarations ||
        a.refusal() == xml::Refusal::EntityDeclaration) {
        // Refused at the declaration, which only the prolog may hold: nothing
        // was handed on before it, and nothing from inside or after it.
        if (!whole.events.empty() || !pieces.events.empty()) {
            std::abort();
        }
    }
    return 0;
}
