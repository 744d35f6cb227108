// A module state of the benchmark's own on a temporary home with 64 playing clients and an open
// log; console, host services and texts to players are no-ops, so a figure is the module's own
// cost. For benchmarks that call the module's routines directly instead of through sa and sb.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "commands/settings.h"
#include "host/state.h"
#include "media/logs.h"
#include "media/screenshots.h"
#include "players/slots.h"
#include "util/files.h"

struct PlayingState {
    stQzSv* sv;
    std::string dir;
    // The home is a new folder under base (a folder on the disk or on tmpfs).
    explicit PlayingState(const char* base = "/tmp") {
        std::string pattern = std::string(base) + "/qzbench-XXXXXX";
        dir = mkdtemp(pattern.data()) ? pattern : std::string(base);
        sv = new stQzSv();
        settingsDefaults(sv);
        sv->host.print = [](const char*) {};
        sv->host.sendClient = [](int, const char*, int) {};
        sv->host.hostCall = [](const char*, const char*) { return 1; };
        sv->enabled = 1;
        snprintf(sv->homeDir, sizeof sv->homeDir, "%s/", dir.c_str());
        setHomeDir(sv->homeDir);
        mkdir((dir + "/svlogs").c_str(), 0755);
        mkdir((dir + "/svss").c_str(), 0755);
        logOpen(sv, "BENCH");
        sv->set.ssCeiling = 999999;
        for (int slot = 1; slot <= QZ_SLOTS; ++slot) {
            Qz_Sv_Client_s* c = plSlot(sv, slot);
            snprintf(c->name, sizeof c->name, "Player%d", slot);
            snprintf(c->guid, sizeof c->guid, "0123456789ABCDEF0123456789ABCD%02d", slot);
            snprintf(c->address, sizeof c->address, "10.0.0.%d:27960", slot);
            snprintf(c->authState, sizeof c->authState, "?");
            c->os = 'L';
            c->status = QZ_ST_OK;
        }
    }
    ~PlayingState() {
        ssShutdown(sv);
        logShutdown(sv);
        delete sv;
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    PlayingState(const PlayingState&) = delete;
    PlayingState& operator=(const PlayingState&) = delete;
};
