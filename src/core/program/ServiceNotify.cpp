#include "program/ServiceNotify.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace kv {

bool NotifyServiceManager(const std::string& state) {
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (!name || (name[0] != '/' && name[0] != '@'))
        return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const size_t length = std::strlen(name);
    if (length >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, name, length);
    if (name[0] == '@')
        addr.sun_path[0] = '\0'; // abstract namespace: the name is not NUL-terminated
    const socklen_t addrLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);

    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    ssize_t sent = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                            reinterpret_cast<const sockaddr*>(&addr), addrLength);
    ::close(fd);
    return sent == static_cast<ssize_t>(state.size());
}

} // namespace kv
