#include "Main/XQSipLocationCheckVersionHelper.h"

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
#include "platform/base/handle.h"
#include "platform/base/path.h"
#include "platform/base/utf8.h"
#include "platform/base/version.h"
#include "platform/bundle/bundle.h"
#include "platform/xar/handles.h"
#include "platform/xml/xml.h"

namespace {

constexpr const char* kExtractDirName = "unZipLocationPkgTemp";
constexpr const char* kPackageInfo = "PackageInfo";
constexpr const char* kDistribution = "Distribution";
constexpr const char* kPkgInfoElement = "pkg-info";
constexpr const char* kVersionAttribute = "version";
constexpr const char* kAppElement = "app";
constexpr const char* kIdAttribute = "id";
constexpr const char* kBundleVersionKey = "CFBundleVersion";

// Exists without following a final symbolic link: what a removal would find.
bool existsNoFollow(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

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
            base::removeTree(extractDir_);
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
        std::string extract = base::joinPath(privateDir_, kExtractDirName);
        if (existsNoFollow(extract)) {
            base::removeTree(extract);
        }
        if (!base::pathExists(extract)) {
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
// parsingFileName, which is back to empty afterwards. `refused`, if given,
// tells whether a failure was the reader's refusal.
bool parseMember(XQVersionParseState& state, const std::string& fileName, const std::string& path,
                 bool* refused = nullptr) {
    state.parsingFileName = fileName;
    bool ok;
    {
        XQMetadataParser parser(state);
        ok = parser.parseFile(path);
        if (refused != nullptr) {
            *refused = !ok && parser.refused();
        }
    }
    state.parsingFileName.reset();
    return ok;
}

}  // namespace

// --- The metadata parser ----------------------------------------------------

// The hardened reader reads a document type declaration, refuses entity
// declarations and declarations held outside the document (never loading
// anything), and holds its memory to a budget; the gate only looks at start
// tags.
struct XQMetadataParser::Impl final : xml::Handler {
    explicit Impl(XQVersionParseState& s) : state(&s), parser(*this) {}

    void startElement(const char* name, const char** atts) override {
        XQXMLAttributes attributes;
        for (size_t i = 0; atts != nullptr && atts[i] != nullptr && atts[i + 1] != nullptr;
             i += 2) {
            attributes.emplace(atts[i], atts[i + 1]);
        }
        XQSipLocationCheckVersionHelper::parser(*state, name, attributes);
    }

    XQVersionParseState* state;
    xml::Parser parser;
};

XQMetadataParser::XQMetadataParser(XQVersionParseState& state)
    : impl_(std::make_unique<Impl>(state)) {}

// Here, where Impl is complete.
XQMetadataParser::~XQMetadataParser() = default;

bool XQMetadataParser::parse(const char* data, size_t length, bool isFinal) {
    return impl_->parser.parse(data, length, isFinal);
}

bool XQMetadataParser::parseFile(const std::string& path) {
    return impl_->parser.parseFile(path);
}

bool XQMetadataParser::refused() const {
    switch (impl_->parser.refusal()) {
        case xml::Refusal::ExternalDeclarations:
        case xml::Refusal::EntityDeclaration:
        case xml::Refusal::Memory:
            return true;
        default:
            return false;
    }
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
    if (!infoPath || infoPath->empty() || !base::pathExists(*infoPath)) {
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
    if (!distPath || distPath->empty() || !base::pathExists(*distPath)) {
        return true;
    }
    state.parsedAppId.reset();
    bool refused = false;
    if (!parseMember(state, kDistribution, *distPath, &refused)) {
        // A Distribution that cannot be read does not block a package whose
        // version passed. One the reader refuses (entities, an external
        // subset, too much memory) does: it may well be
        // well-formed and name another application, which must not pass.
        return !refused;
    }
    return state.parsedAppId.has_value() && *state.parsedAppId == xq::kHelperLabel;
}

std::optional<std::string> XQSipLocationCheckVersionHelper::unzipFileFromPkg(
    const std::string& pkgPath, const std::string& toPath, const std::string& fileName) const {
    if (pkgPath.empty() || toPath.empty() || !base::pathExists(pkgPath) ||
        !base::pathExists(toPath)) {
        return std::nullopt;
    }
    std::string destination = base::joinPath(toPath, fileName);
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
    xar::ArchivePtr archive(xar_open(xarPath.c_str(), READ));
    if (!archive) {
        return false;
    }
    xar_register_errhandler(archive.get(), err_callback, nullptr);
    xar::IterPtr iter(xar_iter_new());
    if (!iter) {
        return false;
    }
    for (xar_file_t f = xar_file_first(archive.get(), iter.get()); f != nullptr;
         f = xar_file_next(iter.get())) {
        // The sanitised path: a "/" inside one stored name cannot pose as a
        // directory boundary.
        const base::MallocPtr<char> raw(xar_get_safe_path(f));
        if (!raw) {
            continue;
        }
        std::string path(raw.get());
        if (!base::isValidUtf8(path)) {
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
    return base::compareNumerically(lhs, rhs);
}
