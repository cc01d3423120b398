// The one place where the service's parts are put together from what this
// executable was built with.
#include "Main/XQSipLocationHelperParts.h"

#include "Common/XQCheckPkgSignatureHelper.h"
#include "Common/XQCompiledPaths.h"
#include "Common/XQDaemonToolHelper.h"
#include "Common/XQHelperLabel.h"
#include "Common/XQSipCheckXPCSignatureHelper.h"
#include "Common/profiles/XQInstallSeam.h"
#include "Main/XQSipLocationCheckVersionHelper.h"
#include "platform/xpc/xpc.h"

XQSipLocationHelperParts XQSipLocationHelperParts::compiledIn() {
    XQSipLocationHelperParts parts;
    parts.label = xq::kHelperLabel;
    parts.clientGroup = xq::paths::kClientGroup;
    parts.isValidConnection = &XQSipCheckXPCSignatureHelper::isValidConnection;
    parts.isPkgCodesignValid = [](const std::string& path) {
        return XQCheckPkgSignatureHelper::isPkgCodesignValidForPathSync(path);
    };
    parts.openClientPackage = [](const std::string& path) {
        const std::shared_ptr<xpc::Connection> client = xpc::Connection::currentConnection();
        const std::optional<base::ProcessUser> user =
            client ? client->peerUser() : std::optional<base::ProcessUser>();
        return user ? XQDaemonToolHelper::openRegularFileAs(path, *user) : base::UniqueFd();
    };
    parts.isOpenPkgCodesignValid = [](int fd, const std::string& path) {
        return XQCheckPkgSignatureHelper::isPkgCodesignValidForDescriptorSync(fd, path);
    };
    parts.prepareTemporaryDirectory = [] {
        // A directory that another living process holds is left alone.
        (void)XQDaemonToolHelper::makeTemporaryDirectoryIfMissing();
        (void)XQDaemonToolHelper::removeAbandonedPrivateDirectories();
    };
    parts.copyToPrivateDirectory = [](int sourceFd, const std::string& dstFileName) {
        return XQDaemonToolHelper::copyRegularFileToPrivateDirectory(sourceFd, dstFileName);
    };
    parts.isSymbolicLink = &XQDaemonToolHelper::isSymbolicLinkWithPath;
    parts.isHardLink = &XQDaemonToolHelper::isHardLinkWithPath;
    parts.removeStagedFile = &XQDaemonToolHelper::removeStagedFile;
    parts.checkVersionHelper = std::make_shared<XQSipLocationCheckVersionHelper>();
    parts.runTask = &process::run;
    parts.sudoPath = xq::paths::kSudoPath;
    parts.installerPath = xq::paths::kInstallerPath;
    parts.launchctlPath = xq::paths::kLaunchctlPath;
    parts.launchDaemonPlistFormat = xq::paths::kLaunchDaemonPlistFormat;
    parts.privilegedHelperToolFormat = xq::paths::kPrivilegedHelperToolFormat;
    parts.afterFirstPackageCheck = &xq::seams::afterFirstPackageCheck;
    return parts;
}
