#include "net/NoSignalBio.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdint>

namespace net {
namespace {

int Descriptor(BIO* bio) { return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio))); }

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

int Write(BIO* bio, const char* data, int length) {
  BIO_clear_retry_flags(bio);
  const ssize_t count = send(Descriptor(bio), data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
  if (count < 0 && WouldBlock(errno)) BIO_set_retry_write(bio);
  return static_cast<int>(count);
}

int Read(BIO* bio, char* buffer, int length) {
  BIO_clear_retry_flags(bio);
  const ssize_t count = recv(Descriptor(bio), buffer, static_cast<std::size_t>(length), 0);
  if (count == 0) BIO_set_flags(bio, BIO_FLAGS_IN_EOF);  // lets OpenSSL tell a truncated stream
  if (count < 0 && WouldBlock(errno)) BIO_set_retry_read(bio);
  return static_cast<int>(count);
}

long Control(BIO* bio, int command, long, void*) {
  switch (command) {
    case BIO_CTRL_FLUSH:
      return 1;
    case BIO_CTRL_EOF:
      return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0 ? 1 : 0;
    default:
      return 0;
  }
}

}  // namespace

BIO_METHOD* NewNoSignalSocketMethod() {
  BIO_METHOD* method =
      BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "socket without SIGPIPE");
  if (method != nullptr) {
    BIO_meth_set_write(method, Write);
    BIO_meth_set_read(method, Read);
    BIO_meth_set_ctrl(method, Control);
  }
  return method;
}

BIO* NewNoSignalSocketBio(const BIO_METHOD* method, int fd) {
  BIO* bio = method != nullptr ? BIO_new(method) : nullptr;
  if (bio == nullptr) return nullptr;
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
  BIO_set_init(bio, 1);
  return bio;
}

}  // namespace net
