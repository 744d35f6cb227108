// A host that does nothing: the module, linked into the program, runs on a temporary home whose
// console output and service calls are thrown away. Benchmarks and fuzz targets use it so that
// their figures and findings are the module's own, without the simulated game server's
// recording.
#pragma once

#include <string>

namespace sim {

class QuietHost {
  public:
    // Makes the temporary home (/tmp/<tag>-XXXXXX) and starts the module; aborts when the
    // module does not start.
    explicit QuietHost(const char* tag);
    // Shuts the module down and removes the temporary home.
    ~QuietHost();
    QuietHost(const QuietHost&) = delete;
    QuietHost& operator=(const QuietHost&) = delete;

    // Hands one console line to the module.
    void line(const char* text, int length);
    void line(const std::string& text) { line(text.data(), static_cast<int>(text.size())); }
    void frame();
    // The module's home directory ("<temp>/qz/").
    std::string home() const { return temp_ + "/qz/"; }

  private:
    std::string temp_;
};

}  // namespace sim
