// The remote-console link to one game server: a UDP socket, a queue of commands sent one at a
// time, and a budget that keeps within the server's limit on requests per source address (a
// burst of 10, then about one a second), so that no command is silently dropped by the server.
#pragma once

#include <netinet/in.h>

#include <deque>
#include <string>

namespace qzb {

// What a queued command was for; the bridge decides what to do with the answer by it.
enum class Purpose { kPlain, kShown, kStatus, kDumpUser, kServerInfo, kCvar, kMaps };

struct Reply {
    Purpose purpose = Purpose::kPlain;
    int client = -1;      // the client the command was about, -1 for none
    int tag = 0;          // the sender's mark, to tell a stale answer from the awaited one
    std::string command;  // as sent (never with the password)
    bool answered = false;
    bool badPassword = false;
    std::string text;
};

// The server's budget as the server keeps it: a leaky bucket per source address.
class Budget {
  public:
    Budget(int burst, int periodMs) : burst_(burst), period_(periodMs) {}
    // True (and one unit used) when a request may be sent at nowMs.
    bool take(long long nowMs);
    // The earliest time from which take would succeed.
    long long readyAt(long long nowMs) const;

  private:
    void drain(long long nowMs, int* count, long long* last) const;
    int burst_, period_;
    int count_ = 0;
    long long last_ = 0;
};

class Rcon {
  public:
    Rcon();
    ~Rcon();
    Rcon(const Rcon&) = delete;
    Rcon& operator=(const Rcon&) = delete;

    // Opens the socket towards HOST:PORT (a numeric IPv4 address), from SOURCE when it is not
    // empty. False with *error set when it cannot.
    bool open(const std::string& host, int port, const std::string& source, std::string* error);
    // The password is kept here only; nothing that prints or logs ever reads it back.
    void setPassword(std::string password) { password_ = std::move(password); }
    int fd() const { return fd_; }

    // Queues a command. URGENT commands (kicks, connect look-ups) go before the others. The
    // command is not sent before notBeforeMs. TAG comes back in its reply.
    void send(const std::string& command, Purpose purpose, int client, bool urgent,
              long long notBeforeMs = 0, int tag = 0);
    // Reads what has arrived, finishes an answer once the server has been quiet, and sends the
    // next command when the budget allows. Never waits.
    void pump(long long nowMs);
    // The next finished command, oldest first.
    bool take(Reply* out);
    // When pump has work to do next (a wait for quiet, a time-out, the budget); -1: none.
    long long nextWakeMs(long long nowMs) const;
    // Runs COMMAND now and waits for its whole answer, at most timeoutMs (for the capture of a
    // command's output). The command in flight, if any, is finished first and kept for take.
    bool runNow(const std::string& command, std::string* answer, int timeoutMs);
    // Commands waiting to be sent.
    size_t queued() const { return queue_.size(); }
    // Forgets the commands waiting to be sent; returns how many there were.
    size_t clearQueue() {
        size_t n = queue_.size();
        queue_.clear();
        return n;
    }
    // Whether the last command got an answer.
    bool answering() const { return answering_; }

    static long long nowMs();

  private:
    struct Pending {
        std::string command;
        Purpose purpose;
        int client;
        long long notBefore;
        bool urgent;
        int tag;
    };
    bool sendPacket(const std::string& command);
    void readPackets(long long nowMs);
    void finish(bool answered);

    int fd_ = -1;
    sockaddr_in server_{};
    std::string password_;
    Budget budget_;
    std::deque<Pending> queue_;
    bool inFlight_ = false;
    Reply current_;
    long long sentAt_ = 0, lastPacketAt_ = 0;
    bool gotPacket_ = false;
    bool answering_ = true;
    std::deque<Reply> done_;
};

}  // namespace qzb
