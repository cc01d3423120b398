#include "tools/xqpkg/xqpkg.h"

#include <openssl/x509.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "platform/base/handle.h"
#include "platform/security/owners.h"
#include "platform/xar/handles.h"
#include "platform/xar/xar.h"
#include "tools/xqpkg/payload.h"
#include "tools/xqpkg/signing.h"

namespace xqpkg {
namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage =
    R"(usage:
  xqpkg build --identifier ID --version V [--root DIR] [--scripts DIR]
              [--install-location PATH] [--doctype DECL] [--extra-member NAME=FILE]...
              [--extra-encoding gzip|bzip2|none] [--extra-directory NAME]... OUT.pkg
      A flat component package: PackageInfo (pkg-info with identifier and
      version; DECL, a document type declaration, verbatim after its XML
      declaration), Payload (cpio odc, gzip) of DIR, Scripts (cpio odc, gzip) of a
      directory holding preinstall and/or postinstall. Extra members come first
      in archive order (before Payload, Scripts, PackageInfo); each
      --extra-directory adds an empty directory member (parents first).

  xqpkg product (--distribution FILE | --app-id ID) [--title TEXT]
              [--component NAME=COMPONENT.pkg]... [--extra-member NAME=FILE]...
              [--extra-encoding gzip|bzip2|none] [--extra-directory NAME]... OUT.pkg
      A product archive: each component package's members inside the directory
      NAME, then Distribution at the root. With --app-id a Distribution is
      written that names the application identifier in an <app id=...> element.

  xqpkg sign [--pki DIR] [--leaf NAME | --key FILE --cert FILE [--chain FILE]]
              [--second-leaf NAME] [--stored-certs LIST] [--signatures LIST]
              [--toc-checksum sha1|sha256] [--tsa NAME] [--no-timestamp]
              [--timestamp-time TIME] [--signing-time TIME | --no-signed-attributes]
              [--tamper-member PATH] IN.pkg OUT.pkg
      Re-lays IN out with signature slots and signs its table-of-contents
      digest. Defaults: leaf "installer" and time-stamp authority "tsa" of the
      test PKI in DIR (files NAME.pem, NAME.key.pem, NAME.chain.pem),
      --signatures RSA,CMS (RSA as <signature>, CMS as <x-signature>; any other
      type is a <signature> holding an RSA signature), stored certificates: the
      leaf then its chain. LIST is comma-separated; a certificate entry is a
      PKI name or a file. TIME is YYYY-MM-DDTHH:MM:SSZ or seconds since 1970;
      both times default to now. --no-signed-attributes makes a CMS
      signature over the digest itself, without signed attributes (so without
      a signing time); the time-stamp then defaults to now. --tamper-member flips a byte of that member's
      data after signing.

  xqpkg inspect PKG
      Members in archive order, checksum style, signature entries with their
      certificates, and the table-of-contents digest.
)";

int usage_error(const std::string& msg) {
    fprintf(stderr, "xqpkg: %s\n(see xqpkg --help)\n", msg.c_str());
    return 2;
}

bool read_bytes(const std::string& path, Bytes* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    out->assign(std::istreambuf_iterator<char>(in), {});
    return true;
}

bool write_bytes(const std::string& path, const Bytes& data) {
    std::string tmp = path + ".tmp" + std::to_string(getpid());
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) {
            return false;
        }
        out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
        if (!out) {
            unlink(tmp.c_str());
            return false;
        }
    }
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

std::string xml_attr(const std::string& s) {
    std::string o;
    for (char c : s) {
        if (c == '&') {
            o += "&amp;";
        } else if (c == '<') {
            o += "&lt;";
        } else if (c == '"') {
            o += "&quot;";
        } else {
            o += c;
        }
    }
    return o;
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::string cur;
    std::istringstream in(s);
    while (std::getline(in, cur, sep)) {
        if (!cur.empty()) {
            out.push_back(cur);
        }
    }
    return out;
}

// Simple option scanner: "--name value" pairs, repeated options collected,
// flags without value listed in `flags`, the rest positional.
struct Args {
    std::multimap<std::string, std::string> opts;
    std::vector<std::string> pos;
    std::string error;

    std::optional<std::string> get(const std::string& k) const {
        auto it = opts.find(k);
        if (it == opts.end()) {
            return std::nullopt;
        }
        return it->second;
    }
    std::vector<std::string> all(const std::string& k) const {
        std::vector<std::string> v;
        auto [a, b] = opts.equal_range(k);
        for (auto it = a; it != b; ++it) {
            v.push_back(it->second);
        }
        return v;
    }
    bool has(const std::string& k) const { return opts.count(k) != 0; }
};

