// The update check behind qz_sv_Update: fetch the master list and the data files, compare the
// newest server module the masters describe with the running version, fetch and install it;
// and the swap of a waiting new module at start-up.
#pragma once

struct stQzSv;
struct stQzDownload;

// The versions compare as one number, major * 1000 + minor.
int updVersionNumber(int major, int minor);
// Starts an update check (resolution first; the rest follows in later frames).
void updCheck(stQzSv* sv, unsigned now);
// The outcome lines of the last update check so far (the verdict, a failed look-up or download,
// the installation's result), one a line; empty before the first check.
const char* updReport(stQzSv* sv);
// Called by the frame once no master name is being resolved while a check waits.
void updMastersResolved(stQzSv* sv);
// Called when a download ends, complete (ok) or not.
void updDownloadDone(stQzSv* sv, stQzDownload* d, bool ok);
// A module update has arrived whole (server: the master's address as shown): takes the
// transfer's data and starts its installation, which later frames carry on.
void updReceived(stQzSv* sv, stQzDownload* d, const char* server);
// Carries the installation on for about a quarter of a millisecond. Returns 1 while it goes on.
int updInstallFrame(stQzSv* sv, unsigned now);
// Drops an installation under way (shutdown); nothing is installed.
void updInstallAbandon(stQzSv* sv);
// Reads the administrator's update key "qzsvkey.pub" (64 hexadecimal digits).
void updLoadKey(stQzSv* sv);
// At start-up: puts "qzsvnew.so" (from the home directory, else from the base directory) in
// place of "qzsv.so" when it exports sb, keeping the previous one as "qzsvold.so"; the same for
// the two companion libraries.
void updStartupSwap(stQzSv* sv);
