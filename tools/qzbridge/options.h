// Command-line pieces shared by qzbridge and qzrcon: the server address and the remote-console
// password, which comes from a file or the environment and never from the command line (where
// every user of the machine could read it in the process list).
#pragma once

#include <string>

namespace qzb {

// The environment variable that may hold the password.
constexpr const char* kPasswordVariable = "QZ_RCON_PASSWORD";

// "ADDRESS:PORT" or "ADDRESS" (port 27960). False for anything else.
bool parseServer(const std::string& text, std::string* address, int* port);
// The password from FILE (its first line) when FILE is not empty, else from the environment.
// False with *error set (naming where it looked, never the password) when there is none.
bool readPassword(const std::string& file, std::string* password, std::string* error);

}  // namespace qzb
