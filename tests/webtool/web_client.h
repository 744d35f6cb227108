// A small HTTP client for the WebTool tests and benchmarks: blocking connect on loopback, then
// non-blocking reads so the caller can run module frames while it waits for the answer.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>

namespace webtest {

// A port that was free a moment ago on 127.0.0.1 (bound to port 0 and released).
inline int freePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

// Connects to 127.0.0.1:port; -1 on failure. The socket is non-blocking after the connect.
inline int connectTo(int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<unsigned short>(port));
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
    return s;
}

// Connects to 127.0.0.1:port from the loopback address from (for example "127.0.0.2"); -1 on
// failure. Non-blocking after the connect.
inline int connectFrom(int port, const char* from) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<unsigned short>(port));
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(s);
        return -1;
    }
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
    return s;
}

inline bool sendText(int s, const std::string& text) {
    size_t off = 0;
    while (off < text.size()) {
        ssize_t n = send(s, text.data() + off, text.size() - off, MSG_NOSIGNAL);
        if (n > 0) {
            off += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

// Reads what has arrived; true once the server closed the connection.
inline bool readSome(int s, std::string* answer) {
    char buf[65536];
    for (;;) {
        ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n > 0) {
            answer->append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n == 0) return true;
        return !(errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
    }
}

// Runs frame() until the server closes the connection or maxFrames pass; returns the answer.
inline std::string awaitAnswer(int s, const std::function<void()>& frame, int maxFrames = 50) {
    std::string answer;
    for (int i = 0; i < maxFrames; ++i) {
        frame();
        if (readSome(s, &answer)) break;
    }
    return answer;
}

// A POST of a text/plain form to /qzsvweb.
inline std::string postPlain(const std::string& body) {
    return "POST /qzsvweb HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace webtest
