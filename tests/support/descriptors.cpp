#include "tests/support/descriptors.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstring>

namespace xqtest {
namespace {

// A message of the bytes at `data` with room for one descriptor.
struct OneDescriptorMessage {
    iovec io{};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    OneDescriptorMessage(char* data, size_t size) : io{data, size} {
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
    }
    OneDescriptorMessage(const OneDescriptorMessage&) = delete;
    OneDescriptorMessage& operator=(const OneDescriptorMessage&) = delete;
};

}  // namespace

ssize_t sendWithDescriptor(int socket, const std::string& bytes, int fd) {
    OneDescriptorMessage m(const_cast<char*>(bytes.data()), bytes.size());
    msghdr& message = m.message;
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    return ::sendmsg(socket, &message, MSG_NOSIGNAL);
}

int receiveDescriptor(int socket) {
    char byte = 0;
    OneDescriptorMessage m(&byte, 1);
    msghdr& message = m.message;
    if (::recvmsg(socket, &message, 0) != 1) {
        return -1;
    }
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    int fd = -1;
    if (c != nullptr && c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
        std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
    }
    return fd;
}

}  // namespace xqtest
