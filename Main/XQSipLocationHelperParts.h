// What the service object works with, besides its own state: the caller
// check, the package check, staging, the version gate, the child-process
// runner and the compiled-in paths. The daemon's entry builds them once
// (compiledIn) and hands them to the service; a test hands in the real parts
// too, replacing only the one in which it injects a fault.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/base/fd.h"
#include "platform/process/process.h"

namespace xpc {
class Connection;
}
class XQSipLocationCheckVersionHelper;

struct XQSipLocationHelperParts {
    // The helper's label (its service name, its job's label) and the group
    // that, besides root, may connect ("" for root alone).
    std::string label;
    std::string clientGroup;

    // True if the peer of a new connection is the authorised client.
    std::function<bool(xpc::Connection*)> isValidConnection;
    // Both signature checks of the package at a path (the staged copy).
    std::function<bool(const std::string&)> isPkgCodesignValid;

    // The client's package: opens the path that the client of the request
    // running on the calling thread named, with the rights of the user on
    // whose behalf that client runs, as a regular file for reading (invalid
    // when that user could not, or there is no such client); both signature
    // checks of the package open at a descriptor, which the client named by
    // that path.
    std::function<base::UniqueFd(const std::string& path)> openClientPackage;
    std::function<bool(int fd, const std::string& path)> isOpenPkgCodesignValid;

    // Staging: makes the temporary directory if missing and removes what an
    // earlier process left there; copies the package open at a descriptor
    // into a fresh private directory (the staged path, or nullopt); the link
    // tests on the staged copy; removes a staged copy with its directory.
    std::function<void()> prepareTemporaryDirectory;
    std::function<std::optional<std::string>(int sourceFd, const std::string& dstFileName)>
        copyToPrivateDirectory;
    std::function<bool(const std::string&)> isSymbolicLink;
    std::function<bool(const std::string&)> isHardLink;
    std::function<void(const std::string&)> removeStagedFile;

    // The version gate, shared by every connection.
    std::shared_ptr<XQSipLocationCheckVersionHelper> checkVersionHelper;

    // Starts a child process and waits for it.
    std::function<process::Result(const process::Task&)> runTask;

    // Programs of the children, and the installed files of the helper ("%@"
    // is replaced by the label).
    std::string sudoPath;
    std::string installerPath;
    std::string launchctlPath;
    std::string launchDaemonPlistFormat;
    std::string privilegedHelperToolFormat;

    // Called with the client's package path after its first signature check
    // passed and before it is staged (a test build swaps the file there).
    std::function<void(const std::string&)> afterFirstPackageCheck;

    // The parts this executable was built with: its compiled-in paths and
    // the real checks, staging and runner.
    static XQSipLocationHelperParts compiledIn();
};
