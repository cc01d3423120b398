// Read-only XAR reader behind libxar's C interface (see xar.h for the contract).
//
// Layout of an archive: a big-endian header (magic "xar!", header size, version,
// compressed and uncompressed table-of-contents lengths, checksum algorithm), the
// zlib-compressed table of contents (XML), then the heap. Every offset in the
// table of contents is relative to the start of the heap.
//
// Nothing read from the file is trusted: lengths and offsets are parsed strictly,
// added with overflow checks and compared with the file's size before any read,
// and every size is capped (archive.h). Reads use pread() on one descriptor,
// never mmap(), so a file that shrinks under us gives a failed read rather than
// a SIGBUS. The header and the table of contents are read by toc.cpp, member
// data by heap.cpp; this file is the C interface over them.

#include "platform/xar/xar.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/xar/archive.h"

// ---- archive objects ----

struct ErrorContext {
    std::string str;
    int err = 0;
};

void __xar_t::report(int32_t severity, int32_t instance, std::string text, int err) const {
    if (!handler) {
        return;
    }
    ErrorContext ctx{std::move(text), err};
    handler(severity, instance, &ctx, usrctx);
}

namespace {

using namespace xar_detail;

char* dup_string(const std::string& s) {
    char* p = static_cast<char*>(malloc(s.size() + 1));
    if (p) {
        memcpy(p, s.c_str(), s.size() + 1);
    }
    return p;
}

// The reason the calling thread's last xar_open() failed.

thread_local std::string t_open_error;

std::optional<std::string> member_path(const __xar_file_t* f, bool safe) {
    auto piece = [safe](const std::string& n) {
        if (!safe) {
            return n;
        }
        std::string s = n;
        for (char& c : s) {
            if (c == '/') {
                c = ':';
            }
        }
        return s;
    };
    if (!f->name) {
        return std::nullopt;
    }
    std::string p = piece(*f->name);
    for (const __xar_file_t* i = f->parent; i; i = i->parent) {
        if (!i->name) {
            // libxar's plain path gives up on an unnamed directory; its safe
            // path leaves the directory out.
            if (!safe) {
                return std::nullopt;
            }
            continue;
        }
        p = piece(*i->name) + "/" + p;
    }
    return p;
}

}  // namespace

// ---- the C interface ----

