#include "platform/csreq/requirement.h"

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/security/owners.h"

namespace csreq {

namespace detail {

enum class Op : uint8_t {
    Always,
    Never,
    Identifier,
    AnchorApple,
    AnchorAppleGeneric,
    CertSubject,    // key = attribute name
    CertExtension,  // key = OID text; match is Exists or Absent
    CertHash,       // value = 20 raw bytes of SHA-1
    Info,           // key = info dictionary key
    And,
    Or,
    Not,
};

enum class MatchOp : uint8_t {
    Exists,
    Absent,
    Equal,
    BeginsWith,
    EndsWith,
    Contains,
    Less,
    LessEqual,
    Greater,
    GreaterEqual,
};

struct Node {
    Op op = Op::Always;
    MatchOp match = MatchOp::Exists;
    int slot = 0;  // certificate position: >= 0 from the leaf, < 0 from the root
    std::string key;
    std::string value;
    std::vector<uint32_t> children;  // And, Or (two or more), Not (one)
};

// Nodes are stored flat; children always precede their parent, the root is last.
// Destroying a program is therefore never recursive, however the text was shaped.
struct Program {
    std::vector<Node> nodes;
    uint32_t root = 0;
};

}  // namespace detail

using detail::MatchOp;
using detail::Node;
using detail::Op;
using detail::Program;

namespace {

// Keywords of the language, reserved in value positions (a bare word that is one of
// these must be quoted to be taken as a string).
constexpr std::array<std::string_view, 28> kKeywords = {
    "identifier",  "anchor",  "apple",   "generic", "certificate", "cert",      "info",
    "entitlement", "cdhash",  "trusted", "always",  "never",       "true",      "false",
    "and",         "or",      "not",     "exists",  "absent",      "leaf",      "root",
    "designated",  "library", "host",    "guest",   "platform",    "notarized", "legacy",
};

bool isKeyword(std::string_view w) {
    return std::find(kKeywords.begin(), kKeywords.end(), w) != kKeywords.end();
}

bool isWordByte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_' || c == '/';
}

bool isDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}

