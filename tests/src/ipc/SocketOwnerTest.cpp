// The owner of the far end of a loopback connection, asked of the kernel
// and read from the /proc table: a listener of another user, one of root,
// and connections that are not (or not yet) live.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "lib/log/UniqueFd.h"
#include "src/ipc/SocketOwner.h"
#include "tests/support/Sandbox.h"

namespace {

using namespace std::chrono_literals;
using dclog::UniqueFd;

constexpr uid_t kNobody = 65534;

UniqueFd LoopbackListener() {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd.get(), 4) != 0) {
        fd.reset();
    }
    return fd;
}

uint16_t PortOf(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

UniqueFd ConnectTo(uint16_t port) {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        fd.reset();
    }
    return fd;
}

// The owner by both ways; they must agree.
std::optional<uid_t> OwnerOfPeer(int connected) {
    const std::optional<TcpConnection> view = PeerViewOf(connected);
    EXPECT_TRUE(view);
    if (!view) {
        return std::nullopt;
    }
    const std::optional<uid_t> byNetlink = SocketOwnerByNetlink(*view, 5s);
    EXPECT_EQ(byNetlink, SocketOwnerByProcTable(*view, "/proc"));
    EXPECT_EQ(byNetlink, SocketOwner(*view, 5s));
    return byNetlink;
}

// Listens as nobody, reports its port, accepts one connection, reports
// that, and holds it until its input ends.
int ServeAsNobody() {
    UniqueFd listener = LoopbackListener();
    printf("%u\n", PortOf(listener.get()));
    fflush(stdout);
    UniqueFd accepted(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    printf("accepted %d\n", accepted.valid() ? 1 : 0);
    fflush(stdout);
    char byte = 0;
    while (read(STDIN_FILENO, &byte, 1) > 0) {
    }
    return 0;
}

TEST(SocketOwner, NamesTheUserOfTheAcceptedSocketThroughNetlinkAndTheProcTable) {
    sandbox::ChildProcess server({.uid = kNobody, .gid = kNobody, .inputPipe = true}, ServeAsNobody);
    const std::optional<std::string> port = server.ReadLine(10s);
    ASSERT_TRUE(port && !port->empty());
    const UniqueFd toNobody = ConnectTo(static_cast<uint16_t>(std::stoi(*port)));
    ASSERT_TRUE(toNobody.valid());
    ASSERT_EQ(server.ReadLine(10s), "accepted 1");
    EXPECT_EQ(OwnerOfPeer(toNobody.get()), kNobody);

    const UniqueFd listener = LoopbackListener();
    ASSERT_TRUE(listener.valid());
    const UniqueFd toRoot = ConnectTo(PortOf(listener.get()));
    const UniqueFd accepted(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(accepted.valid());
    EXPECT_EQ(OwnerOfPeer(toRoot.get()), 0u);
    // Established in the kernel but not accepted yet: no process has it.
    const UniqueFd waiting = ConnectTo(PortOf(listener.get()));
    ASSERT_TRUE(waiting.valid());
    EXPECT_EQ(OwnerOfPeer(waiting.get()), std::nullopt);
}

TEST(SocketOwner, FindsNoOwnerForAConnectionThatDoesNotExist) {
    const UniqueFd listener = LoopbackListener();
    const UniqueFd client = ConnectTo(PortOf(listener.get()));
    const UniqueFd accepted(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    std::optional<TcpConnection> view = PeerViewOf(client.get());
    ASSERT_TRUE(view);
    // The service's side still names the listening port, so a lookup that
    // fell back to the listener would find root.
    const UniqueFd unused = LoopbackListener();
    view->remote.sin_port = htons(PortOf(unused.get()));
    EXPECT_EQ(SocketOwnerByNetlink(*view, 5s), std::nullopt);
    EXPECT_EQ(SocketOwnerByProcTable(*view, "/proc"), std::nullopt);
    EXPECT_EQ(SocketOwner(*view, 5s), std::nullopt);
}

TEST(SocketOwner, ProcTableCountsOnlyTheEstablishedEntryWithAnInode) {
    TcpConnection view;
    view.local.sin_family = view.remote.sin_family = AF_INET;
    view.local.sin_addr.s_addr = view.remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    view.local.sin_port = htons(0x1F90);
    view.remote.sin_port = htons(0xA3B2);
    const std::string header =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
    const std::string listening =
        "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 4711 1 "
        "0000000000000000 100 0 0 10 0\n";
    const std::string timeWait =
        "   1: 0100007F:1F90 0100007F:A3B2 06 00000000:00000000 03:00001770 00000000     0        0 0 3 "
        "0000000000000000\n";
    const std::string established =
        "   2: 0100007F:1F90 0100007F:A3B2 01 00000000:00000000 00:00000000 00000000  1234        0 90210 1 "
        "0000000000000000 20 4 30 10 -1\n";
    const sandbox::TempDir proc;
    proc.Write("net/tcp", header + listening + timeWait);
    EXPECT_EQ(SocketOwnerByProcTable(view, proc.Path()), std::nullopt);
    proc.Write("net/tcp", header + listening + timeWait + established);
    EXPECT_EQ(SocketOwnerByProcTable(view, proc.Path()), 1234u);
    std::swap(view.local, view.remote);
    EXPECT_EQ(SocketOwnerByProcTable(view, proc.Path()), std::nullopt);
    EXPECT_EQ(SocketOwnerByProcTable(view, proc.Path() + "/missing"), std::nullopt);
}

}  // namespace
