// The version gate: decides whether an installer package may replace the
// running helper, from two metadata members of its XAR archive. "PackageInfo"
// must carry a version not older than the helper's own CFBundleVersion; a
// readable "Distribution" must name the helper's identifier. Nothing else in
// the package is unpacked.
//
// Concurrency: the parse state belongs to one check. Every call of
// isPkgVersionAllowed() keeps its own XQVersionParseState on its stack and
// hands it to the element callback, so the one gate that the service object
// owns can run for several connections at once without a lock; the object
// itself holds nothing that a check changes.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/xar/xar.h"

// What one check has read so far. `parsingFileName` is "PackageInfo" or
// "Distribution" while that member is parsed and empty between parses.
struct XQVersionParseState {
    std::optional<std::string> parsedVersion;
    std::optional<std::string> parsedAppId;
    std::optional<std::string> parsingFileName;
};

// Element attributes as the parser reports them: name to value.
using XQXMLAttributes = std::map<std::string, std::string>;

// One event-driven parse of a metadata member: no namespace processing (a
// prefixed name keeps its prefix); a document type declaration is read as far
// as the document holds it, and no entity of any kind is defined or loaded.
// Each element start goes to the gate's element callback
// with the check's state. Feed the bytes in any number of pieces.
class XQMetadataParser {
  public:
    XQMetadataParser(XQVersionParseState& state);
    ~XQMetadataParser();
    XQMetadataParser(const XQMetadataParser&) = delete;
    XQMetadataParser& operator=(const XQMetadataParser&) = delete;

    // False as soon as the document is found not well-formed; `isFinal` marks
    // the last piece, after which true means the parse completed.
    bool parse(const char* data, size_t length, bool isFinal);
    // Parses the whole file at `path` in pieces; false if it cannot be read
    // or is not well-formed.
    bool parseFile(const std::string& path);
    // After a failed parse: true when the reader refused the document outright
    // (entity declarations, an external subset or parameter-entity
    // reference, more parser memory than allowed) rather than finding it not well-formed or
    // unreadable.
    bool refused() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

class XQSipLocationCheckVersionHelper {
  public:
    // The helper's own version, read when a check needs it.
    using VersionSource = std::function<std::optional<std::string>()>;

    // Reads the own version from the main bundle's "CFBundleVersion".
    XQSipLocationCheckVersionHelper();
    // Tests give the own version directly.
    explicit XQSipLocationCheckVersionHelper(VersionSource ownVersion);

    // The gate: true when the package at `pkgPath` may be installed. Works in
    // a fresh private directory that is gone again when it returns.
    bool isPkgVersionAllowed(const std::string& pkgPath) const;

    // Extracts the first member whose path ends in `fileName` into `toPath`
    // (which must exist); returns the extracted file's path, or nullopt.
    std::optional<std::string> unzipFileFromPkg(const std::string& pkgPath,
                                                const std::string& toPath,
                                                const std::string& fileName) const;

    // Writes the first member, in archive order, whose path ends in
    // `fileName` to `toFilePath`; true when one matched and was written.
    bool getFileFromXar(const std::string& xarPath, const std::string& toFilePath,
                        const std::string& fileName) const;

    // True unless `pkgVersion` orders strictly before the helper's own
    // version; false when either is missing or empty.
    bool checkPkgVersionAllowed(const std::optional<std::string>& pkgVersion) const;

    // The element-start callback: records the version of a "pkg-info" element
    // while "PackageInfo" is parsed and the id of an "app" element while
    // "Distribution" is parsed; the last matching element wins.
    static void parser(XQVersionParseState& state, const std::string& elementName,
                       const XQXMLAttributes& attributes);

  private:
    VersionSource ownVersion_;
};

// The archive library's error handler: fetches the message and the error
// number and discards them; archive errors surface only as a failed lookup or
// extraction.
int32_t err_callback(int32_t severity, int32_t instance, xar_errctx_t ctx, void* usrctx);

// Orders two strings as the platform's numeric string comparison does: each
// run of ASCII digits compares as one number by its value (leading zeros do
// not count, any length), every other byte compares with its counterpart,
// case-sensitively; when one string ends first it orders first. Returns <0, 0
// or >0.
int XQCompareNumerically(std::string_view lhs, std::string_view rhs);
