// The simulated game server's own console and game variables: the commands a real game console
// would answer (status, serverinfo, map, forceteam, set ...) as far as the module ever asks for
// them, and the variable table the module reads through the host.
#pragma once

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "simhost/simclient.h"

namespace sim {

constexpr int kMaxSlots = 64;
// Index 1..64; index 0 stays empty so that a slot number is its own index.
using SimSlots = std::array<std::unique_ptr<SimClient>, kMaxSlots + 1>;

enum SimVarFlag : unsigned {
    kVarServerInfo = 1,  // shown by serverinfo
    kVarArchive = 2,     // set with seta
};

class SimConsole {
  public:
    // OUT receives each line the game console prints, without a line end.
    explicit SimConsole(std::function<void(const std::string&)> out);

    // Sets a variable, creating it when missing; FLAGS are added to those it has.
    void set(const std::string& name, const std::string& value, unsigned flags = 0);
    // True and the value when the variable exists (names are matched without regard to case).
    bool get(const std::string& name, std::string* value) const;
    std::string value(const std::string& name) const;

    // Runs one console text: several commands may be separated by ';' or line ends outside
    // double quotes. SLOTS is the game's player table (forceteam changes a player's team).
    void exec(const std::string& text, SimSlots& slots);

    // Where a command beginning "qz_sv_" goes: a game server hands such lines from its console
    // to the module (the whole command, as typed). Unset, they are unknown commands.
    void setModuleCommand(std::function<void(const std::string&)> module) {
        module_ = std::move(module);
    }

  private:
    struct Var {
        std::string name;  // as first set, for display
        std::string value;
        unsigned flags = 0;
    };
    void command(const std::vector<std::string>& args, const std::string& rest, SimSlots& slots);
    void forceTeam(const std::vector<std::string>& args, SimSlots& slots);
    void status(const SimSlots& slots);

    std::function<void(const std::string&)> out_;
    std::function<void(const std::string&)> module_;
    std::map<std::string, Var> vars_;  // key: lower-case name
};

// Splits a command into words: blanks separate, double quotes group (and are removed).
std::vector<std::string> simTokenize(const std::string& text);
// Text after the first word and the blanks that follow it; empty when there is none.
std::string simRestAfterWord(const std::string& text);

}  // namespace sim
