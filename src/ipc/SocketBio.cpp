#include "src/ipc/SocketBio.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdint>

namespace {

int FdOf(BIO* bio) {
    return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
}

bool IsTransient(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

int WriteEx(BIO* bio, const char* data, size_t length, size_t* written) {
    BIO_clear_retry_flags(bio);
    const ssize_t result = send(FdOf(bio), data, length, MSG_NOSIGNAL);
    if (result >= 0) {
        *written = static_cast<size_t>(result);
        return 1;
    }
    if (IsTransient(errno)) {
        BIO_set_retry_write(bio);
    }
    return 0;
}

int ReadEx(BIO* bio, char* data, size_t length, size_t* readBytes) {
    BIO_clear_retry_flags(bio);
    const ssize_t result = recv(FdOf(bio), data, length, 0);
    if (result > 0) {
        *readBytes = static_cast<size_t>(result);
        return 1;
    }
    if (result < 0 && IsTransient(errno)) {
        BIO_set_retry_read(bio);
    }
    return 0;
}

long Control(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int Create(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* Method() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "no-signal socket");
        BIO_meth_set_write_ex(m, WriteEx);
        BIO_meth_set_read_ex(m, ReadEx);
        BIO_meth_set_ctrl(m, Control);
        BIO_meth_set_create(m, Create);
        return m;
    }();
    return method;
}

}  // namespace

BIO* NewNoSignalSocketBio(int fd) {
    BIO* bio = BIO_new(Method());
    if (bio != nullptr) {
        BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
    }
    return bio;
}
