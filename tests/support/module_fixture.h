// The test fixture for module behaviour: a fresh module, linked into the test program, running
// on a simulated game server with a manual clock and its own temporary home directory.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "simhost/simhost.h"

class ModuleTest : public ::testing::Test {
  protected:
    // Makes the temporary home, starts the module (sa must return 0) at 2026-01-01T00:00:00
    // local time.
    void SetUp() override;
    // Shuts the module down (QZ_EV_SHUTDOWN) and removes the temporary home.
    void TearDown() override;

    // Hands LINE to the simulated host as qzhost would (a console line, or a sim_ command) and
    // returns the output lines produced by that call.
    std::vector<std::string> run(const std::string& line);
    // The module's home directory: the temporary game home followed by "/qz/".
    std::string home() const { return temp_ + "/qz/"; }
    // The temporary game home itself (fs_homepath and fs_basepath).
    const std::string& gameHome() const { return temp_; }
    sim::SimHost& host() { return *host_; }

    // Override to set game variables before the module starts.
    virtual void configure(sim::SimHost&) {}

  private:
    std::string temp_;
    std::unique_ptr<sim::SimHost> host_;
};

// True when some line in LINES contains TEXT.
bool anyLineContains(const std::vector<std::string>& lines, const std::string& text);