Args parse_args(int argc, char** argv, int first, const std::vector<std::string>& valued,
                const std::vector<std::string>& flags) {
    Args a;
    for (int i = first; i < argc; ++i) {
        std::string s = argv[i];
        if (s.rfind("--", 0) == 0) {
            bool is_flag = std::find(flags.begin(), flags.end(), s) != flags.end();
            bool is_valued = std::find(valued.begin(), valued.end(), s) != valued.end();
            if (is_flag) {
                a.opts.emplace(s, "");
            } else if (is_valued) {
                if (i + 1 >= argc) {
                    a.error = s + " needs a value";
                    return a;
                }
                a.opts.emplace(s, argv[++i]);
            } else {
                a.error = "unknown option " + s;
                return a;
            }
        } else {
            a.pos.push_back(s);
        }
    }
    return a;
}

bool parse_encoding(const std::string& s, Encoding* e) {
    if (s == "gzip") {
        *e = Encoding::Gzip;
    } else if (s == "bzip2") {
        *e = Encoding::Bzip2;
    } else if (s == "none") {
        *e = Encoding::None;
    } else {
        return false;
    }
    return true;
}

bool add_extras(const Args& a, std::vector<Member>* members, std::string* err) {
    Encoding enc = Encoding::Gzip;
    if (auto e = a.get("--extra-encoding"); e && !parse_encoding(*e, &enc)) {
        *err = "unknown encoding " + *e;
        return false;
    }
    for (const std::string& arg : a.all("--extra-member")) {
        auto eq = arg.find('=');
        if (eq == std::string::npos || eq == 0) {
            *err = "--extra-member wants NAME=FILE";
            return false;
        }
        Member m;
        m.path = arg.substr(0, eq);
        m.encoding = enc;
        if (!read_bytes(arg.substr(eq + 1), &m.data)) {
            *err = "cannot read " + arg.substr(eq + 1);
            return false;
        }
        members->push_back(std::move(m));
    }
    for (const std::string& name : a.all("--extra-directory")) {
        Member m;
        m.path = name;
        m.directory = true;
        members->push_back(std::move(m));
    }
    return true;
}

int cmd_build(int argc, char** argv) {
    Args a = parse_args(argc, argv, 2,
                        {"--identifier", "--version", "--root", "--scripts", "--install-location",
                         "--doctype", "--extra-member", "--extra-encoding", "--extra-directory"},
                        {});
    if (!a.error.empty()) {
        return usage_error(a.error);
    }
    auto id = a.get("--identifier"), ver = a.get("--version");
    if (!id || !ver || a.pos.size() != 1) {
        return usage_error("build needs --identifier, --version, OUT");
    }
    std::string err;
    std::vector<Member> members;
    if (!add_extras(a, &members, &err)) {
        return usage_error(err);
    }

    uint64_t files = 0, kbytes = 0;
    if (auto root = a.get("--root")) {
        Member payload{"Payload", false, {}, Encoding::None};
        if (!make_cpio_gzip(*root, &payload.data, &err, &files, &kbytes)) {
            fprintf(stderr, "xqpkg: %s\n", err.c_str());
            return 1;
        }
        members.push_back(std::move(payload));
    }
    std::string scripts_xml;
    if (auto sdir = a.get("--scripts")) {
        Member scripts{"Scripts", false, {}, Encoding::None};
        if (!make_cpio_gzip(*sdir, &scripts.data, &err)) {
            fprintf(stderr, "xqpkg: %s\n", err.c_str());
            return 1;
        }
        members.push_back(std::move(scripts));
        for (const char* s : {"preinstall", "postinstall"}) {
            if (fs::exists(fs::path(*sdir) / s)) {
                scripts_xml += std::string("        <") + s + " file=\"./" + s + "\"/>\n";
            }
        }
    }
    std::string info =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n" +
        (a.has("--doctype") ? *a.get("--doctype") + "\n" : std::string()) +
        "<pkg-info overwrite-permissions=\"true\" relocatable=\"false\" identifier=\"" +
        xml_attr(*id) + "\" postinstall-action=\"none\" version=\"" + xml_attr(*ver) +
        "\" format-version=\"2\" generator-version=\"xqpkg\" install-location=\"" +
        xml_attr(a.get("--install-location").value_or("/")) + "\" auth=\"root\">\n";
    if (a.has("--root")) {
        info += "    <payload numberOfFiles=\"" + std::to_string(files) + "\" installKBytes=\"" +
                std::to_string(kbytes) + "\"/>\n";
    }
    if (!scripts_xml.empty()) {
        info += "    <scripts>\n" + scripts_xml + "    </scripts>\n";
    }
    info += "</pkg-info>\n";
    members.push_back(
        Member{"PackageInfo", false, Bytes(info.begin(), info.end()), Encoding::Gzip});

    Bytes out;
    if (!write_xar(members, WriteOptions{}, &out, &err) || !write_bytes(a.pos[0], out)) {
        fprintf(stderr, "xqpkg: cannot write %s: %s\n", a.pos[0].c_str(), err.c_str());
        return 1;
    }
    return 0;
}

