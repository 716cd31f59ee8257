#include "closed_port.h"

#include <stdexcept>
#include <winsock2.h>

namespace pupdate::testing {

int closedPort() {
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        throw std::runtime_error("no sockets");
    }
    const SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    const bool bound = socket != INVALID_SOCKET &&
                       ::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    if (socket != INVALID_SOCKET) {
        ::closesocket(socket);
    }
    ::WSACleanup();
    if (!bound) {
        throw std::runtime_error("no port");
    }
    return ntohs(address.sin_port);
}

} // namespace pupdate::testing
