// qzucon: the administrator's UCON client. One-shot ("qzucon HOST:PORT qz_sv_Plist") or
// interactive with line editing and history; one or several servers at once, their answers
// labelled by server. The password comes from a file or the environment, never the command line.
#include <editline/readline.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qzucon/client.h"

namespace {

constexpr int kMaxServers = 16;
constexpr const char* kPrompt = "qzucon> ";

void usage() {
    fprintf(stderr,
            "usage: qzucon [-u USER] [-p PASSWORD-FILE] [-w SECONDS] HOST:PORT[,HOST:PORT...] "
            "[COMMAND...]\n"
            "  USER defaults to $QZUCON_USER; the password is the first line of PASSWORD-FILE,\n"
            "  else $QZUCON_PASSWORD. Without COMMAND, qzucon reads commands interactively.\n");
}

bool readPasswordFile(const char* path, char* out, int size) {
    FILE* f = fopen(path, "r");
    if (!f) return false;
    bool ok = fgets(out, size, f) != nullptr;
    fclose(f);
    if (!ok) return false;
    out[strcspn(out, "\r\n")] = 0;
    return out[0] != 0;
}

long long nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

std::vector<UconClient*> gServers;
bool gQuit = false;


void printLine(const UconClient* c, const char* line) {
    if (gServers.size() > 1) {
        printf("[%s] %s\n", c->label, line);
    } else {
        printf("%s\n", line);
    }
    fflush(stdout);
}

// Prints what every server sends until all have been quiet for quietMs (or waitMs passed).
void drain(int quietMs, int waitMs) {
    long long end = nowMs() + waitMs;
    long long quietSince = nowMs();
    while (nowMs() < end && nowMs() - quietSince < quietMs) {
        for (UconClient* c : gServers) {
            char line[1500];
            int r;
            while (c->open && (r = uconClientRecv(c, line, sizeof line, 0)) != 0) {
                if (r < 0) {
                    fprintf(stderr, "qzucon: %s: %s\n", c->label, c->error);
                    break;
                }
                printLine(c, line);
                quietSince = nowMs();
            }
        }
        usleep(5000);
    }
}

void sendAll(const char* text) {
    for (UconClient* c : gServers) {
        if (c->open && !uconClientSend(c, text))
            fprintf(stderr, "qzucon: %s: %s\n", c->label, c->error[0] ? c->error : "send failed");
    }
}

void onLine(char* line) {
    if (!line) {
        gQuit = true;
        return;
    }
    if (line[0]) add_history(line);
    if (strcmp(line, "quit") == 0 || strcmp(line, "exit") == 0) {
        gQuit = true;
    } else if (line[0]) {
        sendAll(line);
    }
    free(line);
    // The line editor keeps the entered text until the next key: an answer that arrives first
    // would redraw it, as if the next command continued it. Installing the handler again
    // starts a fresh, empty line under a new prompt.
    if (!gQuit) {
        rl_callback_handler_remove();
        rl_callback_handler_install(kPrompt, onLine);
    }
}

void interactive() {
    rl_callback_handler_install(kPrompt, onLine);
    long long heartbeat = nowMs() + 30000;
    while (!gQuit) {
        std::vector<pollfd> fds;
        fds.push_back({STDIN_FILENO, POLLIN, 0});
        for (UconClient* c : gServers)
            if (c->open) fds.push_back({c->sock, POLLIN, 0});
        if (fds.size() == 1) break;  // every session ended
        poll(fds.data(), fds.size(), 1000);
        if (fds[0].revents & (POLLIN | POLLHUP)) rl_callback_read_char();
        for (UconClient* c : gServers) {
            char line[1500];
            int r;
            while (c->open && (r = uconClientRecv(c, line, sizeof line, 0)) != 0) {
                if (r < 0) {
                    fprintf(stderr, "\nqzucon: %s: %s\n", c->label, c->error);
                    break;
                }
                // The answer replaces the prompt line; the prompt, with what is being typed,
                // follows it.
                printf("\r\033[K");
                printLine(c, line);
                rl_forced_update_display();
            }
        }
        if (nowMs() >= heartbeat) {
            sendAll("");  // keeps the sessions from timing out
            heartbeat = nowMs() + 30000;
        }
    }
    rl_callback_handler_remove();
    printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    const char* user = getenv("QZUCON_USER");
    const char* passwordFile = nullptr;
    int waitSeconds = 5;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        if (!strcmp(argv[i], "-u") && i + 1 < argc) {
            user = argv[++i];
        } else if (!strcmp(argv[i], "-p") && i + 1 < argc) {
            passwordFile = argv[++i];
        } else if (!strcmp(argv[i], "-w") && i + 1 < argc) {
            waitSeconds = atoi(argv[++i]);
        } else if (!strcmp(argv[i], "-h") || !strcmp(argv[i], "--help")) {
            usage();
            return 0;
        } else {
            fprintf(stderr, "qzucon: unknown option %s (a password is never taken from the "
                            "command line: use -p FILE or QZUCON_PASSWORD)\n", argv[i]);
            usage();
            return 2;
        }
    }
    if (i >= argc) {
        usage();
        return 2;
    }
    if (!user || !*user) {
        fprintf(stderr, "qzucon: no user name (-u USER or QZUCON_USER)\n");
        return 2;
    }
    char password[128] = "";
    if (passwordFile) {
        if (!readPasswordFile(passwordFile, password, sizeof password)) {
            fprintf(stderr, "qzucon: cannot read a password from %s\n", passwordFile);
            return 2;
        }
    } else if (const char* env = getenv("QZUCON_PASSWORD")) {
        snprintf(password, sizeof password, "%s", env);
    }
    if (!password[0]) {
        fprintf(stderr, "qzucon: no password (-p FILE or QZUCON_PASSWORD)\n");
        return 2;
    }

    std::string list = argv[i++];
    int failed = 0;
    size_t start = 0;
    while (start <= list.size() && gServers.size() < kMaxServers) {
        size_t comma = list.find(',', start);
        std::string one = list.substr(start, comma == std::string::npos ? std::string::npos
                                                                        : comma - start);
        start = comma == std::string::npos ? list.size() + 1 : comma + 1;
        if (one.empty()) continue;
        auto* c = new UconClient;
        if (!uconClientConnect(c, one.c_str(), user, password) ||
            !uconClientLogin(c, waitSeconds * 1000)) {
            fprintf(stderr, "qzucon: %s: %s\n", one.c_str(), c->error);
            failed++;
            uconClientClose(c);
            delete c;
            continue;
        }
        gServers.push_back(c);
    }
    memset(password, 0, sizeof password);
    if (gServers.empty()) return 1;

    if (i < argc) {
        std::string command;
        for (; i < argc; ++i) {
            if (!command.empty()) command += ' ';
            command += argv[i];
        }
        drain(200, 1000);  // the greeting
        sendAll(command.c_str());
        drain(500, waitSeconds * 1000);
    } else {
        drain(200, 1000);
        interactive();
    }
    for (UconClient* c : gServers) {
        uconClientClose(c);
        delete c;
    }
    return failed ? 1 : 0;
}