bool isHexDigit(unsigned char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hexValue(unsigned char c) {
    if (isDigit(c)) {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return c - 'A' + 10;
}

// A short, printable rendering of outside text for an error message.
std::string excerpt(std::string_view s) {
    constexpr std::size_t kMax = 40;
    std::string out;
    for (std::size_t i = 0; i < s.size() && i < kMax; ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\') {
            static const char* hex = "0123456789abcdef";
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else {
                out += "\\x";
                out += hex[c >> 4];
                out += hex[c & 15];
            }
        } else {
            out += static_cast<char>(c);
        }
    }
    if (s.size() > kMax) {
        out += "...";
    }
    return out;
}

enum class Tok {
    End,
    Word,
    String,
    Hash,
    LParen,
    RParen,
    LBracket,
    RBracket,
    Star,
    Bang,
    Eq,
    Lt,
    Le,
    Gt,
    Ge,
    Arrow,
    Error,
};

struct Token {
    Tok kind = Tok::End;
    std::size_t offset = 0;  // first byte in the text
    std::size_t length = 0;  // bytes in the text
    std::string text;        // Word, String: the string; Hash: raw bytes; Error: message
};

class Lexer {
  public:
    explicit Lexer(std::string_view text) : text_(text) {}

    Token next() {
        Token t;
        if (!skipBlank(t)) {
            return t;
        }
        t.offset = pos_;
        if (pos_ >= text_.size()) {
            t.kind = Tok::End;
            return t;
        }
        auto c = static_cast<unsigned char>(text_[pos_]);
        auto peekAt = [&](std::size_t k) -> int {
            return pos_ + k < text_.size() ? static_cast<unsigned char>(text_[pos_ + k]) : -1;
        };
        switch (c) {
            case '(':
                return single(t, Tok::LParen);
            case ')':
                return single(t, Tok::RParen);
            case '[':
                return single(t, Tok::LBracket);
            case ']':
                return single(t, Tok::RBracket);
            case '*':
                return single(t, Tok::Star);
            case '!':
                return single(t, Tok::Bang);
            case '=':
                if (peekAt(1) == '=') {
                    return pair(t, Tok::Eq);
                }
                if (peekAt(1) == '>') {
                    return pair(t, Tok::Arrow);
                }
                return single(t, Tok::Eq);
            case '<':
                return peekAt(1) == '=' ? pair(t, Tok::Le) : single(t, Tok::Lt);
            case '>':
                return peekAt(1) == '=' ? pair(t, Tok::Ge) : single(t, Tok::Gt);
            case '"':
                return quoted(t);
            default:
                break;
        }
        if (c == 'H' && peekAt(1) == '"') {
            return hash(t);
        }
        if (isWordByte(c)) {
            std::size_t end = pos_;
            while (end < text_.size() && isWordByte(static_cast<unsigned char>(text_[end]))) {
                ++end;
            }
            t.kind = Tok::Word;
            t.text.assign(text_.substr(pos_, end - pos_));
            t.length = end - pos_;
            pos_ = end;
            return t;
        }
        t.kind = Tok::Error;
        t.length = 1;
        t.text = "unexpected character '" + excerpt(text_.substr(pos_, 1)) + "'";
        return t;
    }

  private:
    // Skips white space and comments; false (with t an Error) on an unterminated comment.
    bool skipBlank(Token& t) {
        while (pos_ < text_.size()) {
            char c = text_[pos_];
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
                ++pos_;
            } else if (c == '/' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '*') {
                std::size_t close = text_.find("*/", pos_ + 2);
                if (close == std::string_view::npos) {
                    t.kind = Tok::Error;
                    t.offset = pos_;
                    t.length = 2;
                    t.text = "unterminated comment: '/*' is never closed by '*/'";
                    return false;
                }
                pos_ = close + 2;
            } else if (c == '/' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '/') {
                std::size_t eol = text_.find('\n', pos_);
                pos_ = eol == std::string_view::npos ? text_.size() : eol + 1;
            } else {
                break;
            }
        }
        return true;
    }

    Token single(Token& t, Tok kind) {
        t.kind = kind;
        t.length = 1;
        pos_ += 1;
        return std::move(t);
    }

    Token pair(Token& t, Tok kind) {
        t.kind = kind;
        t.length = 2;
        pos_ += 2;
        return std::move(t);
    }

    Token quoted(Token& t) {
        std::size_t i = pos_ + 1;
        while (i < text_.size()) {
            char c = text_[i];
            if (c == '"') {
                t.kind = Tok::String;
                t.length = i + 1 - pos_;
                pos_ = i + 1;
                return std::move(t);
            }
            if (c == '\\') {
                if (i + 1 >= text_.size()) {
                    break;
                }
                t.text += text_[i + 1];
                i += 2;
            } else {
                std::size_t stop = text_.find_first_of("\"\\", i);
                if (stop == std::string_view::npos) {
                    stop = text_.size();
                }
                t.text.append(text_.substr(i, stop - i));
                i = stop;
            }
        }
        t.kind = Tok::Error;
        t.length = 1;
        t.text = "unterminated string: the '\"' here is never closed";
        t.offset = pos_;
        return std::move(t);
    }

    Token hash(Token& t) {
        std::size_t i = pos_ + 2;
        std::string digits;
        while (i < text_.size() && text_[i] != '"') {
            auto c = static_cast<unsigned char>(text_[i]);
            if (!isHexDigit(c)) {
                t.kind = Tok::Error;
                t.offset = i;
                t.length = 1;
                t.text = "invalid character '" + excerpt(text_.substr(i, 1)) +
                         "' in a hash constant (expected hexadecimal digits)";
                return std::move(t);
            }
            digits += static_cast<char>(c);
            ++i;
        }
        if (i >= text_.size()) {
            t.kind = Tok::Error;
            t.length = 2;
            t.text = "unterminated hash constant: the 'H\"' here is never closed";
            return std::move(t);
        }
        if (digits.size() % 2 != 0) {
            t.kind = Tok::Error;
            t.length = i + 1 - pos_;
            t.text = "a hash constant needs an even number of hexadecimal digits, found " +
                     std::to_string(digits.size());
            return std::move(t);
        }
        for (std::size_t k = 0; k < digits.size(); k += 2) {
            t.text += static_cast<char>(hexValue(static_cast<unsigned char>(digits[k])) * 16 +
                                        hexValue(static_cast<unsigned char>(digits[k + 1])));
        }
        t.kind = Tok::Hash;
        t.length = i + 1 - pos_;
        pos_ = i + 1;
        return std::move(t);
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

class Parser {
  public:
    explicit Parser(std::string_view text) : text_(text), lexer_(text) { advance(); }

    // The program, or nullopt with error() set.
    std::optional<Program> run() {
        if (cur_.kind == Tok::End) {
            fail(cur_,
                 "empty requirement: expected an expression such as identifier, "
                 "anchor, certificate or info");
            return std::nullopt;
        }
        auto root = parseExpression();
        if (!root) {
            return std::nullopt;
        }
        program_.root = *root;
        return std::move(program_);
    }

    const std::string& error() const { return error_; }

  private:
    using Index = std::optional<uint32_t>;

    void advance() {
        if (cur_.kind == Tok::Error) {
            return;  // never read past a lexical error
        }
        cur_ = lexer_.next();
    }

    bool isWord(std::string_view w) const { return cur_.kind == Tok::Word && cur_.text == w; }

    std::string position(std::size_t offset) const {
        std::size_t line = 1;
        std::size_t lineStart = 0;
        for (std::size_t i = 0; i < offset && i < text_.size(); ++i) {
            if (text_[i] == '\n') {
                ++line;
                lineStart = i + 1;
            }
        }
        return std::to_string(line) + ":" + std::to_string(offset - lineStart + 1);
    }

    // Records the first error only; everything after it is noise.
    std::nullopt_t failAt(std::size_t offset, const std::string& message) {
        if (error_.empty()) {
            error_ = position(offset) + ": " + message;
        }
        return std::nullopt;
    }

    std::nullopt_t fail(const Token& at, const std::string& message) {
        return failAt(at.offset, message);
    }

    // What was found, for "expected X, found Y" (a lexical error speaks for itself).
    std::string describe(const Token& t) const {
        switch (t.kind) {
            case Tok::End:
                return "end of text";
            case Tok::Word:
                if (isKeyword(t.text)) {
                    return "keyword \"" + t.text + "\"";
                }
                return "\"" + excerpt(t.text) + "\"";
            case Tok::String:
                return "string \"" + excerpt(t.text) + "\"";
            case Tok::Hash:
                return "hash constant";
            case Tok::LParen:
                return "'('";
            case Tok::RParen:
                return "')'";
            case Tok::LBracket:
                return "'['";
            case Tok::RBracket:
                return "']'";
            case Tok::Star:
                return "'*'";
            case Tok::Bang:
                return "'!'";
            case Tok::Eq:
                return "'" + std::string(text_.substr(t.offset, t.length)) + "'";
            case Tok::Lt:
                return "'<'";
            case Tok::Le:
                return "'<='";
            case Tok::Gt:
                return "'>'";
            case Tok::Ge:
                return "'>='";
            case Tok::Arrow:
                return "'=>'";
            case Tok::Error:
                return t.text;
        }
        return "?";
    }

    // "expected X, found Y", or the lexical error when that is what stands there.
    std::nullopt_t expected(const std::string& what) {
        if (cur_.kind == Tok::Error) {
            return fail(cur_, cur_.text);
        }
        return fail(cur_, "expected " + what + ", found " + describe(cur_));
    }

    uint32_t add(Node node) {
        program_.nodes.push_back(std::move(node));
        return static_cast<uint32_t>(program_.nodes.size() - 1);
    }

    // The expression layer ("!", "not", "and", "or", parentheses) is parsed with explicit
    // stacks rather than by recursion, so no text can exhaust the thread's stack while
    // compiling; the nesting cap then bounds the depth of the tree that evaluating and
    // rendering walk recursively. Clauses themselves never nest.

    enum class Pending : uint8_t { Not, And, Or, Paren };
    struct PendingOp {
        Pending op;
        std::size_t offset;  // of its token
    };

    // Appends an operand to an "and" or "or" under construction, giving the operands of
    // a same-kind operand instead ("a and (b and c)" is "a and b and c").
    void adopt(std::vector<uint32_t>& children, Op op, uint32_t child) {
        const Node& c = program_.nodes[child];
        if (c.op == op) {
            children.insert(children.end(), c.children.begin(), c.children.end());
        } else {
            children.push_back(child);
        }
    }

    // Combines the two operands on top of the value stack. An "and" (or "or") on the left
    // that is still on the stack belongs to no parent yet, so it grows in place: a long
    // chain costs time linear in its length.
    void combine(std::vector<uint32_t>& values, Op op) {
        uint32_t right = values.back();
        values.pop_back();
        uint32_t left = values.back();
        if (program_.nodes[left].op == op) {
            std::vector<uint32_t> children = std::move(program_.nodes[left].children);
            adopt(children, op, right);
            program_.nodes[left].children = std::move(children);
            return;
        }
        Node node;
        node.op = op;
        adopt(node.children, op, left);
        adopt(node.children, op, right);
        values.back() = add(std::move(node));
    }

    // Applies the negations that wait directly above the operand just completed.
    void negate(std::vector<uint32_t>& values, std::vector<PendingOp>& ops) {
        while (!ops.empty() && ops.back().op == Pending::Not) {
            ops.pop_back();
            --depth_;
            Node node;
            node.op = Op::Not;
            node.children.push_back(values.back());
            values.back() = add(std::move(node));
        }
    }

    // Reduces pending "and"s (and "or"s too when orsAlso) down to the nearest '('.
    void reduce(std::vector<uint32_t>& values, std::vector<PendingOp>& ops, bool orsAlso) {
        while (!ops.empty() &&
               (ops.back().op == Pending::And || (orsAlso && ops.back().op == Pending::Or))) {
            combine(values, ops.back().op == Pending::And ? Op::And : Op::Or);
            ops.pop_back();
        }
    }

    std::nullopt_t failTooDeep(std::size_t offset) {
        return failAt(offset, "expression nested too deeply (more than " +
                                  std::to_string(kMaxNesting) +
                                  " levels of parentheses and negations)");
    }

    // requirement := expr END, with "!" binding tightest, then "and", then "or".
    Index parseExpression() {
        std::vector<uint32_t> values;
        std::vector<PendingOp> ops;
        std::string_view context;  // what the next operand follows, for messages
        for (;;) {
            // An operand: negations and '(' first, then one clause.
            if (cur_.kind == Tok::Bang || isWord("not") || cur_.kind == Tok::LParen) {
                bool paren = cur_.kind == Tok::LParen;
                if (++depth_ > kMaxNesting) {
                    return failTooDeep(cur_.offset);
                }
                ops.push_back({paren ? Pending::Paren : Pending::Not, cur_.offset});
                context = paren                    ? "after '('"
                          : cur_.kind == Tok::Bang ? "after '!'"
                                                   : "after \"not\"";
                advance();
                if (paren && cur_.kind == Tok::RParen) {
                    return expected("an expression inside '(' ')'");
                }
                continue;
            }
            auto clause = parseClause(context);
            if (!clause) {
                return std::nullopt;
            }
            values.push_back(*clause);
            negate(values, ops);
            // Then operators, closing parentheses, or the end.
            for (;;) {
                if (isWord("and")) {
                    reduce(values, ops, false);
                    ops.push_back({Pending::And, cur_.offset});
                    context = "after \"and\"";
                    advance();
                    break;
                }
                if (isWord("or")) {
                    reduce(values, ops, true);
                    ops.push_back({Pending::Or, cur_.offset});
                    context = "after \"or\"";
                    advance();
                    break;
                }
                reduce(values, ops, true);
                std::optional<std::size_t> open;
                if (!ops.empty()) {
                    open = ops.back().offset;  // necessarily a '('
                }
                if (cur_.kind == Tok::RParen) {
                    if (!open) {
                        return fail(cur_, "unbalanced parenthesis: this ')' has no matching '('");
                    }
                    ops.pop_back();
                    --depth_;
                    advance();
                    negate(values, ops);
                    continue;
                }
                if (open) {
                    return unclosed(*open);
                }
                if (cur_.kind != Tok::End) {
                    return expected("\"and\", \"or\" or the end of the requirement");
                }
                return values.back();
            }
        }
    }

    std::nullopt_t unclosed(std::size_t open) {
        if (cur_.kind == Tok::End) {
            return failAt(open, "unbalanced parenthesis: this '(' is never closed");
        }
        return expected("')' to close the '(' at " + position(open) + " (or \"and\", \"or\")");
    }

    // Everything that is neither a negation nor a parenthesis.
    Index parseClause(std::string_view context) {
        std::string ctx = context.empty() ? std::string() : " " + std::string(context);
        if (cur_.kind != Tok::Word) {
            if (cur_.kind == Tok::RParen && !ctx.empty()) {
                return fail(cur_, "missing operand" + ctx + ": found ')'");
            }
            if (cur_.kind == Tok::End && !ctx.empty()) {
                return fail(cur_, "missing operand" + ctx + ": found end of text");
            }
            return expected("an expression" + ctx);
        }
        const std::string& w = cur_.text;
        if (w == "always" || w == "true" || w == "never" || w == "false") {
            Node node;
            node.op = (w == "always" || w == "true") ? Op::Always : Op::Never;
            advance();
            return add(std::move(node));
        }
        if (w == "identifier") {
            return parseIdentifier();
        }
        if (w == "anchor") {
            return parseAnchor();
        }
        if (w == "certificate" || w == "cert") {
            return parseCertificate();
        }
        if (w == "info") {
            return parseInfo();
        }
        if (w == "designated" || w == "library" || w == "host" || w == "guest") {
            return fail(cur_, "requirement sets (\"" + w +
                                  " => ...\") are not supported: give a single requirement");
        }
        if (w == "cdhash" || w == "entitlement" || w == "platform" || w == "notarized" ||
            w == "legacy") {
            return fail(cur_, "\"" + w + "\" is not supported by this implementation");
        }
        if (cur_.kind == Tok::Word && (w == "and" || w == "or") && !ctx.empty()) {
            return fail(cur_, "missing operand" + ctx + ": found keyword \"" + w + "\"");
        }
        if (isKeyword(w)) {
            return expected("an expression" + ctx);
        }
        return fail(cur_, "unknown keyword \"" + excerpt(w) +
                              "\": expected identifier, anchor, certificate, info, always, "
                              "never, '!' or '('" +
                              ctx);
    }

    // A string value: quoted, or a bare word that is not a keyword.
    std::optional<std::string> parseString(const std::string& after) {
        if (cur_.kind == Tok::String || (cur_.kind == Tok::Word && !isKeyword(cur_.text))) {
            std::string s = std::move(cur_.text);
            advance();
            return s;
        }
        if (cur_.kind == Tok::Word) {
            fail(cur_, "expected a string " + after + ", found keyword \"" + cur_.text +
                           "\" (quote it to use it as a string)");
            return std::nullopt;
        }
        expected("a string " + after);
        return std::nullopt;
    }

    Index parseIdentifier() {
        advance();
        if (cur_.kind == Tok::Eq) {
            advance();
        }
        auto value = parseString("after \"identifier\"");
        if (!value) {
            return std::nullopt;
        }
        if (cur_.kind == Tok::Star) {
            return fail(cur_,
                        "wildcards are not allowed in an identifier (\"identifier\" "
                        "matches exactly)");
        }
        Node node;
        node.op = Op::Identifier;
        node.value = std::move(*value);
        return add(std::move(node));
    }

    Index parseAnchor() {
        advance();
        if (isWord("apple")) {
            advance();
            Node node;
            node.op = Op::AnchorApple;
            if (isWord("generic")) {
                advance();
                node.op = Op::AnchorAppleGeneric;
            }
            return add(std::move(node));
        }
        if (isWord("trusted")) {
            return fail(cur_, "\"anchor trusted\" is not supported by this implementation");
        }
        if (cur_.kind == Tok::LBracket || cur_.kind == Tok::Eq) {
            return parseCertTest(-1, "anchor");
        }
        return expected("\"apple\", '[' or '=' after \"anchor\"");
    }

    Index parseCertificate() {
        std::string keyword = cur_.text;
        advance();
        int slot = 0;
        if (isWord("leaf")) {
            slot = 0;
        } else if (isWord("root")) {
            slot = -1;
        } else if (cur_.kind == Tok::Word) {
            std::string_view digits = cur_.text;
            bool negative = !digits.empty() && digits.front() == '-';
            if (negative) {
                digits.remove_prefix(1);
            }
            if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) {
                    return isDigit(static_cast<unsigned char>(c));
                })) {
                return expected("a certificate position (leaf, root, N or -N) after \"" + keyword +
                                "\"");
            }
            // Far beyond any real chain; keeps the number in range.
            constexpr int kMaxPosition = 10000;
            int n = 0;
            for (char c : digits) {
                n = n * 10 + (c - '0');
                if (n > kMaxPosition) {
                    return fail(cur_, "certificate position " + excerpt(cur_.text) +
                                          " is out of range (at most " +
                                          std::to_string(kMaxPosition) + ")");
                }
            }
            slot = negative ? -n : n;
            if (negative && n == 0) {
                return fail(cur_,
                            "certificate position -0 is not valid: use 0 or leaf for "
                            "the leaf, -1 or root for the root");
            }
        } else {
            return expected("a certificate position (leaf, root, N or -N) after \"" + keyword +
                            "\"");
        }
        std::string where = std::string(text_.substr(cur_.offset, cur_.length));
        advance();
        if (isWord("trusted")) {
            return fail(cur_,
                        "\"certificate ... trusted\" is not supported by this "
                        "implementation");
        }
        return parseCertTest(slot, keyword + " " + where);
    }

    // After the certificate: "[field] match" or "= H"..."".
    Index parseCertTest(int slot, const std::string& what) {
        if (cur_.kind == Tok::Eq) {
            advance();
            if (cur_.kind == Tok::String || cur_.kind == Tok::Word) {
                return fail(cur_,
                            "certificate files are not supported: compare the "
                            "certificate with H\"<SHA-1 in hex>\"");
            }
            if (cur_.kind != Tok::Hash) {
                return expected("a hash constant H\"...\" after \"" + what + " =\"");
            }
            if (cur_.text.size() != 20) {
                return fail(cur_,
                            "a certificate hash must be a SHA-1 of 40 hexadecimal "
                            "digits, found " +
                                std::to_string(cur_.text.size() * 2));
            }
            Node node;
            node.op = Op::CertHash;
            node.slot = slot;
            node.value = std::move(cur_.text);
            advance();
            return add(std::move(node));
        }
        if (cur_.kind != Tok::LBracket) {
            return expected("'[' or '=' after \"" + what + "\"");
        }
        Token fieldTok;
        auto field = parseBracketKey(what, fieldTok);
        if (!field) {
            return std::nullopt;
        }
        Node node;
        node.slot = slot;
        std::string_view f = *field;
        if (f.starts_with("subject.") && f.size() > 8) {
            node.op = Op::CertSubject;
            node.key = std::string(f.substr(8));
        } else if (f.starts_with("field.")) {
            node.op = Op::CertExtension;
            node.key = std::string(f.substr(6));
            if (!validOid(node.key)) {
                return fail(fieldTok, "invalid OID \"" + excerpt(node.key) + "\" in \"field." +
                                          excerpt(node.key) +
                                          "\" (expected dotted decimal, such as 1.2.840.113635)");
            }
        } else if (f.starts_with("policy.")) {
            return fail(fieldTok, "certificate policy fields (\"" + excerpt(f) +
                                      "\") are not supported by this implementation");
        } else {
            return fail(fieldTok, "unknown certificate field \"" + excerpt(f) +
                                      "\": expected subject.<attribute> or field.<OID>");
        }
        Token matchTok = cur_;
        if (!parseMatch(node, what, f)) {
            return std::nullopt;
        }
        if (node.op == Op::CertExtension && node.match != MatchOp::Exists &&
            node.match != MatchOp::Absent) {
            return fail(matchTok,
                        "matching the value of a certificate extension is not "
                        "supported: only \"exists\" and \"absent\"");
        }
        return add(std::move(node));
    }

    Index parseInfo() {
        advance();
        if (cur_.kind != Tok::LBracket) {
            return expected("'[' after \"info\"");
        }
        Token keyTok;
        auto key = parseBracketKey("info", keyTok);
        if (!key) {
            return std::nullopt;
        }
        Node node;
        node.op = Op::Info;
        node.key = std::move(*key);
        if (!parseMatch(node, "info ", node.key)) {
            return std::nullopt;
        }
        return add(std::move(node));
    }

    // "[" key "]": a quoted string or any bare word (keywords too: brackets are unambiguous).
    std::optional<std::string> parseBracketKey(const std::string& what, Token& keyTok) {
        Token open = cur_;
        advance();
        if (cur_.kind != Tok::String && cur_.kind != Tok::Word) {
            expected("a key inside '[' ']' after \"" + what + "\"");
            return std::nullopt;
        }
        keyTok = cur_;
        std::string key = std::move(cur_.text);
        if (key.empty()) {
            fail(keyTok, "empty key inside '[' ']' after \"" + what + "\"");
            return std::nullopt;
        }
        advance();
        if (cur_.kind != Tok::RBracket) {
            expected("']' to close the '[' at " + position(open.offset));
            return std::nullopt;
        }
        advance();
        return key;
    }

    // The match after "<what>[<key>]".
    bool parseMatch(Node& node, std::string_view what, std::string_view key) {
        switch (cur_.kind) {
            case Tok::Eq: {
                std::string op = std::string(text_.substr(cur_.offset, cur_.length));
                advance();
                bool leading = false;
                if (cur_.kind == Tok::Star) {
                    leading = true;
                    advance();
                }
                auto value = parseString("after '" + op + (leading ? " *'" : "'"));
                if (!value) {
                    return false;
                }
                bool trailing = false;
                if (cur_.kind == Tok::Star) {
                    trailing = true;
                    advance();
                }
                node.value = std::move(*value);
                node.match = leading ? (trailing ? MatchOp::Contains : MatchOp::EndsWith)
                                     : (trailing ? MatchOp::BeginsWith : MatchOp::Equal);
                return true;
            }
            case Tok::Lt:
            case Tok::Le:
            case Tok::Gt:
            case Tok::Ge: {
                Tok k = cur_.kind;
                std::string op = std::string(text_.substr(cur_.offset, cur_.length));
                advance();
                auto value = parseString("after '" + op + "'");
                if (!value) {
                    return false;
                }
                if (cur_.kind == Tok::Star) {
                    fail(cur_, "wildcards are only allowed with '=', not with '" + op + "'");
                    return false;
                }
                node.value = std::move(*value);
                node.match = k == Tok::Lt   ? MatchOp::Less
                             : k == Tok::Le ? MatchOp::LessEqual
                             : k == Tok::Gt ? MatchOp::Greater
                                            : MatchOp::GreaterEqual;
                return true;
            }
            case Tok::End:
            case Tok::RParen:
                node.match = MatchOp::Exists;
                return true;
            case Tok::Word:
                if (cur_.text == "exists") {
                    advance();
                    node.match = MatchOp::Exists;
                    return true;
                }
                if (cur_.text == "absent") {
                    advance();
                    node.match = MatchOp::Absent;
                    return true;
                }
                if (cur_.text == "and" || cur_.text == "or") {
                    node.match = MatchOp::Exists;
                    return true;
                }
                break;
            default:
                break;
        }
        expected("'=', '<', '<=', '>', '>=', \"exists\" or \"absent\" after \"" +
                 std::string(what) + "[" + excerpt(key) + "]\"");
        return false;
    }

    static bool validOid(std::string_view oid) {
        // Dotted decimal with at least two arcs; OpenSSL has the final word.
        if (oid.empty() || oid.size() > 200 || oid.front() == '.' || oid.back() == '.') {
            return false;
        }
        std::size_t arcs = 1;
        for (std::size_t i = 0; i < oid.size(); ++i) {
            if (oid[i] == '.') {
                if (oid[i - 1] == '.') {
                    return false;
                }
                ++arcs;
            } else if (!isDigit(static_cast<unsigned char>(oid[i]))) {
                return false;
            }
        }
        if (arcs < 2) {
            return false;
        }
        return security::Asn1ObjectPtr(OBJ_txt2obj(std::string(oid).c_str(), 1)) != nullptr;
    }

    std::string_view text_;
    Lexer lexer_;
    Token cur_;
    std::size_t depth_ = 0;
    Program program_;
    std::string error_;
};

