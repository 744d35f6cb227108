// qzmaster: a stand-in master server for tests and newcomers. It answers the module's queries
// with directive lines, and its file requests with the real transfer exchange (header, blocks,
// acknowledgements, reblock and restart), serving a master list that points back at itself,
// data files from a folder, and a module update built from a given module file and signed with
// a given Ed25519 key. docs/qzmaster.md describes the options and the behaviour.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qzm {

struct Options {
    std::string address = "127.0.0.1";
    unsigned port = 0;            // 0: an ephemeral port
    std::string dir;              // data files served by name ("" for none)
    std::string updateModule;     // module file offered as an update ("" for none)
    int updateNumber = 0;         // its version as major * 1000 + minor
    std::string signKey;          // file holding the 64-hex-digit private key ("" : unsigned)
    bool unsignedUpdate = false;  // sign the answers but offer the update without a signature
    bool tamper = false;          // change one byte of the module after signing
    bool unthrottled = false;     // ignore the rate asked for
    int dropEvery = 0;            // drop every Nth block on first sending (loss simulation)
    std::vector<std::string> directives;  // lines sent in answer to every query
    // The authentication side: GUIDs it knows with their age in days; any other GUID is
    // answered NOAUTH. authSilent: requests are read and never answered.
    std::vector<std::pair<std::string, int>> guidAges;
    bool authSilent = false;
};

// Writes a new key pair: 64 hexadecimal digits each, private and public. False on failure.
bool makeKeyPair(std::string* privateHex, std::string* publicHex);
// Makes a key pair and writes "<prefix>.key" (mode 0600, never over an existing file) and
// "<prefix>.pub". False with *error set when either was not written whole.
bool writeKeyPair(const std::string& prefix, std::string* error);

class MasterServer {
  public:
    MasterServer() = default;
    ~MasterServer();
    MasterServer(const MasterServer&) = delete;
    MasterServer& operator=(const MasterServer&) = delete;

    // Builds the offered files and binds the socket. False with *error set.
    bool start(const Options& options, std::string* error);
    // Offers another module file as the update, labelled number (the master list changes
    // with it). False with *error set.
    bool offer(const std::string& module, int number, std::string* error);
    unsigned port() const { return port_; }
    // Handles every datagram waiting and sends what the transfers allow; never waits.
    void poll();
    // Lines describing what happened ("query from ...", "sent qzns.dat ...").
    std::vector<std::string>& log() { return log_; }
    // The update file as offered (header line and compressed module).
    const std::string& updateFile() const { return update_; }
    // The master list as offered.
    const std::string& masterList() const { return masters_; }

  private:
    struct Session {
        uint32_t id;
        sockaddr_in to;
        std::string name;
        std::string data;  // compressed
        uint32_t rawSize;
        uint32_t blocks;
        uint32_t acked = 0;  // blocks the module has
        uint32_t sent = 0;   // next block to send
        long long lastProgressUs = 0;
        long long budgetUs = 0;
        long long heardUs = 0;  // the requester's last control packet (or the request)
        int rate = 0;           // bytes per second, 0: unthrottled
        int resends = 0;        // windows sent again in a row without progress
        // The requester answered under the transfer's number, so it saw the header at its
        // address: until then the request may be forged and draws the header alone.
        bool confirmed = false;
        bool done = false;
        std::vector<bool> droppedOnce;
    };
    void packet(const char* data, int length, const sockaddr_in& from);
    void request(const char* text, int length, const sockaddr_in& from);
    void control(const char* text, int length, const sockaddr_in& from);
    void auth(const char* text, int length, const sockaddr_in& from);
    void pump(Session& s, long long nowUs);
    // Ends a transfer that is not going anywhere, with a log line saying why.
    void abandon(Session& s, const char* why);
    void send(const sockaddr_in& to, const char* data, int length);
    bool fileFor(const std::string& name, std::string* raw);
    bool buildOffer(std::string* error);
    // Appends " <signature>" over text (from its offset `from`); false without a key.
    bool signTail(std::string* text, size_t from);

    Options options_;
    int fd_ = -1;
    unsigned port_ = 0;
    bool haveKey_ = false;
    unsigned char key_[32] = {};
    std::string update_;
    std::string masters_;
    std::vector<Session> sessions_;
    std::vector<std::string> log_;
};

}  // namespace qzm
