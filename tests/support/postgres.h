// A throw-away PostgreSQL server for tests: initdb into a temporary folder and one postgres
// process, run as the "postgres" user, listening only on a Unix socket in that folder. The
// process is told to stop when the test program ends, however it ends; the folder is removed
// at the end. Tests skip (with the reason) when not run as root or PostgreSQL is not installed.
#pragma once

#include <sys/types.h>

#include <string>

namespace qztest {

class Postgres {
  public:
    // The cluster shared by the whole test program, started on first use; null with *why set
    // when it cannot run here.
    static Postgres* shared(std::string* why);
    ~Postgres();

    // Creates an empty database (a new name each call) and returns its connection string.
    // "" with *why set on failure.
    std::string createDatabase(std::string* why);
    // The connection string of the "postgres" database.
    std::string adminConninfo() const;
    const std::string& socketDir() const { return dir_; }

  private:
    Postgres() = default;
    bool start(std::string* why);
    void stop();

    std::string dir_;
    pid_t pid_ = -1;
    int databases_ = 0;
};

}  // namespace qztest
