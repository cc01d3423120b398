// The daemon's entry: one service object, which takes over the main thread.
#include "Main/XQSipLocationHelperXPCMgr.h"

int main(int /*argc*/, char** /*argv*/) {
    auto service = XQSipLocationHelperXPCMgr::init();
    if (service) {
        service->run();
    }
    service.reset();
    return 0;
}
