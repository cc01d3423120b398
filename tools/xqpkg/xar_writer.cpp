#include "tools/xqpkg/xar_writer.h"

#include <bzlib.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <cstdio>
#include <ctime>
#include <map>
#include <memory>

namespace xqpkg {
namespace {

Bytes digest(const EVP_MD* md, const Bytes& in) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned len = 0;
    EVP_Digest(in.data(), in.size(), out.data(), &len, md, nullptr);
    out.resize(len);
    return out;
}

std::string hex(const Bytes& b) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (uint8_t c : b) {
        s += d[c >> 4];
        s += d[c & 15];
    }
    return s;
}

std::string base64(const Bytes& b) {
    std::string out;
    if (b.empty()) {
        return out;
    }
    std::string tmp(4 * ((b.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(tmp.data()), b.data(), int(b.size()));
    tmp.resize(size_t(n));
    // Lines of 72 characters, as real packages store them.
    for (size_t i = 0; i < tmp.size(); i += 72) {
        if (i) {
            out += '\n';
        }
        out += tmp.substr(i, 72);
    }
    return out;
}

std::string xml_escape(const std::string& s) {
    std::string o;
    for (char c : s) {
        switch (c) {
            case '&':
                o += "&amp;";
                break;
            case '<':
                o += "&lt;";
                break;
            case '>':
                o += "&gt;";
                break;
            case '"':
                o += "&quot;";
                break;
            case '\'':
                o += "&apos;";
                break;
            default:
                o += c;
        }
    }
    return o;
}

struct TreeNode {
    const Member* member = nullptr;
    std::string name;
    uint64_t id = 0;
    std::vector<TreeNode*> children;
    // data placement
    bool has_data = false;
    uint64_t offset = 0, length = 0, size = 0;
    Bytes archived_sum, extracted_sum;
    Encoding encoding = Encoding::None;
};

void emit_file(const TreeNode& n, int depth, std::string* x) {
    std::string ind(size_t(depth), ' ');
    *x += ind + "<file id=\"" + std::to_string(n.id) + "\">\n";
    if (n.has_data) {
        const char* style = n.encoding == Encoding::Gzip    ? "application/x-gzip"
                            : n.encoding == Encoding::Bzip2 ? "application/x-bzip2"
                                                            : "application/octet-stream";
        *x += ind + " <data>\n";
        *x += ind + "  <length>" + std::to_string(n.length) + "</length>\n";
        *x += ind + "  <offset>" + std::to_string(n.offset) + "</offset>\n";
        *x += ind + "  <size>" + std::to_string(n.size) + "</size>\n";
        *x += ind + "  <encoding style=\"" + style + "\"/>\n";
        *x += ind + "  <extracted-checksum style=\"sha1\">" + hex(n.extracted_sum) +
              "</extracted-checksum>\n";
        *x += ind + "  <archived-checksum style=\"sha1\">" + hex(n.archived_sum) +
              "</archived-checksum>\n";
        *x += ind + " </data>\n";
    }
    *x += ind + " <type>" + (n.member->directory ? "directory" : "file") + "</type>\n";
    *x += ind + " <name>" + xml_escape(n.name) + "</name>\n";
    for (const TreeNode* c : n.children) {
        emit_file(*c, depth + 1, x);
    }
    *x += ind + "</file>\n";
}

void put_be(Bytes* out, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        out->push_back(uint8_t(v >> (8 * i)));
    }
}

}  // namespace

Bytes zlib_compress(const Bytes& in) {
    uLongf len = compressBound(uLong(in.size()));
    Bytes out(len);
    if (compress2(out.data(), &len, in.data(), uLong(in.size()), Z_BEST_COMPRESSION) != Z_OK) {
        return {};
    }
    out.resize(len);
    return out;
}

