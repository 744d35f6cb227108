// The simulated game server that hosts the module outside a game: it loads the module (or is
// handed its entry points), answers the module's host services, keeps the game variables and
// the 64 player slots, runs the simulated game console, and turns everything the module does
// into output lines. qzhost is a thin console loop around it; the tests drive it directly.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "host/qzsv.h"
#include "simhost/simclient.h"
#include "simhost/simconsole.h"

namespace sim {

using SaFn = int (*)(const qz_host* host);
using SbFn = int (*)(int event, int slot, const char* data, int length);

// Shows bytes on one output line: carriage return and line feed as the two characters "\r" and
// "\n", every other control byte and every byte from 0x7f up as "\xHH".
std::string escapeBytes(const char* data, size_t length);
// Turns the C-style escapes \n \r \t \0 \\ \" and \xHH (one or two hex digits) into bytes; any
// other backslash stays as typed.
std::string unescapeText(const std::string& text);
// Parses a local time "YYYY-MM-DDTHH:MM:SS" with mktime. False when the text is malformed.
bool parseLocalTime(const std::string& text, time_t* out);

class SimHost {
  public:
    // Only one SimHost may exist at a time: the module's callbacks are plain C functions that
    // reach the host through one static pointer.
    SimHost();
    ~SimHost();
    SimHost(const SimHost&) = delete;
    SimHost& operator=(const SimHost&) = delete;

    // Module entry points: either from a shared object (false and an output line when it cannot
    // be loaded) or given directly by a caller that links the module in.
    bool loadModule(const std::string& path);
    void useEntryPoints(SaFn sa, SbFn sb);

    // Every output line is also written, with a line end and flushed, to OUT (null: none).
    void echoTo(FILE* out) { echo_ = out; }

    // Manual clock: the module's clock starts at START and moves only by advanceClock. Without
    // it the module reads the system clock.
    void setManualClock(time_t start);
    bool manualClock() const { return manual_; }
    // QZ_HOST_... bits handed to the module at start (qz_host.flags).
    void setHostFlags(unsigned flags) { hostFlags_ = flags; }
    void advanceClock(long long ms);
    long long clockSeconds() const { return clockMicros_ / 1000000; }
    int clockMicroseconds() const { return static_cast<int>(clockMicros_ % 1000000); }

    // Game variables, as the module reads them (and sim_cvar sets them).
    void setCvar(const std::string& name, const std::string& value);
    std::string cvar(const std::string& name) const { return console_.value(name); }
    bool hasCvar(const std::string& name) const { return console_.get(name, nullptr); }

    // Starts the module (sa) and returns its result; later calls go to sb.
    int start();
    // QZ_EV_SHUTDOWN, once; the destructor does it when nobody did.
    void shutdown();
    bool running() const { return running_; }
    void frame();

    // One line as qzhost reads it: "sim_..." runs a simulation command, "quit" shuts the module
    // down, anything else goes to the module as a console line. Returns false after quit.
    bool line(const std::string& text);

    // The simulation commands, also callable directly.
    void console(const std::string& text);  // QZ_EV_CONSOLE
    // Takes the lowest free slot (within sv_maxclients) and asks the module; returns the slot
    // when the module admitted the player, 0 when it refused or the server is full.
    int connect(const std::string& name, const std::string& guid, const std::string& address,
                const std::string& os = "W");
    void drop(int slot);
    // Whether clients that connect from now on run the client module (answer its exchange).
    void setClientModule(bool present) { clientModule_ = present; }
    void rename(int slot, const std::string& name);
    void packet(int slot, const std::string& bytes);
    void advance(long long ms);          // moves the manual clock and runs one frame
    void game(const std::string& text);  // runs a line on the simulated game console
    // The simulated client in SLOT answers a kept (or the next) screenshot request with the
    // picture in the file at PATH.
    void screenshot(int slot, const std::string& path);
    // The simulated client in SLOT uploads the file at PATH under NAME (empty: its base name).
    void upload(int slot, const std::string& path, const std::string& name);

    // The player in SLOT (1..64), null when it is free.
    SimClient* client(int slot);

    // The capture buffer the module named, and its length; null/0 when none is set.
    char* captureBuffer() const { return capture_; }
    int captureLength() const { return captureLength_; }

    // Output lines, in order: module prints, "[host] ...", "[to N] ...", "[game] ...",
    // "[qzhost] ...".
    const std::vector<std::string>& output() const { return output_; }
    void clearOutput() { output_.clear(); }
    bool contains(const std::string& text) const;
    std::vector<std::string> linesMatching(const std::string& prefix) const;

    // The services as the module calls them; public so that tests can drive them.
    int hostCall(const char* service, const char* argument);
    int cvarGet(const char* name, char* out, int size);
    void print(const char* text);
    void sendClient(int slot, const char* text, int length);

  private:
    void emit(const std::string& text);
    void gameOutput(const std::string& text);
    // Appends one line to the module's capture buffer while it captures.
    void appendCapture(const std::string& text);
    void simCommand(const std::string& text);
    int event(int type, int slot, const std::string& data);
    void deliverClientPackets();
    bool dropClient(const char* argument);
    int gameState(const char* argument);
    int authorize(const char* argument);

    SaFn sa_ = nullptr;
    SbFn sb_ = nullptr;
    void* library_ = nullptr;
    bool running_ = false;
    int depth_ = 0;  // nesting of module calls; replies are delivered at depth 0
    FILE* echo_ = nullptr;
    bool manual_ = false;
    bool clientModule_ = true;
    bool autoUpdate_ = false;  // sim_autoupdate on|off: clients fetch a newer version themselves
    unsigned hostFlags_ = 0;
    long long clockMicros_ = 0;
    SimSlots slots_;
    unsigned nextSerial_ = 1;
    SimConsole console_;
    char* capture_ = nullptr;
    int captureLength_ = 0;
    std::vector<std::string> output_;
};

}  // namespace sim
