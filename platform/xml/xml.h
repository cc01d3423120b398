// One XML reader for every document that comes from outside (tables of
// contents, installer metadata). It hands on elements, attributes and text.
// A document type declaration is read when everything it declares is in the
// document itself: element, attribute-list and notation declarations are
// accepted (an attribute's declared default is handed on as XML says). The
// reader refuses, before any element is handed on:
//  - an entity declaration, general or parameter, internal or external: no
//    entity is ever defined, so none is expanded (no "billion laughs") and
//    none is fetched;
//  - an external subset (a SYSTEM or PUBLIC identifier on the declaration)
//    and a parameter-entity reference: they stand for declarations held
//    outside the document, which the reader never opens or fetches, so what
//    the document says (an attribute with a reference to an entity declared
//    there) could not be known;
//  - more attribute defaults than a document needs (each one is copied into
//    every start tag of its element).
// Nothing outside the document is ever opened: parameter-entity parsing is
// off and no external entity is loaded. The parser's own memory is held to a
// budget. What a refusal means to the caller, and the words for it, are the
// caller's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace xml {

// What a parse hands on, in document order. Names and attributes are as in
// the document (no namespace processing); `attributes` is name, value, ...,
// null.
class Handler {
  public:
    virtual ~Handler() = default;
    virtual void startElement(const char* name, const char** attributes) = 0;
    virtual void endElement(const char* /*name*/) {}
    virtual void characters(const char* /*text*/, size_t /*length*/) {}
};

// Why a parse ended before its end.
enum class Refusal {
    None,
    ExternalDeclarations,  // an external subset or a parameter-entity reference
    EntityDeclaration,     // it declares entities
    Memory,                // more than the budget (memory, or attribute defaults)
    Syntax,                // it is not well-formed (syntaxError() says how)
    Stopped,               // a handler called stop()
    Unreadable,            // parseFile could not open or read the file
};

class Parser {
  public:
    static constexpr size_t kDefaultMemoryLimit = size_t{16} << 20;
    // Attribute defaults a document may declare in all.
    static constexpr size_t kMaxAttributeDefaults = 64;

    explicit Parser(Handler& handler, size_t memoryLimit = kDefaultMemoryLimit);
    ~Parser();
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    // False when the parser could not be set up; every parse then fails.
    [[nodiscard]] bool ready() const;

    // Room for `length` bytes of the document, to be filled and then handed
    // to parseBuffer; null on failure (refusal() says why).
    [[nodiscard]] void* buffer(size_t length);
    // Parses `length` bytes placed in buffer(); `final` with the last piece.
    [[nodiscard]] bool parseBuffer(size_t length, bool final);
    // Parses `length` bytes from `data` (any length).
    [[nodiscard]] bool parse(const char* data, size_t length, bool final);
    // Parses the whole file at `path`, which must not be a symbolic link.
    [[nodiscard]] bool parseFile(const std::string& path);

    // From a handler: ends the parse, which then fails with Refusal::Stopped.
    void stop();

    // Why the last parse failed (None while none has).
    [[nodiscard]] Refusal refusal() const;
    // For Refusal::Syntax: the parser's description and where it was found.
    [[nodiscard]] std::string syntaxError() const;
    [[nodiscard]] uint64_t line() const;
    [[nodiscard]] uint64_t column() const;
    [[nodiscard]] size_t memoryLimit() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace xml