int cmd_product(int argc, char** argv) {
    Args a = parse_args(argc, argv, 2,
                        {"--distribution", "--app-id", "--title", "--component", "--extra-member",
                         "--extra-encoding", "--extra-directory"},
                        {});
    if (!a.error.empty()) {
        return usage_error(a.error);
    }
    if (a.pos.size() != 1 || (a.has("--distribution") == a.has("--app-id"))) {
        return usage_error("product needs one of --distribution or --app-id, and OUT");
    }
    std::string err;
    std::vector<Member> members;
    if (!add_extras(a, &members, &err)) {
        return usage_error(err);
    }

    std::string refs, choices;
    for (const std::string& arg : a.all("--component")) {
        auto eq = arg.find('=');
        if (eq == std::string::npos || eq == 0) {
            return usage_error("--component wants NAME=PKG");
        }
        std::string name = arg.substr(0, eq);
        members.push_back(Member{name, true, {}, Encoding::None});
        if (!load_members(arg.substr(eq + 1), name + "/", &members, &err)) {
            fprintf(stderr, "xqpkg: %s\n", err.c_str());
            return 1;
        }
        refs += "    <pkg-ref id=\"" + xml_attr(name) + "\">#" + xml_attr(name) + "</pkg-ref>\n";
        choices += "        <line choice=\"" + xml_attr(name) + "\"/>\n";
    }
    Member dist{"Distribution", false, {}, Encoding::Gzip};
    if (auto f = a.get("--distribution")) {
        if (!read_bytes(*f, &dist.data)) {
            fprintf(stderr, "xqpkg: cannot read %s\n", f->c_str());
            return 1;
        }
    } else {
        std::string d =
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
            "<installer-gui-script minSpecVersion=\"2\">\n"
            "    <title>" +
            xml_attr(a.get("--title").value_or("Package")) +
            "</title>\n"
            "    <app id=\"" +
            xml_attr(*a.get("--app-id")) +
            "\"/>\n"
            "    <options customize=\"never\" require-scripts=\"false\"/>\n"
            "    <choices-outline>\n" +
            choices + "    </choices-outline>\n" + refs + "</installer-gui-script>\n";
        dist.data.assign(d.begin(), d.end());
    }
    members.push_back(std::move(dist));

    Bytes out;
    if (!write_xar(members, WriteOptions{}, &out, &err) || !write_bytes(a.pos[0], out)) {
        fprintf(stderr, "xqpkg: cannot write %s: %s\n", a.pos[0].c_str(), err.c_str());
        return 1;
    }
    return 0;
}

bool load_signer(const std::string& pki, const std::string& name, Signer* s, std::string* err) {
    s->key = load_key(pki + "/" + name + ".key.pem", err);
    s->cert = load_cert(pki + "/" + name + ".pem", err);
    if (!s->key || !s->cert) {
        return false;
    }
    s->chain = load_certs(pki + "/" + name + ".chain.pem", err);
    return true;
}

// The signing key and certificate from --key/--cert (and --chain) or from the
// test PKI's --leaf; a usage problem otherwise.
std::optional<std::string> load_leaf(const Args& a, const std::string& pki, Signer* leaf,
                                     std::string* err) {
    if (a.has("--key") || a.has("--cert")) {
        if (!a.has("--key") || !a.has("--cert")) {
            return "--key and --cert go together";
        }
        leaf->key = load_key(*a.get("--key"), err);
        leaf->cert = load_cert(*a.get("--cert"), err);
        if (auto c = a.get("--chain")) {
            leaf->chain = load_certs(*c, err);
        }
        if (!leaf->key || !leaf->cert) {
            return *err;
        }
    } else {
        if (pki.empty()) {
            return "sign needs --pki or --key/--cert";
        }
        if (!load_signer(pki, a.get("--leaf").value_or("installer"), leaf, err)) {
            return *err;
        }
    }
    return std::nullopt;
}

