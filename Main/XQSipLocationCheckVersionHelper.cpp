#include "Main/XQSipLocationCheckVersionHelper.h"

#include <expat.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <utility>

#include "Common/XQDaemonToolHelper.h"
#include "Common/XQHelperLabel.h"
#include "platform/bundle/bundle.h"

namespace {

constexpr const char* kExtractDirName = "unZipLocationPkgTemp";
constexpr const char* kPackageInfo = "PackageInfo";
constexpr const char* kDistribution = "Distribution";
constexpr const char* kPkgInfoElement = "pkg-info";
constexpr const char* kVersionAttribute = "version";
constexpr const char* kAppElement = "app";
constexpr const char* kIdAttribute = "id";
constexpr const char* kBundleVersionKey = "CFBundleVersion";

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// Exists without following a final symbolic link: what a removal would find.
bool existsNoFollow(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

void removeTree(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string joinPath(const std::string& dir, const std::string& name) {
    if (!dir.empty() && dir.back() == '/') {
        return dir + name;
    }
    return dir + "/" + name;
}

bool isValidUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t len;
        uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > s.size()) {
            return false;
        }
        for (size_t k = 1; k < len; ++k) {
            unsigned char cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (cc & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
            cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += len;
    }
    return true;
}

struct XarCloser {
    void operator()(xar_t x) const { xar_close(x); }
};
struct XarIterFree {
    void operator()(xar_iter_t i) const { xar_iter_free(i); }
};

// A check's directories: the private one from the tool helper and the
// extraction directory inside it. Both go when the check ends, whatever its
// verdict, so that no empty private directory piles up per install either.
class ExtractionArea {
  public:
    ExtractionArea() = default;
    ExtractionArea(const ExtractionArea&) = delete;
    ExtractionArea& operator=(const ExtractionArea&) = delete;
    ~ExtractionArea() {
        if (!extractDir_.empty() && existsNoFollow(extractDir_)) {
            removeTree(extractDir_);
        }
        if (!privateDir_.empty()) {
            XQDaemonToolHelper::removePrivateDirectory(privateDir_);
        }
    }
    bool create() {
        std::optional<std::string> dir = XQDaemonToolHelper::getRandomlyDirectory();
        if (!dir || dir->empty()) {
            return false;
        }
        privateDir_ = *dir;
        std::string extract = joinPath(privateDir_, kExtractDirName);
        if (existsNoFollow(extract)) {
            removeTree(extract);
        }
        if (!exists(extract)) {
            std::error_code ec;
            std::filesystem::create_directories(extract, ec);
            if (ec) {
                return false;
            }
        }
        extractDir_ = extract;
        return true;
    }
    const std::string& extractDir() const { return extractDir_; }

  private:
    std::string privateDir_;
    std::string extractDir_;
};

// Parses one extracted metadata file with `fileName` as the state's
// parsingFileName, which is back to empty afterwards.
bool parseMember(XQVersionParseState& state, const std::string& fileName, const std::string& path) {
    state.parsingFileName = fileName;
    bool ok;
    {
        XQMetadataParser parser(state);
        ok = parser.parseFile(path);
    }
    state.parsingFileName.reset();
    return ok;
}

}  // namespace

// --- The metadata parser ----------------------------------------------------

struct XQMetadataParser::Impl {
    XML_Parser parser = nullptr;
    XQVersionParseState* state = nullptr;

