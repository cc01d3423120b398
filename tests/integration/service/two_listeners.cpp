// A test program: the service object with its own listener at argv[1], and a
// second listener at argv[2] that also asks the service object about its
// connections. Only connections to the service's own listener may be accepted.
#include <cstdio>

#include "Main/XQSipLocationHelperXPCMgr.h"
#include "platform/xpc/xpc.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: two_listeners OWN_SOCKET OTHER_SOCKET\n");
        return 2;
    }
    auto service = XQSipLocationHelperXPCMgr::initWithListener(
        xpc::Listener::listenerWithSocketPath(argv[1]), XQSipLocationHelperParts::compiledIn());
    auto other = xpc::Listener::listenerWithSocketPath(argv[2]);
    if (!service || !service->listener()->isValid() || !other->isValid()) {
        return 2;
    }
    other->setDelegate(service.get());
    other->resume();
    service->run();
    return 0;
}