Bytes bzip2_compress(const Bytes& in) {
    unsigned int len = unsigned(in.size() + in.size() / 100 + 600);
    Bytes out(len);
    Bytes src = in;
    if (BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &len,
                                 reinterpret_cast<char*>(src.data()), unsigned(src.size()), 9, 0,
                                 0) != BZ_OK) {
        return {};
    }
    out.resize(len);
    return out;
}

namespace {

// The tree of members, in archive order; false when a member's parent is not
// a directory listed before it.
bool build_tree(const std::vector<Member>& members, std::vector<std::unique_ptr<TreeNode>>* nodes,
                std::vector<TreeNode*>* top, std::string* err) {
    std::map<std::string, TreeNode*> by_path;
    uint64_t next_id = 1;
    for (const Member& m : members) {
        auto n = std::make_unique<TreeNode>();
        n->member = &m;
        n->id = next_id++;
        auto slash = m.path.rfind('/');
        n->name = slash == std::string::npos ? m.path : m.path.substr(slash + 1);
        if (slash == std::string::npos) {
            top->push_back(n.get());
        } else {
            auto parent = by_path.find(m.path.substr(0, slash));
            if (parent == by_path.end() || !parent->second->member->directory) {
                *err = "member " + m.path + " has no directory before it";
                return false;
            }
            parent->second->children.push_back(n.get());
        }
        by_path[m.path] = n.get();
        nodes->push_back(std::move(n));
    }
    return true;
}

// Encodes each file's data into heap_data, from heap offset heap_pos on, and
// records where it lies and its checksums in its node.
bool encode_members(const std::vector<std::unique_ptr<TreeNode>>& nodes, uint64_t heap_pos,
                    Bytes* heap_data, std::string* err) {
    for (const auto& n : nodes) {
        if (n->member->directory) {
            continue;
        }
        Bytes enc;
        switch (n->member->encoding) {
            case Encoding::Gzip:
                enc = zlib_compress(n->member->data);
                break;
            case Encoding::Bzip2:
                enc = bzip2_compress(n->member->data);
                break;
            case Encoding::None:
                enc = n->member->data;
                break;
        }
        if (enc.empty() && !n->member->data.empty()) {
            *err = "cannot compress " + n->member->path;
            return false;
        }
        n->has_data = true;
        n->encoding = n->member->encoding;
        n->offset = heap_pos;
        n->length = enc.size();
        n->size = n->member->data.size();
        n->archived_sum = digest(EVP_sha1(), enc);
        n->extracted_sum = digest(EVP_sha1(), n->member->data);
        heap_pos += enc.size();
        heap_data->insert(heap_data->end(), enc.begin(), enc.end());
    }
    return true;
}

// The table of contents' XML: creation time, checksum, signature slots with
// their certificates, then the top-level members reversed.
std::string toc_xml(const WriteOptions& opt, uint64_t sum_size,
                    const std::vector<uint64_t>& slot_offsets, const std::vector<TreeNode*>& top) {
    char when[32];
    time_t now = time(nullptr);
    struct tm tmv;
    gmtime_r(&now, &tmv);
    strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", &tmv);
    std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<xar>\n <toc>\n";
    x += std::string("  <creation-time>") + when + "</creation-time>\n";
    x += std::string("  <checksum style=\"") +
         (opt.checksum == TocChecksum::Sha1 ? "sha1" : "sha256") +
         "\">\n   <offset>0</offset>\n   <size>" + std::to_string(sum_size) +
         "</size>\n  </checksum>\n";
    for (size_t i = 0; i < opt.signatures.size(); ++i) {
        const SignatureSlot& s = opt.signatures[i];
        const char* el = s.extended ? "x-signature" : "signature";
        x += std::string("  <") + el + " style=\"" + xml_escape(s.style) + "\">\n";
        x += "   <offset>" + std::to_string(slot_offsets[i]) + "</offset>\n";
        x += "   <size>" + std::to_string(s.size) + "</size>\n";
        x += "   <KeyInfo xmlns=\"http://www.w3.org/2000/09/xmldsig#\">\n    <X509Data>\n";
        for (const Bytes& c : s.certificates) {
            x += "     <X509Certificate>" + base64(c) + "</X509Certificate>\n";
        }
        x += "    </X509Data>\n   </KeyInfo>\n";
        x += std::string("  </") + el + ">\n";
    }
    for (auto it = top.rbegin(); it != top.rend(); ++it) {
        emit_file(**it, 2, &x);
    }
    x += " </toc>\n</xar>\n";
    return x;
}

// The signature slots' content over the table-of-contents checksum; each must
// fit its slot.
bool sign_slots(const WriteOptions& opt, const Bytes& toc_sum, std::vector<Bytes>* slots,
                std::string* err) {
    if (!opt.sign(toc_sum, slots, err)) {
        return false;
    }
    if (slots->size() != opt.signatures.size()) {
        *err = "signer returned the wrong number of signatures";
        return false;
    }
    for (size_t i = 0; i < slots->size(); ++i) {
        if ((*slots)[i].size() > opt.signatures[i].size) {
            *err = "signature " + opt.signatures[i].style + " does not fit its slot (" +
                   std::to_string((*slots)[i].size()) + " > " +
                   std::to_string(opt.signatures[i].size) + ")";
            return false;
        }
    }
    return true;
}

}  // namespace

