// Figures for hostile archives at the reader's caps: each archive is
// generated here (a valid header, table of contents and stored SHA-1), then
// opened, walked and closed in a fresh process, which reports the outcome, the
// time of that work and its own peak resident memory (VmHWM: the program as
// loaded plus everything the open used; the generator's memory before the
// exec is not in it). A child that only opens a one-member archive gives the
// baseline of the process itself.
//
// Archives:
// - 99,990 sibling members with distinct names, no attributes: under every
//   cap (199,985 elements), so it opens;
// - 100,000 siblings: past the cap on elements and attributes;
// - 2,000,000 attributes on one <file> element (4-character names, 16 MB of
//   XML: under the cap on the inflated table of contents).
//
// Run: ./bench_xar_hostile (release build; not part of ctest).
#include <openssl/evp.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/xar/xar.h"

namespace {

using Bytes = std::vector<uint8_t>;

void put_be(Bytes* out, uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i)
        out->push_back(uint8_t(v >> (8 * i)));
}

// Header (algorithm 1), zlib table of contents, its SHA-1 at heap offset 0.
Bytes archive_of(const std::string& xml) {
    uLongf zlen = compressBound(uLong(xml.size()));
    Bytes z(zlen);
    if (compress2(z.data(), &zlen, reinterpret_cast<const Bytef*>(xml.data()), uLong(xml.size()),
                  6) != Z_OK)
        std::abort();
    z.resize(zlen);
    Bytes out;
    put_be(&out, 0x78617221, 4);
    put_be(&out, 28, 2);
    put_be(&out, 1, 2);
    put_be(&out, z.size(), 8);
    put_be(&out, xml.size(), 8);
    put_be(&out, 1, 4);
    out.insert(out.end(), z.begin(), z.end());
    unsigned char sum[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    EVP_Digest(z.data(), z.size(), sum, &len, EVP_sha1(), nullptr);
    out.insert(out.end(), sum, sum + len);
    return out;
}

const char kHead[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<xar><toc><checksum style=\"sha1\">"
    "<offset>0</offset><size>20</size></checksum>";
const char kTail[] = "</toc></xar>";

std::string siblings(size_t n) {
    std::string x = kHead;
    for (size_t i = 0; i < n; ++i)
        x += "<file><name>m" + std::to_string(i) + "</name></file>";
    return x + kTail;
}

std::string attributes(size_t n) {
    static const char kFirst[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    static const char kRest[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string x = kHead;
    x.reserve(x.size() + n * 8 + 64);
    x += "<file";
    for (size_t i = 0; i < n; ++i) {
        size_t v = i;
        char name[5];
        name[0] = kFirst[v % 52];
        v /= 52;
        for (int k = 1; k < 4; ++k) {
            name[k] = kRest[v % 62];
            v /= 62;
        }
        name[4] = '\0';
        x += ' ';
        x += name;
        x += "=\"\"";
    }
    x += "><name>m</name></file>";
    return x + kTail;
}

// Peak resident memory of this process (since its exec), in KiB.
long peak_rss_kib() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

// Child: open, walk, close; prints the milliseconds, the peak memory and
// "opened N" or "refused REASON".
int child(const char* path) {
    auto t0 = std::chrono::steady_clock::now();
    xar_t x = xar_open(path, READ);
    size_t members = 0;
    std::string outcome;
    if (x) {
        xar_iter_t it = xar_iter_new();
        for (xar_file_t f = xar_file_first(x, it); f; f = xar_file_next(it)) {
            char* p = xar_get_path(f);
            members += p != nullptr;
            free(p);
        }
        xar_iter_free(it);
        xar_close(x);
        outcome = "opened, " + std::to_string(members) + " members";
    } else {
        outcome = std::string("refused: ") + xq_xar_open_error();
    }
    double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%.1f\t%ld\t%s\n", ms, peak_rss_kib(), outcome.c_str());
    return 0;
}

struct Figure {
    double ms = -1;
    long peak_kib = -1;
    std::string outcome;
};

Figure measure(const char* self, const std::string& path) {
    int fds[2];
    if (pipe(fds) != 0)
        std::abort();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        execl(self, self, "--open", path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        out.append(buf, size_t(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    Figure f;
    size_t tab = out.find('\t');
    size_t tab2 = tab == std::string::npos ? tab : out.find('\t', tab + 1);
    if (tab2 != std::string::npos) {
        f.ms = std::atof(out.substr(0, tab).c_str());
        f.peak_kib = std::atol(out.substr(tab + 1, tab2 - tab - 1).c_str());
        f.outcome = out.substr(tab2 + 1);
        while (!f.outcome.empty() && f.outcome.back() == '\n')
            f.outcome.pop_back();
    } else {
        f.outcome = "child failed, status " + std::to_string(status);
    }
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--open") == 0)
        return child(argv[2]);

    char tmpl[] = "/tmp/xar-hostile-XXXXXX";
    if (!mkdtemp(tmpl))
        return 1;
    const std::string dir = tmpl;
    struct Case {
        const char* what;
        std::string xml;
    };
    std::vector<Case> cases;
    cases.push_back({"baseline: one member", siblings(1)});
    cases.push_back({"99,990 siblings (under every cap)", siblings(99990)});
    cases.push_back({"100,000 siblings", siblings(100000)});
    cases.push_back({"2,000,000 attributes on one element", attributes(2000000)});

    std::printf("%-38s %10s %12s %10s  %s\n", "archive", "size KiB", "TOC KiB", "time ms",
                "peak RSS MiB  outcome");
    int i = 0;
    for (Case& c : cases) {
        Bytes a = archive_of(c.xml);
        std::string path = dir + "/" + std::to_string(i++) + ".pkg";
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(a.data()), std::streamsize(a.size()));
        Figure f = measure("/proc/self/exe", path);
        std::printf("%-38s %10zu %12zu %10.1f %8.1f      %s\n", c.what, a.size() >> 10,
                    c.xml.size() >> 10, f.ms, double(f.peak_kib) / 1024.0, f.outcome.c_str());
        c.xml.clear();
        c.xml.shrink_to_fit();
    }
    std::filesystem::remove_all(dir);
    return 0;
}
