// Compiler and evaluator for the code-signing requirement language.
//
// A requirement is a Boolean expression over facts about a piece of signed code:
// its signing identifier, its certificate chain and its information dictionary.
// `compile` turns the text into a `Requirement`; `Requirement::evaluate` judges a
// `CodeFacts` against it. The text is treated as hostile input: any byte string
// gives either a requirement or an error text, in time linear in its length, and
// nesting is capped so that neither compiling nor evaluating can exhaust the stack.
//
// Language accepted (keywords are lower case and reserved: quote them to use them
// as strings):
//
//   requirement := expr
//   expr        := term { "or" term }
//   term        := factor { "and" factor }
//   factor      := ("!" | "not") factor | "(" expr ")" | clause
//   clause      := "always" | "true" | "never" | "false"
//                | "identifier" ["=" | "=="] string
//                | "anchor" "apple" ["generic"]
//                | ("certificate" | "cert") position cert-test
//                | "anchor" cert-test                      (same as certificate root)
//                | "info" "[" key "]" match
//   position    := "leaf" | "root" | N | -N   (N from the leaf, 0 = leaf; -N from the
//                                              root, -1 = root)
//   cert-test   := "[" field "]" match
//                | ("=" | "==") H"<40 hex digits>"   (SHA-1 of the certificate's DER)
//   field       := subject.<attribute>   (CN, OU, O, C, L, ST, emailAddress, or any other
//                                          attribute name the facts may carry)
//                | field.<OID>           (an X.509 extension; exists/absent only)
//   match       := <nothing> | "exists" | "absent"
//                | ("=" | "==") ["*"] string ["*"]
//                | ("<" | "<=" | ">" | ">=") string
//   key, field  := a string; inside the brackets keywords need no quotes
//   string      := "quoted, with \" and \\ (a backslash takes the next byte as is)"
//                | bare: letters, digits, '.', '-', '_', '/'
//
// N is at most 10000. "identifier" matches exactly (no wildcards).
//
// Comments /* ... */ and // to the end of the line are white space.
// Precedence: "!"/"not" binds tightest, then "and", then "or".
//
// Matching:
// - "=" is exact, byte for byte. A "*" before the value makes it "ends with", after it
//   "begins with", on both sides "contains" (the "*" stands outside the quotes:
//   = "Developer ID Application: "*).
// - An empty match or "exists" is true when the value is present, "absent" when it is
//   not. A certificate position past either end of the chain fails every test, "absent"
//   included.
// - "<", "<=", ">", ">=" use `compareNumerically` below.
// - "anchor apple" holds when the chain's root is the compiled-in Apple root itself;
//   "anchor apple generic" when the chain ends at a compiled-in anchor (anchorApple
//   implies it).
// - field.<OID> and H"..." look at CertificateFacts::der; with no or unreadable DER they
//   are false (for "absent" too: an unreadable certificate proves nothing).
//
// Not supported: each of these gives the compile error "... is not supported": cdhash,
// entitlement, platform, notarized, legacy, "trusted" (anchor trusted, certificate N
// trusted), requirement sets (designated/library/host/guest =>), certificate files
// (anchor = "/path"), policy.<OID>, and field.<OID> with a value match.
//
// Errors start with "<line>:<column>: " (both 1-based, the column in bytes) and say what
// was expected and what was found, for example
//   1:11: expected a string after "identifier", found end of text
//   1:1: unbalanced parenthesis: this '(' is never closed
//   1:19: missing operand after "and": found end of text
//   1:12: unterminated string: the '"' here is never closed
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/version.h"

namespace csreq {

struct CertificateFacts {
    // Subject attributes by their short name: "CN", "OU", "O", "C", "L", "ST",
    // "emailAddress", ...
    std::map<std::string, std::string> subject;
    // The certificate as DER (for H"..." hashes and field.<OID> tests).
    std::vector<uint8_t> der;
};

struct CodeFacts {
    std::string identifier;
    std::vector<CertificateFacts> chain;  // leaf first, root last
    bool anchorApple = false;             // the root is the compiled-in Apple root itself
    bool anchorAppleGeneric = false;      // the chain ends at a compiled-in anchor
    // String values of the executable's information dictionary.
    std::map<std::string, std::string> info;
};

namespace detail {
struct Program;
}

struct CompileResult;

// A compiled requirement. Immutable; safe to evaluate from several threads at once.
class Requirement {
  public:
    // True when the facts satisfy the requirement.
    [[nodiscard]] bool evaluate(const CodeFacts& facts) const;

    // Canonical rendering: one line, single spaces, strings quoted unless they are
    // plain words (a letter followed by letters and digits), parentheses only where
    // needed, "exists" written as the comment "/* exists */". It compiles back to an
    // equal requirement with the same rendering.
    [[nodiscard]] std::string text() const;

    ~Requirement();
    Requirement(const Requirement&) = delete;
    Requirement& operator=(const Requirement&) = delete;

  private:
    friend CompileResult compile(std::string_view text);
    explicit Requirement(std::unique_ptr<const detail::Program> program);
    std::unique_ptr<const detail::Program> program_;
};

// Exactly one of the two is set.
struct CompileResult {
    std::shared_ptr<const Requirement> requirement;
    std::string error;
};

// Deepest nesting of parentheses and negations that `compile` accepts.
inline constexpr std::size_t kMaxNesting = 100;

[[nodiscard]] CompileResult compile(std::string_view text);

// The ordering used by "<", "<=", ">" and ">=" (the numeric string comparison of the
// original platform): both strings are walked from the start; where both have an
// ASCII digit, the whole runs of digits are compared by numeric value (any length,
// leading zeros ignored, so "007" equals "7"), and when the values are equal the walk
// goes on after both runs; anywhere else single bytes are compared as unsigned
// values (case matters; '.' sorts before the digits and '-' before '.'). When one
// string ends first it is the smaller ("5.5" < "5.5.0"), when both end together they
// are equal. Thus "5.16.0.124" > "5.5.0", "5.4.9" < "5.5.0", "10" > "9",
// "5.5.00" == "5.5.0". Only ASCII digits count as digits, and bytes of UTF-8 sort by
// code point. Returns <0, 0 or >0.
// The one version order of the code base (platform/base/version.h).
using base::compareNumerically;

}  // namespace csreq