// The signing time (now unless --signing-time) and whether there are signed
// attributes at all.
std::optional<std::string> read_signing_time(const Args& a, CmsOptions* cms_opt) {
    time_t now = time(nullptr);
    cms_opt->signing_time = now;
    cms_opt->signed_attributes = !a.has("--no-signed-attributes");
    if (!cms_opt->signed_attributes && a.has("--signing-time")) {
        return "--signing-time is a signed attribute";
    }
    if (auto t = a.get("--signing-time")) {
        auto v = parse_time(*t);
        if (!v) {
            return "bad time " + *t;
        }
        cms_opt->signing_time = *v;
    }
    return std::nullopt;
}

// The time-stamp authority from the test PKI (--tsa), stamping at the signing
// time unless --timestamp-time says otherwise.
std::optional<std::string> load_tsa(const Args& a, const std::string& pki, time_t signing_time,
                                    TimeStampAuthority* tsa, std::string* err) {
    if (pki.empty()) {
        return "a time-stamp needs --pki (or --no-timestamp)";
    }
    std::string name = a.get("--tsa").value_or("tsa");
    tsa->key = load_key(pki + "/" + name + ".key.pem", err);
    tsa->cert = load_cert(pki + "/" + name + ".pem", err);
    tsa->chain = load_certs(pki + "/" + name + ".chain.pem", err);
    if (!tsa->key || !tsa->cert) {
        return *err;
    }
    tsa->when = signing_time;
    if (auto t = a.get("--timestamp-time")) {
        auto v = parse_time(*t);
        if (!v) {
            return "bad time " + *t;
        }
        tsa->when = *v;
    }
    return std::nullopt;
}

// Certificates stored in the table of contents: --stored-certs (files, or
// names in the test PKI), else the leaf and its chain.
std::optional<std::string> stored_certificates(const Args& a, const std::string& pki,
                                               const Signer& leaf, std::vector<Bytes>* stored,
                                               std::string* err) {
    if (auto list = a.get("--stored-certs")) {
        for (const std::string& e : split(*list, ',')) {
            bool is_file =
                e.find('/') != std::string::npos || e.ends_with(".pem") || e.ends_with(".der");
            CertPtr c = load_cert(is_file ? e : pki + "/" + e + ".pem", err);
            if (!c) {
                return *err;
            }
            stored->push_back(cert_der(c.get()));
        }
    } else {
        stored->push_back(cert_der(leaf.cert.get()));
        for (const CertPtr& c : leaf.chain) {
            stored->push_back(cert_der(c.get()));
        }
    }
    return std::nullopt;
}

// The table of contents' checksum style and its signature slots.
std::optional<std::string> plan_signatures(const Args& a, const Signer& leaf,
                                           const std::vector<Bytes>& stored, WriteOptions* wo) {
    if (auto c = a.get("--toc-checksum")) {
        if (*c == "sha1") {
            wo->checksum = TocChecksum::Sha1;
        } else if (*c == "sha256") {
            wo->checksum = TocChecksum::Sha256;
        } else {
            return "--toc-checksum is sha1 or sha256";
        }
    }
    const uint64_t rsa_size = uint64_t(EVP_PKEY_get_size(leaf.key.get()));
    for (const std::string& style : split(a.get("--signatures").value_or("RSA,CMS"), ',')) {
        SignatureSlot s;
        s.style = style;
        s.extended = style == "CMS";
        // The CMS slot is fixed before signing (its size is inside the signed
        // table of contents) and padded with zero bytes, as real packages are.
        s.size = style == "CMS" ? 16384 : rsa_size;
        s.certificates = stored;
        wo->signatures.push_back(std::move(s));
    }
    return std::nullopt;
}

// Flips a byte in the middle of each of member's data ranges; false when it
// has none with data.
bool tamper_member(const std::string& member, const Layout& layout, Bytes* out) {
    bool done = false;
    for (const auto& [path, range] : layout.data) {
        if (path != member || range.second == 0) {
            continue;
        }
        (*out)[layout.heap_start + range.first + range.second / 2] ^= 0x01;
        done = true;
    }
    return done;
}

