#include "src/ipc/SocketOwner.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "lib/log/UniqueFd.h"
#include "src/ipc/FileText.h"

namespace {

// The state column of /proc/net/tcp for an established connection.
constexpr unsigned kProcStateEstablished = 0x01;
constexpr size_t kReplySize = 8192;

struct DiagRequest {
    nlmsghdr header;
    inet_diag_req_v2 body;
};

// An exact lookup: the kernel answers with the one socket whose own local
// address is idiag_src and whose remote one is idiag_dst. Without a
// matching connection it may answer with a listener on the local port,
// which the state test then refuses.
DiagRequest ExactLookup(const TcpConnection& connection) {
    DiagRequest request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = 1;
    request.body.sdiag_family = AF_INET;
    request.body.sdiag_protocol = IPPROTO_TCP;
    request.body.idiag_states = 1U << TCP_ESTABLISHED;
    request.body.id.idiag_sport = connection.local.sin_port;
    request.body.id.idiag_dport = connection.remote.sin_port;
    request.body.id.idiag_src[0] = connection.local.sin_addr.s_addr;
    request.body.id.idiag_dst[0] = connection.remote.sin_addr.s_addr;
    request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    return request;
}

bool IsLiveMatch(const inet_diag_msg& message, const TcpConnection& connection) {
    return message.idiag_state == TCP_ESTABLISHED && message.idiag_inode != 0 &&
           message.id.idiag_sport == connection.local.sin_port &&
           message.id.idiag_dport == connection.remote.sin_port &&
           message.id.idiag_src[0] == connection.local.sin_addr.s_addr &&
           message.id.idiag_dst[0] == connection.remote.sin_addr.s_addr;
}

dclog::UniqueFd DiagSocket(std::chrono::milliseconds timeout) {
    dclog::UniqueFd fd(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
        std::max(timeout, std::chrono::milliseconds(1)));
    const timeval wait{static_cast<time_t>(micros.count() / 1000000),
                       static_cast<suseconds_t>(micros.count() % 1000000)};
    if (fd.valid() && setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0) {
        fd.reset();
    }
    return fd;
}

std::optional<uid_t> OwnerInReply(const char* reply, size_t length, const TcpConnection& connection) {
    for (auto* header = reinterpret_cast<const nlmsghdr*>(reply); NLMSG_OK(header, length);
         header = NLMSG_NEXT(header, length)) {
        if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
            header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
            continue;
        }
        const auto* message = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
        if (IsLiveMatch(*message, connection)) {
            return message->idiag_uid;
        }
    }
    return std::nullopt;
}

// A hexadecimal "address:port" of the /proc table, as the kernel prints
// it: the address in the byte order it keeps (network order read as a
// number), the port in host order.
bool SameEndpoint(unsigned address, unsigned port, const sockaddr_in& endpoint) {
    return address == endpoint.sin_addr.s_addr && port == ntohs(endpoint.sin_port);
}

std::optional<uid_t> OwnerInTableLine(const std::string& line, const TcpConnection& connection) {
    unsigned localAddress = 0;
    unsigned localPort = 0;
    unsigned remoteAddress = 0;
    unsigned remotePort = 0;
    unsigned state = 0;
    unsigned uid = 0;
    unsigned long inode = 0;
    // sl local rem st tx:rx tr:when retrnsmt uid timeout inode
    const int fields = sscanf(line.c_str(), " %*u: %8X:%4X %8X:%4X %2X %*X:%*X %*X:%*X %*X %u %*d %lu",
                              &localAddress, &localPort, &remoteAddress, &remotePort, &state, &uid, &inode);
    if (fields != 7 || state != kProcStateEstablished || inode == 0 ||
        !SameEndpoint(localAddress, localPort, connection.local) ||
        !SameEndpoint(remoteAddress, remotePort, connection.remote)) {
        return std::nullopt;
    }
    return static_cast<uid_t>(uid);
}

}  // namespace

std::optional<TcpConnection> PeerViewOf(int fd) {
    TcpConnection view;
    socklen_t length = sizeof view.local;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&view.local), &length) != 0 ||
        view.local.sin_family != AF_INET) {
        return std::nullopt;
    }
    length = sizeof view.remote;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&view.remote), &length) != 0 ||
        view.remote.sin_family != AF_INET) {
        return std::nullopt;
    }
    return view;
}

std::optional<uid_t> SocketOwnerByNetlink(const TcpConnection& connection,
                                          std::chrono::milliseconds timeout) {
    const dclog::UniqueFd fd = DiagSocket(timeout);
    if (!fd.valid()) {
        return std::nullopt;
    }
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    const DiagRequest request = ExactLookup(connection);
    if (sendto(fd.get(), &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) !=
        static_cast<ssize_t>(sizeof request)) {
        return std::nullopt;
    }
    alignas(nlmsghdr) char reply[kReplySize];
    const ssize_t received = recv(fd.get(), reply, sizeof reply, 0);
    if (received <= 0) {
        return std::nullopt;
    }
    return OwnerInReply(reply, static_cast<size_t>(received), connection);
}

std::optional<uid_t> SocketOwnerByProcTable(const TcpConnection& connection, const std::string& procRoot) {
    const std::optional<std::string> table = ReadFileText(procRoot + "/net/tcp");
    if (!table) {
        return std::nullopt;
    }
    std::istringstream lines(*table);
    for (std::string line; std::getline(lines, line);) {
        if (const std::optional<uid_t> owner = OwnerInTableLine(line, connection)) {
            return owner;
        }
    }
    return std::nullopt;
}

std::optional<uid_t> SocketOwner(const TcpConnection& connection, std::chrono::milliseconds timeout,
                                 const std::string& procRoot) {
    if (const std::optional<uid_t> owner = SocketOwnerByNetlink(connection, timeout)) {
        return owner;
    }
    return SocketOwnerByProcTable(connection, procRoot);
}