bool write_xar(const std::vector<Member>& members, const WriteOptions& opt, Bytes* out,
               std::string* err, Layout* layout) {
    const EVP_MD* toc_md = opt.checksum == TocChecksum::Sha1 ? EVP_sha1() : EVP_sha256();
    const uint64_t sum_size = uint64_t(EVP_MD_get_size(toc_md));

    std::vector<std::unique_ptr<TreeNode>> nodes;
    std::vector<TreeNode*> top;
    if (!build_tree(members, &nodes, &top, err)) {
        return false;
    }

    // Heap: checksum, signature slots, then member data in archive order.
    uint64_t heap_pos = sum_size;
    std::vector<uint64_t> slot_offsets;
    for (const SignatureSlot& s : opt.signatures) {
        slot_offsets.push_back(heap_pos);
        heap_pos += s.size;
    }
    Bytes heap_data;
    if (!encode_members(nodes, heap_pos, &heap_data, err)) {
        return false;
    }

    const std::string x = toc_xml(opt, sum_size, slot_offsets, top);
    Bytes toc(x.begin(), x.end());
    Bytes ztoc = zlib_compress(toc);
    if (ztoc.empty()) {
        *err = "cannot compress the table of contents";
        return false;
    }
    Bytes toc_sum = digest(toc_md, ztoc);

    std::vector<Bytes> slots(opt.signatures.size());
    if (opt.sign && !opt.signatures.empty() && !sign_slots(opt, toc_sum, &slots, err)) {
        return false;
    }

    out->clear();
    put_be(out, 0x78617221, 4);
    put_be(out, 28, 2);
    put_be(out, 1, 2);
    put_be(out, ztoc.size(), 8);
    put_be(out, toc.size(), 8);
    put_be(out, opt.checksum == TocChecksum::Sha1 ? 1 : 3, 4);
    out->insert(out->end(), ztoc.begin(), ztoc.end());
    const uint64_t heap_start = out->size();
    out->insert(out->end(), toc_sum.begin(), toc_sum.end());
    for (size_t i = 0; i < opt.signatures.size(); ++i) {
        Bytes slot = slots[i];
        slot.resize(opt.signatures[i].size, 0);
        out->insert(out->end(), slot.begin(), slot.end());
    }
    out->insert(out->end(), heap_data.begin(), heap_data.end());

    if (layout) {
        layout->heap_start = heap_start;
        layout->data.clear();
        for (auto& n : nodes) {
            if (n->has_data) {
                layout->data.push_back({n->member->path, {n->offset, n->length}});
            }
        }
    }
    return true;
}

}  // namespace xqpkg