// Signs IN's members into OUT (tampering with --tamper-member's data after
// signing); the exit status.
int write_signed(const Args& a, const WriteOptions& wo, std::string* err) {
    std::vector<Member> members;
    if (!load_members(a.pos[0], "", &members, err)) {
        fprintf(stderr, "xqpkg: %s\n", err->c_str());
        return 1;
    }
    Bytes out;
    Layout layout;
    if (!write_xar(members, wo, &out, err, &layout)) {
        fprintf(stderr, "xqpkg: %s\n", err->c_str());
        return 1;
    }
    if (auto t = a.get("--tamper-member")) {
        if (!tamper_member(*t, layout, &out)) {
            return usage_error("no member with data at " + *t);
        }
    }
    if (!write_bytes(a.pos[1], out)) {
        fprintf(stderr, "xqpkg: cannot write %s\n", a.pos[1].c_str());
        return 1;
    }
    return 0;
}

int cmd_sign(int argc, char** argv) {
    Args a = parse_args(argc, argv, 2,
                        {"--pki", "--leaf", "--key", "--cert", "--chain", "--second-leaf",
                         "--stored-certs", "--signatures", "--toc-checksum", "--tsa",
                         "--timestamp-time", "--signing-time", "--tamper-member"},
                        {"--no-timestamp", "--no-signed-attributes"});
    if (!a.error.empty()) {
        return usage_error(a.error);
    }
    if (a.pos.size() != 2) {
        return usage_error("sign needs IN and OUT");
    }
    std::string pki = a.get("--pki").value_or("");
    std::string err;

    Signer leaf;
    if (auto problem = load_leaf(a, pki, &leaf, &err)) {
        return usage_error(*problem);
    }
    Signer second;
    CmsOptions cms_opt;
    cms_opt.signers.push_back(&leaf);
    if (auto n = a.get("--second-leaf")) {
        if (pki.empty() || !load_signer(pki, *n, &second, &err)) {
            return usage_error(err);
        }
        cms_opt.signers.push_back(&second);
    }

    if (auto problem = read_signing_time(a, &cms_opt)) {
        return usage_error(*problem);
    }
    TimeStampAuthority tsa;
    if (!a.has("--no-timestamp")) {
        if (auto problem = load_tsa(a, pki, cms_opt.signing_time, &tsa, &err)) {
            return usage_error(*problem);
        }
        cms_opt.tsa = &tsa;
    }

    std::vector<Bytes> stored;
    if (auto problem = stored_certificates(a, pki, leaf, &stored, &err)) {
        return usage_error(*problem);
    }

    WriteOptions wo;
    if (auto problem = plan_signatures(a, leaf, stored, &wo)) {
        return usage_error(*problem);
    }
    wo.sign = [&](const Bytes& digest, std::vector<Bytes>* slots, std::string* e) {
        for (size_t i = 0; i < wo.signatures.size(); ++i) {
            bool ok = wo.signatures[i].style == "CMS"
                          ? make_cms(digest, cms_opt, &(*slots)[i], e)
                          : make_rsa(digest, leaf.key.get(), &(*slots)[i], e);
            if (!ok) {
                return false;
            }
        }
        return true;
    };

    return write_signed(a, wo, &err);
}

std::string subject_of(const uint8_t* der, uint32_t len) {
    const unsigned char* p = der;
    const security::X509Ptr x(d2i_X509(nullptr, &p, long(len)));
    if (!x) {
        return "(not a certificate)";
    }
    char buf[512];
    X509_NAME_oneline(X509_get_subject_name(x.get()), buf, sizeof buf);
    return buf;
}

