#include "platform/xml/xml.h"

#include <expat.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "platform/base/fd.h"

namespace xml {
namespace {

// ---- the parser's memory budget ----

// expat's allocation functions take no context, so the budget of the parser
// at work is found through the thread: every call into expat below runs with
// its parser's budget installed.
struct Budget {
    size_t used = 0;
    size_t limit = 0;
    bool exceeded = false;
};
thread_local Budget* t_budget = nullptr;

struct alignas(alignof(std::max_align_t)) BlockHeader {
    size_t size;
};

void* budgetMalloc(size_t n) {
    Budget* b = t_budget;
    if (b != nullptr && n > b->limit - b->used) {
        b->exceeded = true;
        return nullptr;
    }
    if (n > SIZE_MAX - sizeof(BlockHeader)) {
        return nullptr;
    }
    auto* h = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + n));
    if (h == nullptr) {
        return nullptr;
    }
    h->size = n;
    if (b != nullptr) {
        b->used += n;
    }
    return h + 1;
}

void budgetFree(void* p) {
    if (p == nullptr) {
        return;
    }
    auto* h = static_cast<BlockHeader*>(p) - 1;
    if (Budget* b = t_budget) {
        b->used -= std::min(h->size, b->used);
    }
    std::free(h);
}

void* budgetRealloc(void* p, size_t n) {
    if (p == nullptr) {
        return budgetMalloc(n);
    }
    auto* h = static_cast<BlockHeader*>(p) - 1;
    const size_t old = h->size;
    Budget* b = t_budget;
    if (b != nullptr && n > old && n - old > b->limit - b->used) {
        b->exceeded = true;
        return nullptr;
    }
    if (n > SIZE_MAX - sizeof(BlockHeader)) {
        return nullptr;
    }
    auto* q = static_cast<BlockHeader*>(std::realloc(h, sizeof(BlockHeader) + n));
    if (q == nullptr) {
        return nullptr;
    }
    q->size = n;
    if (b != nullptr) {
        b->used = b->used - std::min(old, b->used) + n;
    }
    return q + 1;
}

const XML_Memory_Handling_Suite kBudgetSuite = {budgetMalloc, budgetRealloc, budgetFree};

class BudgetScope {
  public:
    explicit BudgetScope(Budget* b) : saved_(t_budget) { t_budget = b; }
    ~BudgetScope() { t_budget = saved_; }
    BudgetScope(const BudgetScope&) = delete;
    BudgetScope& operator=(const BudgetScope&) = delete;

  private:
    Budget* saved_;
};

constexpr size_t kMaxPiece = size_t{1} << 20;  // expat takes an int length

}  // namespace

struct Parser::Impl {
    Handler* handler = nullptr;
    XML_Parser parser = nullptr;
    Budget budget;
    Refusal refusal = Refusal::None;

    void refuse(Refusal why) {
        if (refusal == Refusal::None) {
            refusal = why;
            XML_StopParser(parser, XML_FALSE);
        }
    }

    // After expat reported an error: why, unless a refusal already said so.
    void noteError() {
        if (refusal != Refusal::None) {
            return;
        }
        refusal = budget.exceeded ? Refusal::Memory : Refusal::Syntax;
    }

    static void XMLCALL onStart(void* ud, const XML_Char* name, const XML_Char** atts) {
        auto* self = static_cast<Impl*>(ud);
        if (self->refusal == Refusal::None) {
            self->handler->startElement(name, atts);
        }
    }
    static void XMLCALL onEnd(void* ud, const XML_Char* name) {
        auto* self = static_cast<Impl*>(ud);
        if (self->refusal == Refusal::None) {
            self->handler->endElement(name);
        }
    }
    static void XMLCALL onText(void* ud, const XML_Char* s, int len) {
        auto* self = static_cast<Impl*>(ud);
        if (self->refusal == Refusal::None && len > 0) {
            self->handler->characters(s, static_cast<size_t>(len));
        }
    }
    // A document type declaration is read; what it may declare is checked
    // declaration by declaration below. An external identifier is refused
    // here for a standalone document (expat reports it to onNotStandalone
    // otherwise, before this call).
    static void XMLCALL onDoctype(void* ud, const XML_Char*, const XML_Char* systemId,
                                  const XML_Char*, int) {
        if (systemId != nullptr) {
            static_cast<Impl*>(ud)->refuse(Refusal::ExternalDeclarations);
        }
    }
    static void XMLCALL onEntityDecl(void* ud, const XML_Char*, int, const XML_Char*, int,
                                     const XML_Char*, const XML_Char*, const XML_Char*,
                                     const XML_Char*) {
        static_cast<Impl*>(ud)->refuse(Refusal::EntityDeclaration);
    }
    // Called for a document that is not standalone when it names an external
    // subset or refers to a parameter entity: declarations that would come
    // from outside. They are never read; the document is refused.
    static int XMLCALL onNotStandalone(void* ud) {
        static_cast<Impl*>(ud)->refuse(Refusal::ExternalDeclarations);
        return XML_STATUS_ERROR;
    }
    // Unreachable while entity declarations are refused; should it ever be
    // reached, nothing is fetched.
    static int XMLCALL onExternalEntityRef(XML_Parser parser, const XML_Char*, const XML_Char*,
                                           const XML_Char*, const XML_Char*) {
        static_cast<Impl*>(XML_GetUserData(parser))->refuse(Refusal::ExternalDeclarations);
        return XML_STATUS_ERROR;
    }
    // Each declared default is added to every start tag of its element that
    // lacks the attribute: a few declarations and many short tags would hand
    // on far more than the document holds.
    static void XMLCALL onAttlistDecl(void* ud, const XML_Char*, const XML_Char*, const XML_Char*,
                                      const XML_Char* dflt, int) {
        auto* self = static_cast<Impl*>(ud);
        if (dflt != nullptr && ++self->attributeDefaults > kMaxAttributeDefaults) {
            self->refuse(Refusal::Memory);
        }
    }

