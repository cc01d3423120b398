// The other process of the cross-process xpc tests.
//   xpc_test_peer server PATH       serve the test interface on PATH
//   xpc_test_peer activated NAME    serve on the socket-activation descriptor
//   xpc_test_peer client PATH       send one "runWithReply:" and print the reply
// A serving peer prints "ready" once it accepts and then runs until killed.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/unit/xpc/test_service.h"

namespace {

class AcceptAll final : public xpc::ListenerDelegate {
  public:
    bool shouldAcceptNewConnection(xpc::Listener&,
                                   const std::shared_ptr<xpc::Connection>& connection) override {
        connection->setExportedInterface(xqtest::testInterface());
        connection->setExportedObject(std::make_shared<xqtest::Served>());
        connection->resume();
        return true;
    }
};

[[noreturn]] void serve(const std::shared_ptr<xpc::Listener>& listener) {
    static AcceptAll delegate;
    if (!listener->isValid()) {
        std::printf("no listener\n");
        std::exit(2);
    }
    listener->setDelegate(&delegate);
    listener->resume();
    std::printf("ready\n");
    std::fflush(stdout);
    dispatch::main();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        return 64;
    }
    const std::string mode = argv[1];
    if (mode == "server") {
        serve(xpc::Listener::listenerWithSocketPath(argv[2]));
    }
    if (mode == "activated") {
        auto listener = xpc::Listener::initWithMachServiceName(argv[2]);
        std::printf("LISTEN_PID %s LISTEN_FDS %s\n", std::getenv("LISTEN_PID") ? "set" : "unset",
                    std::getenv("LISTEN_FDS") ? "set" : "unset");
        serve(listener);
    }
    if (mode == "client") {
        auto client = xpc::ClientConnection::connectToPath(argv[2]);
        if (!client) {
            std::printf("no connection\n");
            return 3;
        }
        auto result = client->sendSync("runWithReply:", "c", {}, std::chrono::seconds(10));
        if (result.status == xpc::ClientConnection::Status::Replied) {
            std::printf("%s\n", std::get<bool>(result.values.at(0)) ? "YES" : "NO");
            return 0;
        }
        std::printf("%s\n",
                    result.status == xpc::ClientConnection::Status::TimedOut ? "timeout" : "ended");
        return 4;
    }
    return 64;
}
