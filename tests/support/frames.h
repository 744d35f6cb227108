// Frame calls until long work spread over frames (a ban or configuration load, a restart) has
// ended: the test gives the text that shows the end.
#pragma once

#include <string>
#include <vector>

#include "support/module_fixture.h"

// Runs frame calls ("sim_advance 0") through run until a printed line contains doneText, at most
// frames of them; returns every line printed meanwhile.
template <class Run>
std::vector<std::string> framesUntil(Run run, const std::string& doneText, int frames = 200000) {
    std::vector<std::string> all;
    for (int i = 0; i < frames && !anyLineContains(all, doneText); ++i) {
        for (std::string& line : run("sim_advance 0")) all.push_back(std::move(line));
    }
    return all;
}

// A console line typed now waits behind the configuration loads in progress: runs frame calls
// until it has run, and returns what it printed with the lines of the loads before it.
template <class Run>
std::vector<std::string> afterLoads(Run run, const std::string& line, const std::string& doneText) {
    std::vector<std::string> all = run(line);
    if (anyLineContains(all, doneText)) return all;
    for (std::string& l : framesUntil(run, doneText)) all.push_back(std::move(l));
    return all;
}
