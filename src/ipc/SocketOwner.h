// Who owns the other end of a loopback TCP connection: the uid of the
// socket the kernel holds for it. A listener only proves it could bind a
// port; the owner of the accepted socket says which user really answers.
//
// Only a live, accepted connection counts: the socket must be in state
// ESTABLISHED and have an inode (an entry in TIME_WAIT, or one still in a
// listener's accept queue, has none). Plain functions; they log nothing,
// the caller reports what it makes of the answer.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

// One IPv4 TCP connection as one of its ends sees it.
struct TcpConnection {
    sockaddr_in local{};
    sockaddr_in remote{};
};

// The connection of the connected socket fd as its peer sees it: our
// address is its remote one. None when fd is not a connected IPv4 socket.
std::optional<TcpConnection> PeerViewOf(int fd);

// Asks the kernel through NETLINK_SOCK_DIAG for the socket with exactly
// this local and remote address. None when there is no such live socket,
// or netlink is unavailable or gives no answer within timeout.
std::optional<uid_t> SocketOwnerByNetlink(const TcpConnection& connection, std::chrono::milliseconds timeout);

// The same from the table in <procRoot>/net/tcp.
std::optional<uid_t> SocketOwnerByProcTable(const TcpConnection& connection, const std::string& procRoot);

// Netlink first, then the /proc table when netlink found none.
std::optional<uid_t> SocketOwner(const TcpConnection& connection, std::chrono::milliseconds timeout,
                                 const std::string& procRoot = "/proc");
