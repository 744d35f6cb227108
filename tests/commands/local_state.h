// A module state of the test's own, for routines that are called directly rather than through a
// console line (the form readers, sv_set_* with a caller's storage). It has settings at their
// defaults and a host whose print callback collects the lines; no home directory, no files.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "commands/settings.h"
#include "host/state.h"

class LocalState {
  public:
    LocalState() : sv_(new stQzSv) {
        std::memset(sv_.get(), 0, sizeof *sv_);
        current_ = this;
        sv_->host.abi = QZ_HOST_ABI;
        sv_->host.print = [](const char* text) { current_->lines_.emplace_back(text); };
        sv_->host.hostCall = [](const char* service, const char* argument) {
            current_->lines_.push_back(std::string("[host] ") + service + " " + argument);
            return 1;
        };
        sv_->enabled = 1;
        settingsDefaults(sv_.get());
    }
    ~LocalState() { current_ = nullptr; }
    LocalState(const LocalState&) = delete;
    LocalState& operator=(const LocalState&) = delete;

    stQzSv* sv() { return sv_.get(); }
    // The lines printed since the last call.
    std::vector<std::string> take() {
        std::vector<std::string> out;
        out.swap(lines_);
        return out;
    }

  private:
    static inline LocalState* current_ = nullptr;
    std::unique_ptr<stQzSv> sv_;
    std::vector<std::string> lines_;
};
