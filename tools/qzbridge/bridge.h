// qzbridge's host: it loads qzsv.so as a game server would and plays that game server for the
// module, while the real game server runs unmodified beside it. What the module needs to know
// comes from the server's game log (connects, renames, disconnects, map starts) and its remote
// console (addresses, GUIDs, the slot table, game variables); what the module asks of its host
// goes to the server as remote-console commands. docs/bridge.md describes the design.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "host/qzsv.h"
#include "qzbridge/logtail.h"
#include "qzbridge/rcon.h"
#include "qzbridge/rcontext.h"

namespace qzb {

using SaFn_t = int (*)(const qz_host* host);
using SbFn_t = int (*)(int event, int slot, const char* data, int length);

struct Options {
    std::string module;                // path of qzsv.so
    std::string server = "127.0.0.1";  // the game server's address (numeric IPv4)
    int port = 27960;
    std::string source;  // local address to send from (empty: the system's choice)
    std::string log;     // the game server's log file
    std::string home;    // the module's game home: its files go to HOME/qz/
    std::string password;
    bool verbose = false;  // also show the look-ups sent to the server
};

// One client of the game server, by its client number (the module's slot is that number + 1).
struct Client {
    enum State { kFree, kLooking, kIn };
    State state = kFree;
    std::string name, guid, address;
    bool bot = false;
    bool userinfoSeen = false;  // the log gave its userinfo since it was last free
    bool connectSeen = false;   // the log reported its connect; waiting for its userinfo
    long long seenWrite = 0;    // when the log line that announced it was written (wall, us)
    long long inSince = 0;      // when the module was told (monotonic ms)
    bool dropped = false;       // the module asked to remove it; the server has not yet
    long long droppedAt = 0;    // when (monotonic ms)
    bool unconfirmed = false;   // a new map began and the client has not reconnected to it yet
    bool incomingSeen = false;  // userinfo seen during that reconnect
    std::string inName, inGuid;
    bool inBot = false;
    bool awaitConnect = false;  // joined from a userinfo line alone; its ClientConnect may follow
    int lookupTag = 0;          // the "dumpuser" whose answer this join waits for
};

class Bridge {
  public:
    explicit Bridge(Options options);
    ~Bridge();
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    // Loads the module, opens the link, checks the password, starts the module. False with
    // *error set (never holding the password) when the bridge cannot run; a server that does
    // not answer yet is no reason to stop.
    bool start(std::string* error);
    // start with entry points already at hand (the tests give their own).
    bool startWith(SaFn_t sa, SbFn_t sb, std::string* error);
    // The main loop: console lines from standard input, the log, the link, the frames. Returns
    // after "quit", the end of input or *stop becoming true.
    void run(volatile int* stop);
    void shutdown();

    // One line of the game log, as the loop hands it over (public for the tests).
    void logLine(const std::string& line);
    // An answer of the server, as the link hands it over (public for the tests).
    void reply(Reply& r);
    // The timed work: the module's frame, a userinfo line held too long, the periodic
    // "status" (public for the tests, which run it at chosen times).
    void timers(long long now);
    // A console line for the module, or for the server when it begins with "/".
    void console(const std::string& line);
    const Client& client(int number) const { return clients_[number]; }

    // The module's host services.
    int hostCall(const char* service, const char* argument);
    int cvarGet(const char* name, char* out, int size);
    void print(const char* text);
    void sendClient(int slot, const char* text, int length);

  private:
    int moduleCall(int event, int slot, const std::string& data);
    void flushOutbox();
    void say(const std::string& text);
    void command(const std::string& text, Purpose purpose, int client, bool urgent,
                 long long notBefore = 0, int tag = 0);
    void beginConnect(int number);
    void admit(int number);
    void leave(int number);
    void reconcile(const std::string& text);
    void applyHeld();
    void queueStatus(long long now, bool urgent);
    void serverInfo(const std::string& text);
    void serverMaps(const std::string& text);
    std::string moduleSetting(const char* name);
    void cmdExec(const char* line);
    void cvarSet(const char* argument);
    int dropClient(const char* argument);
    void note(const std::string& text);
    void pollLog();

    Options opt_;
    void* library_ = nullptr;
    SaFn_t sa_ = nullptr;
    SbFn_t sb_ = nullptr;
    bool running_ = false;
    int depth_ = 0;
    Rcon rcon_;
    LogTail log_;
    Client clients_[64];
    std::map<std::string, std::string> vars_;
    // Collected during one module call and turned into commands once it returns.
    struct Text {
        int number;
        std::string text;
        bool dialog;
    };
    std::vector<Text> texts_;
    struct Drop {
        int number;
        std::string reason;
    };
    std::vector<Drop> drops_;
    char* capture_ = nullptr;
    int captureLength_ = 0;
    bool serverDown_ = false;
    bool passwordRefused_ = false;
    long long nextFrame_ = 0, nextStatus_ = 0, reconcileAt_ = 0, statusQueuedAt_ = 0;
    bool statusQueued_ = false;
    std::string* printCapture_ = nullptr;  // the module's console lines go here instead
    bool mapListOffered_ = false;
    // Log lines read so far; the line of each client's latest event; the count when the
    // pending "status" was queued. A status answer says nothing about a client whose log line
    // came after it was asked for: the log is newer.
    long long logSeq_ = 0;
    long long eventSeq_[64] = {};
    long long statusSeq_ = 0;
    int lookupSerial_ = 0;
    // A userinfo line of a client already on the server: a rename, or the first line of a new
    // client's connect on that number. The next log line decides.
    struct Held {
        bool active = false;
        LogEvent event;
        long long at = 0;
    };
    Held held_;
};

}  // namespace qzb