// ---- evaluation ----

const CertificateFacts* certificateAt(const CodeFacts& facts, int slot) {
    const auto n = static_cast<long>(facts.chain.size());
    long i = slot >= 0 ? slot : n + slot;
    if (i < 0 || i >= n) {
        return nullptr;
    }
    return &facts.chain[static_cast<std::size_t>(i)];
}

bool matches(const Node& node, const std::string* candidate) {
    switch (node.match) {
        case MatchOp::Exists:
            return candidate != nullptr;
        case MatchOp::Absent:
            return candidate == nullptr;
        default:
            break;
    }
    if (candidate == nullptr) {
        return false;
    }
    std::string_view c = *candidate;
    std::string_view v = node.value;
    switch (node.match) {
        case MatchOp::Equal:
            return c == v;
        case MatchOp::BeginsWith:
            return c.starts_with(v);
        case MatchOp::EndsWith:
            return c.ends_with(v);
        case MatchOp::Contains:
            return c.find(v) != std::string_view::npos;
        case MatchOp::Less:
            return compareNumerically(c, v) < 0;
        case MatchOp::LessEqual:
            return compareNumerically(c, v) <= 0;
        case MatchOp::Greater:
            return compareNumerically(c, v) > 0;
        case MatchOp::GreaterEqual:
            return compareNumerically(c, v) >= 0;
        default:
            return false;
    }
}

