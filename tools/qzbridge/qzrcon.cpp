// qzrcon: sends one remote-console command to a game server and prints its answer. The
// password comes from a file or the environment, as for qzbridge. Exit status: 0 answered,
// 1 no answer, 2 bad usage, 3 password refused.
#include <cstdio>
#include <string>

#include "qzbridge/options.h"
#include "qzbridge/rcon.h"
#include "qzbridge/rcontext.h"

int main(int argc, char** argv) {
    std::string server = "127.0.0.1:27960", source, passwordFile, command;
    int timeoutMs = 2000;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--server" && i + 1 < argc) {
            server = argv[++i];
        } else if (arg == "--source" && i + 1 < argc) {
            source = argv[++i];
        } else if (arg == "--password-file" && i + 1 < argc) {
            passwordFile = argv[++i];
        } else if (arg == "--timeout" && i + 1 < argc) {
            timeoutMs = std::atoi(argv[++i]);
        } else {
            break;
        }
    }
    for (; i < argc; ++i) command += (command.empty() ? "" : " ") + std::string(argv[i]);
    std::string address, password, error;
    int port = 0;
    if (command.empty() || !qzb::parseServer(server, &address, &port)) {
        std::fprintf(stderr,
                     "usage: qzrcon [--server ADDRESS:PORT] [--source ADDRESS] "
                     "[--password-file FILE] [--timeout MS] COMMAND...\n");
        return 2;
    }
    if (!qzb::readPassword(passwordFile, &password, &error)) {
        std::fprintf(stderr, "qzrcon: %s\n", error.c_str());
        return 2;
    }
    qzb::Rcon rcon;
    if (!rcon.open(address, port, source, &error)) {
        std::fprintf(stderr, "qzrcon: %s\n", error.c_str());
        return 2;
    }
    rcon.setPassword(password);
    std::string answer;
    if (!rcon.runNow(command, &answer, timeoutMs)) {
        std::fprintf(stderr, "qzrcon: no answer from %s\n", server.c_str());
        return 1;
    }
    if (qzb::isBadPassword(answer)) {
        std::fprintf(stderr, "qzrcon: the server refused the password\n");
        return 3;
    }
    std::fwrite(answer.data(), 1, answer.size(), stdout);
    return 0;
}