    static void XMLCALL startElement(void* userData, const XML_Char* name, const XML_Char** atts) {
        auto* self = static_cast<Impl*>(userData);
        XQXMLAttributes attributes;
        for (size_t i = 0; atts != nullptr && atts[i] != nullptr && atts[i + 1] != nullptr;
             i += 2) {
            attributes.emplace(atts[i], atts[i + 1]);
        }
        XQSipLocationCheckVersionHelper::parser(*self->state, name, attributes);
    }
};

XQMetadataParser::XQMetadataParser(XQVersionParseState& state) : impl_(new Impl) {
    impl_->state = &state;
    // No namespace processing; with no external entity handler set, expat
    // never loads an external entity, and its amplification limits stop
    // entity expansion attacks.
    impl_->parser = XML_ParserCreate(nullptr);
    if (impl_->parser != nullptr) {
        XML_SetUserData(impl_->parser, impl_);
        XML_SetStartElementHandler(impl_->parser, &Impl::startElement);
        XML_SetParamEntityParsing(impl_->parser, XML_PARAM_ENTITY_PARSING_NEVER);
    }
}

XQMetadataParser::~XQMetadataParser() {
    if (impl_->parser != nullptr) {
        XML_ParserFree(impl_->parser);
    }
    delete impl_;
}

bool XQMetadataParser::parse(const char* data, size_t length, bool isFinal) {
    if (impl_->parser == nullptr) {
        return false;
    }
    while (length > 0 || isFinal) {
        int piece = length > (1u << 20) ? (1 << 20) : static_cast<int>(length);
        bool last = isFinal && static_cast<size_t>(piece) == length;
        if (XML_Parse(impl_->parser, data, piece, last ? 1 : 0) != XML_STATUS_OK) {
            return false;
        }
        data += piece;
        length -= static_cast<size_t>(piece);
        if (last) {
            break;
        }
    }
    return true;
}

bool XQMetadataParser::parseFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return false;
    }
    char buf[65536];
    bool ok = true;
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            ok = false;
            break;
        }
        if (n == 0) {
            ok = parse(nullptr, 0, true);
            break;
        }
        if (!parse(buf, static_cast<size_t>(n), false)) {
            ok = false;
            break;
        }
    }
    ::close(fd);
    return ok;
}

// --- The gate -----------------------------------------------------------------

int32_t err_callback(int32_t severity, int32_t instance, xar_errctx_t ctx, void* usrctx) {
    (void)severity;
    (void)instance;
    (void)usrctx;
    const char* message = xar_err_get_string(ctx);
    int number = xar_err_get_errno(ctx);
    (void)message;
    (void)number;
    return 0;
}

XQSipLocationCheckVersionHelper::XQSipLocationCheckVersionHelper()
    : ownVersion_([] { return bundle::objectForInfoDictionaryKey(kBundleVersionKey); }) {}

XQSipLocationCheckVersionHelper::XQSipLocationCheckVersionHelper(VersionSource ownVersion)
    : ownVersion_(std::move(ownVersion)) {}

bool XQSipLocationCheckVersionHelper::isPkgVersionAllowed(const std::string& pkgPath) const {
    ExtractionArea area;
    if (!area.create()) {
        return false;
    }
    XQVersionParseState state;

    std::optional<std::string> infoPath =
        unzipFileFromPkg(pkgPath, area.extractDir(), kPackageInfo);
    if (!infoPath || infoPath->empty() || !exists(*infoPath)) {
        return false;
    }
    state.parsedVersion.reset();
    if (!parseMember(state, kPackageInfo, *infoPath)) {
        return false;
    }
    if (!checkPkgVersionAllowed(state.parsedVersion)) {
        return false;
    }

    std::optional<std::string> distPath =
        unzipFileFromPkg(pkgPath, area.extractDir(), kDistribution);
    if (!distPath || distPath->empty() || !exists(*distPath)) {
        return true;
    }
    state.parsedAppId.reset();
    if (!parseMember(state, kDistribution, *distPath)) {
        // A Distribution that cannot be read does not block a package whose
        // version passed.
        return true;
    }
    return state.parsedAppId.has_value() && *state.parsedAppId == xq::kHelperLabel;
}

std::optional<std::string> XQSipLocationCheckVersionHelper::unzipFileFromPkg(
    const std::string& pkgPath, const std::string& toPath, const std::string& fileName) const {
    if (pkgPath.empty() || toPath.empty() || !exists(pkgPath) || !exists(toPath)) {
        return std::nullopt;
    }
    std::string destination = joinPath(toPath, fileName);
    if (!getFileFromXar(pkgPath, destination, fileName)) {
        return std::nullopt;
    }
    return destination;
}