// 1 when the certificate has the extension, 0 when not, -1 when it cannot tell.
int hasExtension(const CertificateFacts& cert, const std::string& oid) {
    if (cert.der.empty()) {
        return -1;
    }
    const unsigned char* p = cert.der.data();
    security::X509Ptr x509(d2i_X509(nullptr, &p, static_cast<long>(cert.der.size())));
    security::Asn1ObjectPtr obj(OBJ_txt2obj(oid.c_str(), 1));
    if (!x509 || !obj) {
        return -1;
    }
    return X509_get_ext_by_OBJ(x509.get(), obj.get(), -1) >= 0 ? 1 : 0;
}

bool sha1Equals(const std::vector<uint8_t>& der, const std::string& expected) {
    if (der.empty()) {
        return false;
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(der.data(), der.size(), md, &len, EVP_sha1(), nullptr) != 1 ||
        len != expected.size()) {
        return false;
    }
    return std::memcmp(md, expected.data(), len) == 0;
}

bool evaluateNode(const Program& program, uint32_t index, const CodeFacts& facts) {
    const Node& node = program.nodes[index];
    switch (node.op) {
        case Op::Always:
            return true;
        case Op::Never:
            return false;
        case Op::Identifier:
            return facts.identifier == node.value;
        case Op::AnchorApple:
            return facts.anchorApple;
        case Op::AnchorAppleGeneric:
            return facts.anchorAppleGeneric || facts.anchorApple;
        case Op::CertSubject: {
            const CertificateFacts* cert = certificateAt(facts, node.slot);
            if (cert == nullptr) {
                return false;
            }
            auto it = cert->subject.find(node.key);
            return matches(node, it == cert->subject.end() ? nullptr : &it->second);
        }
        case Op::CertExtension: {
            const CertificateFacts* cert = certificateAt(facts, node.slot);
            if (cert == nullptr) {
                return false;
            }
            int has = hasExtension(*cert, node.key);
            if (has < 0) {
                return false;
            }
            return node.match == MatchOp::Absent ? has == 0 : has == 1;
        }
        case Op::CertHash: {
            const CertificateFacts* cert = certificateAt(facts, node.slot);
            return cert != nullptr && sha1Equals(cert->der, node.value);
        }
        case Op::Info: {
            auto it = facts.info.find(node.key);
            return matches(node, it == facts.info.end() ? nullptr : &it->second);
        }
        case Op::And:
            for (uint32_t child : node.children) {
                if (!evaluateNode(program, child, facts)) {
                    return false;
                }
            }
            return true;
        case Op::Or:
            for (uint32_t child : node.children) {
                if (evaluateNode(program, child, facts)) {
                    return true;
                }
            }
            return false;
        case Op::Not:
            return !evaluateNode(program, node.children.front(), facts);
    }
    return false;
}