extern "C" {

xar_t xar_open(const char* file, int32_t flags) {
    t_open_error.clear();
    if (!file || flags != READ) {
        t_open_error = !file ? "No path" : "Only reading is supported";
        return nullptr;
    }
    try {
        std::string why;
        auto x = open_archive(file, &why);
        if (!x) {
            t_open_error = why.empty() ? "Unreadable archive" : why;
        }
        return x.release();
    } catch (...) {  // allocation failure on a hostile archive
        t_open_error = "Out of memory reading the archive";
        return nullptr;
    }
}

const char* xq_xar_open_error(void) {
    return t_open_error.c_str();
}

const char* xar_opt_get(xar_t x, const char* option) {
    if (!x || !option) {
        return nullptr;
    }
    if (std::strcmp(option, XAR_OPT_TOCCKSUM) == 0) {
        return x->cksum_style.c_str();
    }
    return nullptr;
}

int xar_close(xar_t x) {
    delete x;
    return 0;
}

void xar_register_errhandler(xar_t x, err_handler callback, void* usrctx) {
    if (!x) {
        return;
    }
    auto* m = const_cast<__xar_t*>(x);
    m->handler = callback;
    m->usrctx = usrctx;
}

const char* xar_err_get_string(xar_errctx_t ctx) {
    return ctx ? static_cast<ErrorContext*>(ctx)->str.c_str() : nullptr;
}

int xar_err_get_errno(xar_errctx_t ctx) {
    return ctx ? static_cast<ErrorContext*>(ctx)->err : 0;
}

int32_t xar_get_toc_checksum_type(xar_t x) {
    return x ? int32_t(x->cksum_alg) : XAR_CKSUM_NONE;
}

xar_iter_t xar_iter_new(void) {
    return new (std::nothrow) __xar_iter_t;
}

void xar_iter_free(xar_iter_t i) {
    delete i;
}

xar_file_t xar_file_first(xar_t x, xar_iter_t i) {
    if (!x || !i) {
        return nullptr;
    }
    auto* it = const_cast<__xar_iter_t*>(i);
    it->archive = x;
    it->pos = 0;
    return x->order.empty() ? nullptr : x->order[0];
}

xar_file_t xar_file_next(xar_iter_t i) {
    if (!i || !i->archive) {
        return nullptr;
    }
    auto* it = const_cast<__xar_iter_t*>(i);
    if (it->pos + 1 >= it->archive->order.size()) {
        it->pos = it->archive->order.size();
        return nullptr;
    }
    return it->archive->order[++it->pos];
}

char* xar_get_path(xar_file_t f) {
    if (!f) {
        return nullptr;
    }
    try {
        auto p = member_path(f, false);
        return p ? dup_string(*p) : nullptr;
    } catch (...) {
        return nullptr;
    }
}

char* xar_get_safe_path(xar_file_t f) {
    if (!f) {
        return nullptr;
    }
    try {
        auto p = member_path(f, true);
        return p ? dup_string(*p) : nullptr;
    } catch (...) {
        return nullptr;
    }
}

int32_t xar_prop_get(xar_file_t f, const char* key, const char** value) {
    if (!f || !key || !value) {
        return -1;
    }
    const std::optional<std::string>* prop = nullptr;
    if (std::strcmp(key, "type") == 0) {
        prop = &f->type;
    } else if (std::strcmp(key, "name") == 0) {
        prop = &f->name;
    }
    if (!prop || !*prop) {
        return -1;
    }
    *value = (*prop)->c_str();
    return 0;
}

int32_t xar_extract_tofile(xar_t x, xar_file_t f, const char* path) {
    if (!x || !f) {
        return -1;
    }
    try {
        return extract(x, f, path);
    } catch (...) {
        return -1;
    }
}

int32_t xar_extract_tobuffersz(xar_t x, xar_file_t f, char** buffer, size_t* size) {
    if (!x || !f) {
        return -1;
    }
    try {
        return extract_to_memory(x, f, buffer, size);
    } catch (...) {
        return -1;
    }
}

xar_signature_t xar_signature_first(xar_t x) {
    if (!x || x->signatures.empty()) {
        return nullptr;
    }
    return x->signatures.front().get();
}

xar_signature_t xar_signature_next(xar_signature_t s) {
    if (!s) {
        return nullptr;
    }
    const auto& all = s->archive->signatures;
    for (size_t k = 0; k + 1 < all.size(); ++k) {
        if (all[k].get() == s) {
            return all[k + 1].get();
        }
    }
    return nullptr;
}

const char* xar_signature_type(xar_signature_t s) {
    return s && s->type ? s->type->c_str() : nullptr;
}

int32_t xar_signature_get_x509certificate_count(xar_signature_t sig) {
    return sig ? int32_t(sig->certs.size()) : 0;
}

int32_t xar_signature_get_x509certificate_data(xar_signature_t sig, int32_t index,
                                               const uint8_t** cert_data, uint32_t* cert_len) {
    if (!sig || index < 0 || size_t(index) >= sig->certs.size()) {
        if (cert_data) {
            *cert_data = nullptr;
        }
        return -1;
    }
    const auto& c = sig->certs[size_t(index)];
    if (cert_data) {
        *cert_data = c.data();
    }
    if (cert_len) {
        *cert_len = uint32_t(c.size());
    }
    return 0;
}

uint8_t xar_signature_copy_signed_data(xar_signature_t sig, uint8_t** data, uint32_t* length,
                                       uint8_t** signed_data, uint32_t* signed_length,
                                       off_t* signed_offset) {
    if (!sig) {
        return 1;
    }
    const __xar_t* x = sig->archive;
    uint8_t* sum = nullptr;
    uint8_t* body = nullptr;
    if (length && data) {
        sum = static_cast<uint8_t*>(malloc(x->toc_checksum.size()));
        if (!sum) {
            return 1;
        }
        memcpy(sum, x->toc_checksum.data(), x->toc_checksum.size());
    }
    if (signed_length && signed_data) {
        if (sig->size == 0 || sig->size > kMaxSignatureSize ||
            !(body = static_cast<uint8_t*>(malloc(size_t(sig->size)))) ||
            !x->read_heap(sig->offset, body, size_t(sig->size))) {
            free(sum);
            free(body);
            x->report(XAR_SEVERITY_NONFATAL, XAR_ERR_ARCHIVE_EXTRACTION,
                      "Unable to read the signature");
            return 1;
        }
    }
    if (length) {
        *length = uint32_t(x->toc_checksum.size());
    }
    if (data && length) {
        *data = sum;
    }
    if (signed_length) {
        *signed_length = uint32_t(sig->size);
    }
    if (signed_data && signed_length) {
        *signed_data = body;
    }
    if (signed_offset) {
        *signed_offset = off_t(sig->offset);
    }
    return 0;
}

}  // extern "C"
