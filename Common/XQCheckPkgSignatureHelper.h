// The daemon's entry to the package signature verdict: both independent
// checks of the pkg_verify library, under the maker's compiled-in identity.
// The library's messages are dropped; only the verdict travels back.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/dispatch/dispatch.h"

// Ignores the library's message: the daemon writes no log.
void logCallback(const char* message);

class XQCheckPkgSignatureHelper {
  public:
    XQCheckPkgSignatureHelper() = delete;

    // True if the package at `path` is accepted. Runs on the calling thread
    // and blocks it until both checks (the package tool's run included) are
    // done. A missing path (nullopt) is refused.
    static bool isPkgCodesignValidForPathSync(const std::optional<std::string>& path);

    // The same check of the package open at `fd`, which the client named
    // `path`: both checks read the file behind the descriptor, so what was
    // opened (with the client's user's rights) is what is checked, whatever
    // the path names by then.
    static bool isPkgCodesignValidForDescriptorSync(int fd, const std::optional<std::string>& path);

    // Runs the same check on the verification queue, in submission order,
    // then calls `completion` (if any) with the verdict on the main queue.
    // Returns at once.
    static void verifyPkgCodesignValidityForPathAsync(const std::optional<std::string>& path,
                                                      std::function<void(bool)> completion);

    // The process-wide serial verification queue
    // "XQCheckPkgSignatureHelper.Valid.Queue", made on first use.
    static dispatch::QueuePtr validCodeSignQueue();
};
