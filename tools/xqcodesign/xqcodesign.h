// xqcodesign: signs an ELF executable with the Linux code signature, verifies
// one against the compiled-in (or given) anchors, and displays one.
#pragma once

namespace xqcodesign {

// The whole tool: returns the exit status (0 success, 1 refused or failed,
// 2 usage error).
int run(int argc, char** argv);

}  // namespace xqcodesign