int cmd_inspect(int argc, char** argv) {
    if (argc != 3) {
        return usage_error("inspect needs PKG");
    }
    const xar::ArchivePtr archive(xar_open(argv[2], READ));
    const xar_t x = archive.get();
    if (!x) {
        // The reader's own reason: which check the archive failed.
        fprintf(stderr, "xqpkg: %s: refused: %s\n", argv[2], xq_xar_open_error());
        return 1;
    }
    const char* style = xar_opt_get(x, XAR_OPT_TOCCKSUM);
    printf("checksum: %s\n", style && *style ? style : "unknown");
    {
        const xar::IterPtr iter(xar_iter_new());
        const xar_iter_t it = iter.get();
        for (xar_file_t f = it ? xar_file_first(x, it) : nullptr; f; f = xar_file_next(it)) {
            const base::MallocPtr<char> p(xar_get_path(f));
            printf("member: %s\n", p ? p.get() : "(no name)");
        }
    }
    bool digest_shown = false;
    for (xar_signature_t s = xar_signature_first(x); s; s = xar_signature_next(s)) {
        uint8_t* sum = nullptr;
        uint32_t sum_len = 0, sig_len = 0;
        off_t off = 0;
        const char* type = xar_signature_type(s);
        const int copied =
            xar_signature_copy_signed_data(s, &sum, &sum_len, nullptr, &sig_len, &off);
        const base::MallocPtr<uint8_t> owned(sum);
        if (copied != 0) {
            printf("signature: %s (unreadable)\n", type ? type : "(none)");
            continue;
        }
        int32_t n = xar_signature_get_x509certificate_count(s);
        printf("signature: %s offset=%lld size=%u certificates=%d\n", type ? type : "(none)",
               static_cast<long long>(off), sig_len, n);
        for (int32_t i = 0; i < n; ++i) {
            const uint8_t* der = nullptr;
            uint32_t len = 0;
            if (xar_signature_get_x509certificate_data(s, i, &der, &len) == 0) {
                printf("  certificate %d: %s\n", i, subject_of(der, len).c_str());
            }
        }
        if (!digest_shown) {
            printf("toc-digest: ");
            for (uint32_t i = 0; i < sum_len; ++i) {
                printf("%02x", sum[i]);
            }
            printf("\n");
            digest_shown = true;
        }
    }
    return 0;
}

}  // namespace

bool load_members(const std::string& path, const std::string& prefix, std::vector<Member>* out,
                  std::string* err) {
    const xar::ArchivePtr archive(xar_open(path.c_str(), READ));
    const xar_t x = archive.get();
    if (!x) {
        *err = path + ": not a readable XAR archive";
        return false;
    }
    std::vector<std::string> paths;
    std::vector<xar_file_t> files;
    {
        const xar::IterPtr iter(xar_iter_new());
        const xar_iter_t it = iter.get();
        for (xar_file_t f = it ? xar_file_first(x, it) : nullptr; f; f = xar_file_next(it)) {
            const base::MallocPtr<char> p(xar_get_path(f));
            if (!p) {
                *err = path + ": member without a name";
                return false;
            }
            paths.emplace_back(p.get());
            files.push_back(f);
        }
    }

    const char* tdir = getenv("TMPDIR");
    std::string base = std::string(tdir && *tdir ? tdir : "/tmp") + "/xqpkg-XXXXXX";
    std::vector<char> dirbuf(base.begin(), base.end());
    dirbuf.push_back('\0');
    if (!mkdtemp(dirbuf.data())) {
        *err = "cannot make a temporary directory";
        return false;
    }
    std::string scratch = std::string(dirbuf.data()) + "/member";
    bool ok = true;
    for (size_t i = 0; i < files.size() && ok; ++i) {
        // A member that others live under is a directory, as is one stored
        // as a directory without children.
        const char* type = nullptr;
        bool dir =
            xar_prop_get(files[i], "type", &type) == 0 && std::strcmp(type, "directory") == 0;
        for (const std::string& q : paths) {
            if (q.size() > paths[i].size() && q.compare(0, paths[i].size(), paths[i]) == 0 &&
                q[paths[i].size()] == '/') {
                dir = true;
            }
        }
        Member m;
        m.path = prefix + paths[i];
        m.directory = dir;
        if (!dir) {
            std::string name = fs::path(paths[i]).filename().string();
            m.encoding = (name == "Payload" || name == "Scripts") ? Encoding::None : Encoding::Gzip;
            if (xar_extract_tofile(x, files[i], scratch.c_str()) != 0 ||
                !read_bytes(scratch, &m.data)) {
                *err = path + ": cannot extract " + paths[i];
                ok = false;
            }
            unlink(scratch.c_str());
        }
        out->push_back(std::move(m));
    }
    rmdir(dirbuf.data());
    return ok;
}

int xqpkg_main(int argc, char** argv) {
    if (argc < 2) {
        return usage_error("no command");
    }
    std::string cmd = argv[1];
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        fputs(kUsage, stdout);
        return 0;
    }
    if (cmd == "build") {
        return cmd_build(argc, argv);
    }
    if (cmd == "product") {
        return cmd_product(argc, argv);
    }
    if (cmd == "sign") {
        return cmd_sign(argc, argv);
    }
    if (cmd == "inspect") {
        return cmd_inspect(argc, argv);
    }
    return usage_error("unknown command " + cmd);
}

}  // namespace xqpkg