// ---- rendering ----

std::string quoteIfNeeded(std::string_view s, bool bracketKey) {
    bool plain = !s.empty();
    if (plain) {
        auto c0 = static_cast<unsigned char>(s.front());
        plain = bracketKey ? isWordByte(c0) && c0 != '-' && c0 != '/'
                           : (c0 >= 'a' && c0 <= 'z') || (c0 >= 'A' && c0 <= 'Z');
    }
    for (std::size_t i = 0; plain && i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        plain = bracketKey ? isWordByte(c)
                           : (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || isDigit(c);
    }
    // A keyword must be quoted to be read as a value (inside brackets it need not be).
    if (plain && (bracketKey || !isKeyword(s))) {
        return std::string(s);
    }
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    out += '"';
    return out;
}

std::string renderSlot(int slot) {
    if (slot == 0) {
        return "leaf";
    }
    if (slot == -1) {
        return "root";
    }
    return std::to_string(slot);
}

std::string renderMatch(const Node& node) {
    std::string v = quoteIfNeeded(node.value, false);
    switch (node.match) {
        case MatchOp::Exists:
            return " /* exists */";
        case MatchOp::Absent:
            return " absent";
        case MatchOp::Equal:
            return " = " + v;
        case MatchOp::BeginsWith:
            return " = " + v + "*";
        case MatchOp::EndsWith:
            return " = *" + v;
        case MatchOp::Contains:
            return " = *" + v + "*";
        case MatchOp::Less:
            return " < " + v;
        case MatchOp::LessEqual:
            return " <= " + v;
        case MatchOp::Greater:
            return " > " + v;
        case MatchOp::GreaterEqual:
            return " >= " + v;
    }
    return "";
}

void render(const Program& program, uint32_t index, std::string& out) {
    const Node& node = program.nodes[index];
    static const char* hex = "0123456789abcdef";
    switch (node.op) {
        case Op::Always:
            out += "always";
            return;
        case Op::Never:
            out += "never";
            return;
        case Op::Identifier:
            out += "identifier " + quoteIfNeeded(node.value, false);
            return;
        case Op::AnchorApple:
            out += "anchor apple";
            return;
        case Op::AnchorAppleGeneric:
            out += "anchor apple generic";
            return;
        case Op::CertSubject:
            out += "certificate " + renderSlot(node.slot) + "[" +
                   quoteIfNeeded("subject." + node.key, true) + "]" + renderMatch(node);
            return;
        case Op::CertExtension:
            out += "certificate " + renderSlot(node.slot) + "[field." + node.key + "]" +
                   renderMatch(node);
            return;
        case Op::CertHash:
            out += "certificate " + renderSlot(node.slot) + " = H\"";
            for (char c : node.value) {
                auto b = static_cast<unsigned char>(c);
                out += hex[b >> 4];
                out += hex[b & 15];
            }
            out += "\"";
            return;
        case Op::Info:
            out += "info [" + quoteIfNeeded(node.key, true) + "]" + renderMatch(node);
            return;
        case Op::And:
        case Op::Or: {
            const char* sep = node.op == Op::And ? " and " : " or ";
            bool first = true;
            for (uint32_t child : node.children) {
                if (!first) {
                    out += sep;
                }
                first = false;
                // Operands of the same kind were merged when compiling, so only an
                // "or" inside an "and" needs parentheses.
                bool paren = node.op == Op::And && program.nodes[child].op == Op::Or;
                if (paren) {
                    out += "(";
                }
                render(program, child, out);
                if (paren) {
                    out += ")";
                }
            }
            return;
        }
        case Op::Not: {
            uint32_t child = node.children.front();
            Op cop = program.nodes[child].op;
            bool paren = cop == Op::And || cop == Op::Or;
            out += paren ? "!(" : "! ";
            render(program, child, out);
            if (paren) {
                out += ")";
            }
            return;
        }
    }
}

}  // namespace

Requirement::Requirement(std::unique_ptr<const detail::Program> program)
    : program_(std::move(program)) {}

Requirement::~Requirement() = default;

bool Requirement::evaluate(const CodeFacts& facts) const {
    return evaluateNode(*program_, program_->root, facts);
}

std::string Requirement::text() const {
    std::string out;
    render(*program_, program_->root, out);
    return out;
}

CompileResult compile(std::string_view text) {
    Parser parser(text);
    auto program = parser.run();
    CompileResult result;
    if (!program) {
        result.error =
            parser.error().empty() ? std::string("1:1: invalid requirement") : parser.error();
        return result;
    }
    result.requirement = std::shared_ptr<const Requirement>(
        new Requirement(std::make_unique<const Program>(std::move(*program))));
    return result;
}

}  // namespace csreq
