#include "Common/XQCheckPkgSignatureHelper.h"

#include <utility>

#include "codesign_verify/pkg_verify/pkg_verify.h"

void logCallback(const char* /*message*/) {}

bool XQCheckPkgSignatureHelper::isPkgCodesignValidForPathSync(
    const std::optional<std::string>& path) {
    return is_pkg_codesign_valid(path ? path->c_str() : nullptr, logCallback);
}

bool XQCheckPkgSignatureHelper::isPkgCodesignValidForDescriptorSync(
    int fd, const std::optional<std::string>& path) {
    return is_pkg_codesign_valid_for_descriptor(fd, path ? path->c_str() : nullptr, logCallback);
}

void XQCheckPkgSignatureHelper::verifyPkgCodesignValidityForPathAsync(
    const std::optional<std::string>& path, std::function<void(bool)> completion) {
    // The task owns copies of both, so the caller's may go away at once.
    dispatch::async(validCodeSignQueue(), [path, completion = std::move(completion)]() mutable {
        const bool valid = is_pkg_codesign_valid(path ? path->c_str() : nullptr, logCallback);
        dispatch::async(dispatch::get_main_queue(), [completion = std::move(completion), valid]() {
            if (completion) {
                completion(valid);
            }
        });
    });
}

dispatch::QueuePtr XQCheckPkgSignatureHelper::validCodeSignQueue() {
    static dispatch::once_t onceToken;
    static dispatch::QueuePtr queue;
    dispatch::once(onceToken,
                   [] { queue = dispatch::queue_create("XQCheckPkgSignatureHelper.Valid.Queue"); });
    return queue;
}