    size_t attributeDefaults = 0;
};

Parser::Parser(Handler& handler, size_t memoryLimit) : impl_(std::make_unique<Impl>()) {
    impl_->handler = &handler;
    impl_->budget.limit = memoryLimit;
    BudgetScope scope(&impl_->budget);
    impl_->parser = XML_ParserCreate_MM(nullptr, &kBudgetSuite, nullptr);  // no namespaces
    if (impl_->parser == nullptr) {
        return;
    }
    XML_SetUserData(impl_->parser, impl_.get());
    XML_SetElementHandler(impl_->parser, &Impl::onStart, &Impl::onEnd);
    XML_SetCharacterDataHandler(impl_->parser, &Impl::onText);
    XML_SetStartDoctypeDeclHandler(impl_->parser, &Impl::onDoctype);
    XML_SetEntityDeclHandler(impl_->parser, &Impl::onEntityDecl);
    XML_SetNotStandaloneHandler(impl_->parser, &Impl::onNotStandalone);
    XML_SetExternalEntityRefHandler(impl_->parser, &Impl::onExternalEntityRef);
    XML_SetAttlistDeclHandler(impl_->parser, &Impl::onAttlistDecl);
    // Never read the external subset or parameter entities, whatever the
    // document says.
    XML_SetParamEntityParsing(impl_->parser, XML_PARAM_ENTITY_PARSING_NEVER);
}

Parser::~Parser() {
    if (impl_->parser != nullptr) {
        BudgetScope scope(&impl_->budget);
        XML_ParserFree(impl_->parser);
    }
}

bool Parser::ready() const {
    return impl_->parser != nullptr;
}

void* Parser::buffer(size_t length) {
    if (impl_->parser == nullptr || impl_->refusal != Refusal::None || length > INT32_MAX) {
        return nullptr;
    }
    BudgetScope scope(&impl_->budget);
    void* b = XML_GetBuffer(impl_->parser, static_cast<int>(length));
    if (b == nullptr) {
        impl_->noteError();
    }
    return b;
}

bool Parser::parseBuffer(size_t length, bool final) {
    if (impl_->parser == nullptr || impl_->refusal != Refusal::None || length > INT32_MAX) {
        return false;
    }
    BudgetScope scope(&impl_->budget);
    if (XML_ParseBuffer(impl_->parser, static_cast<int>(length), final ? XML_TRUE : XML_FALSE) !=
        XML_STATUS_OK) {
        impl_->noteError();
        return false;
    }
    return impl_->refusal == Refusal::None;
}

bool Parser::parse(const char* data, size_t length, bool final) {
    if (impl_->parser == nullptr || impl_->refusal != Refusal::None) {
        return false;
    }
    BudgetScope scope(&impl_->budget);
    do {
        const size_t piece = std::min(length, kMaxPiece);
        const bool last = final && piece == length;
        if (XML_Parse(impl_->parser, data, static_cast<int>(piece), last ? XML_TRUE : XML_FALSE) !=
            XML_STATUS_OK) {
            impl_->noteError();
            return false;
        }
        data += piece;
        length -= piece;
    } while (length > 0);
    return impl_->refusal == Refusal::None;
}

bool Parser::parseFile(const std::string& path) {
    const base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) {
        impl_->refusal = Refusal::Unreadable;
        return false;
    }
    char chunk[65536];
    for (;;) {
        const ssize_t n = base::retryOnEintr([&] { return ::read(fd.get(), chunk, sizeof chunk); });
        if (n < 0) {
            impl_->refusal = Refusal::Unreadable;
            return false;
        }
        if (!parse(chunk, static_cast<size_t>(n), n == 0)) {
            return false;
        }
        if (n == 0) {
            return true;
        }
    }
}

void Parser::stop() {
    impl_->refuse(Refusal::Stopped);
}

Refusal Parser::refusal() const {
    return impl_->refusal;
}

std::string Parser::syntaxError() const {
    if (impl_->parser == nullptr) {
        return "no parser";
    }
    const char* text = XML_ErrorString(XML_GetErrorCode(impl_->parser));
    return text != nullptr ? text : "unknown error";
}

namespace {

// Expat 2.9 added 64-bit positions and deprecated the older calls, which
// wrap around where XML_Size is 32 bits wide.
#if XML_MAJOR_VERSION > 2 || (XML_MAJOR_VERSION == 2 && XML_MINOR_VERSION >= 9)
uint64_t currentLine(XML_Parser p) {
    return XML_GetCurrentLineNumber64(p);
}
uint64_t currentColumn(XML_Parser p) {
    return XML_GetCurrentColumnNumber64(p);
}
#else
uint64_t currentLine(XML_Parser p) {
    return XML_GetCurrentLineNumber(p);
}
uint64_t currentColumn(XML_Parser p) {
    return XML_GetCurrentColumnNumber(p);
}
#endif

}  // namespace

uint64_t Parser::line() const {
    return impl_->parser == nullptr ? 0 : currentLine(impl_->parser);
}

uint64_t Parser::column() const {
    return impl_->parser == nullptr ? 0 : currentColumn(impl_->parser);
}

size_t Parser::memoryLimit() const {
    return impl_->budget.limit;
}

}  // namespace xml