bool XQSipLocationCheckVersionHelper::getFileFromXar(const std::string& xarPath,
                                                     const std::string& toFilePath,
                                                     const std::string& fileName) const {
    if (xarPath.empty() || toFilePath.empty() || fileName.empty()) {
        return false;
    }
    std::unique_ptr<const __xar_t, XarCloser> archive(xar_open(xarPath.c_str(), READ));
    if (!archive) {
        return false;
    }
    xar_register_errhandler(archive.get(), err_callback, nullptr);
    std::unique_ptr<const __xar_iter_t, XarIterFree> iter(xar_iter_new());
    if (!iter) {
        return false;
    }
    for (xar_file_t f = xar_file_first(archive.get(), iter.get()); f != nullptr;
         f = xar_file_next(iter.get())) {
        // The sanitised path: a "/" inside one stored name cannot pose as a
        // directory boundary.
        char* raw = xar_get_safe_path(f);
        if (raw == nullptr) {
            continue;
        }
        std::string path(raw);
        std::free(raw);
        if (!isValidUtf8(path)) {
            continue;
        }
        if (path.size() >= fileName.size() &&
            path.compare(path.size() - fileName.size(), fileName.size(), fileName) == 0) {
            return xar_extract_tofile(archive.get(), f, toFilePath.c_str()) == 0;
        }
    }
    return false;
}

bool XQSipLocationCheckVersionHelper::checkPkgVersionAllowed(
    const std::optional<std::string>& pkgVersion) const {
    std::optional<std::string> own = ownVersion_ ? ownVersion_() : std::nullopt;
    if (!pkgVersion || pkgVersion->empty() || !own || own->empty()) {
        return false;
    }
    return XQCompareNumerically(*pkgVersion, *own) >= 0;
}

void XQSipLocationCheckVersionHelper::parser(XQVersionParseState& state,
                                             const std::string& elementName,
                                             const XQXMLAttributes& attributes) {
    auto attribute = [&](const char* name) -> std::optional<std::string> {
        auto it = attributes.find(name);
        if (it == attributes.end()) {
            return std::nullopt;
        }
        return it->second;
    };
    if (state.parsingFileName == kPackageInfo && elementName == kPkgInfoElement) {
        state.parsedVersion = attribute(kVersionAttribute);
    }
    if (state.parsingFileName == kDistribution && elementName == kAppElement) {
        state.parsedAppId = attribute(kIdAttribute);
    }
}

int XQCompareNumerically(std::string_view lhs, std::string_view rhs) {
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    size_t i = 0;
    size_t j = 0;
    while (i < lhs.size() && j < rhs.size()) {
        if (isDigit(lhs[i]) && isDigit(rhs[j])) {
            // Compare the runs by value without converting them: skip leading
            // zeros, then the longer run is the larger number, and runs of
            // equal length compare digit by digit.
            size_t ei = i;
            while (ei < lhs.size() && isDigit(lhs[ei])) {
                ++ei;
            }
            size_t ej = j;
            while (ej < rhs.size() && isDigit(rhs[ej])) {
                ++ej;
            }
            size_t si = i;
            while (si + 1 < ei && lhs[si] == '0') {
                ++si;
            }
            size_t sj = j;
            while (sj + 1 < ej && rhs[sj] == '0') {
                ++sj;
            }
            size_t li = ei - si;
            size_t lj = ej - sj;
            if (li != lj) {
                return li < lj ? -1 : 1;
            }
            int c = lhs.substr(si, li).compare(rhs.substr(sj, lj));
            if (c != 0) {
                return c < 0 ? -1 : 1;
            }
            i = ei;
            j = ej;
            continue;
        }
        unsigned char a = static_cast<unsigned char>(lhs[i]);
        unsigned char b = static_cast<unsigned char>(rhs[j]);
        if (a != b) {
            return a < b ? -1 : 1;
        }
        ++i;
        ++j;
    }
    bool lhsEnded = i >= lhs.size();
    bool rhsEnded = j >= rhs.size();
    if (lhsEnded && rhsEnded) {
        return 0;
    }
    return lhsEnded ? -1 : 1;
}
