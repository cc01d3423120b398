// The daemon's entry: puts the service's parts together from what this
// executable was built with, and makes the one service object, which takes
// over the main thread.
#include <errno.h>

#include <cstdio>

#include "Main/XQSipLocationHelperParts.h"
#include "Main/XQSipLocationHelperXPCMgr.h"

int main(int /*argc*/, char** /*argv*/) {
    auto service = XQSipLocationHelperXPCMgr::init(XQSipLocationHelperParts::compiledIn());
    // Without a socket to listen on, nobody could ever reach the service:
    // say so and end, rather than idle for ever.
    const auto listener = service ? service->listener() : nullptr;
    if (!listener || !listener->isValid()) {
        std::fprintf(stderr, "%s: %s\n", program_invocation_short_name,
                     listener ? listener->errorDescription().c_str() : "no listener");
        return 1;
    }
    service->run();
    service.reset();
    return 0;
}
