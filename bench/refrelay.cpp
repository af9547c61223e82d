// The reference relay for the benchmark: the least work a relay can do. It
// reads lines from the fax link's socket and sends each non-empty one, as it
// is, with sendto() to 127.0.0.1:PORT. No event loop, no conversion.
//
//   refrelay SOCKET PORT

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: refrelay SOCKET PORT\n");
        return 2;
    }
    const int link = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un monitor{};
    monitor.sun_family = AF_UNIX;
    std::strncpy(monitor.sun_path, argv[1], sizeof monitor.sun_path - 1);
    if (connect(link, reinterpret_cast<sockaddr *>(&monitor), sizeof monitor) != 0) {
        std::perror("refrelay: connect");
        return 1;
    }
    const int out = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
    destination.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    std::string pending;
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(link, buffer, sizeof buffer);
        if (got <= 0)
            return 0;
        pending.append(buffer, static_cast<size_t>(got));
        size_t start = 0;
        for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
            size_t length = end - start;
            if (length > 0 && pending[end - 1] == '\r')
                --length;
            if (length > 0)
                sendto(out, pending.data() + start, length, 0, reinterpret_cast<sockaddr *>(&destination),
                       sizeof destination);
        }
        pending.erase(0, start);
    }
}
