// The service's welcome on the socket: a wire message with the shared block's descriptor
// alongside (SCM_RIGHTS). One layout for the side that sends it and the side that takes it.
#pragma once

#include <sys/socket.h>

#include <cstring>
#include <optional>

#include "backplane/service.h"

namespace k5320::backplane::wire {

class WelcomeMessage {
  public:
    WelcomeMessage() {
        header_.msg_iov = &part_;
        header_.msg_iovlen = 1;
        header_.msg_control = control_;
        header_.msg_controllen = sizeof control_;
    }
    WelcomeMessage(const WelcomeMessage&) = delete;
    WelcomeMessage& operator=(const WelcomeMessage&) = delete;

    Message& message() { return message_; }
    msghdr* header() { return &header_; }
    // Sending side: puts the descriptor into the control part.
    void attach(int fd) {
        cmsghdr* item = CMSG_FIRSTHDR(&header_);
        item->cmsg_level = SOL_SOCKET;
        item->cmsg_type = SCM_RIGHTS;
        item->cmsg_len = CMSG_LEN(sizeof fd);
        std::memcpy(CMSG_DATA(item), &fd, sizeof fd);
    }
    // Receiving side: the descriptor that came along, if one did.
    std::optional<int> attached() {
        cmsghdr* item = CMSG_FIRSTHDR(&header_);
        if (item == nullptr || item->cmsg_level != SOL_SOCKET || item->cmsg_type != SCM_RIGHTS)
            return std::nullopt;
        int fd = -1;
        std::memcpy(&fd, CMSG_DATA(item), sizeof fd);
        return fd;
    }

  private:
    Message message_{};
    iovec part_{&message_, sizeof message_};
    alignas(cmsghdr) char control_[CMSG_SPACE(sizeof(int))] = {};
    msghdr header_{};
};

}  // namespace k5320::backplane::wire
