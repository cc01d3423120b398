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

XQSipLocationHelperParts XQSipLocationHelperParts::compiledIn() {
    XQSipLocationHelperParts parts;
    parts.label = xq::kHelperLabel;
    parts.clientGroup = xq::paths::kClientGroup;
    parts.isValidConnection = &XQSipCheckXPCSignatureHelper::isValidConnection;
    parts.isPkgCodesignValid = [](const std::string& path) {
        return XQCheckPkgSignatureHelper::isPkgCodesignValidForPathSync(path);
    };
    parts.prepareTemporaryDirectory = [] {
        // A directory that another living process holds is left alone.
        (void)XQDaemonToolHelper::makeTemporaryDirectoryIfMissing();
        (void)XQDaemonToolHelper::removeAbandonedPrivateDirectories();
    };
    parts.copyToPrivateDirectory = &XQDaemonToolHelper::copyRegularFileToPrivateDirectory;
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
