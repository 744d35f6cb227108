// The module test fixture: temporary home, statically linked module, manual clock.
#include "support/module_fixture.h"

#include <stdlib.h>

#include <filesystem>

#include "commands/atomic_file.h"
#include "host/qzsv.h"

namespace {

// Every call into the module returns with the files it replaced in place (their data synced and
// renamed by the background thread), so that a test reads them as the module left them; a test
// that holds the thread sees the waiting state instead.
int settledSb(int event, int slot, const char* data, int length) {
    int result = sb(event, slot, data, length);
    atomicSyncQuiesce();
    return result;
}

}  // namespace

void ModuleTest::SetUp() {
    char pattern[] = "/tmp/qztest-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    temp_ = pattern;
    host_ = std::make_unique<sim::SimHost>();
    host_->useEntryPoints(&sa, &settledSb);
    time_t start = 0;
    ASSERT_TRUE(sim::parseLocalTime("2026-01-01T00:00:00", &start));
    host_->setManualClock(start);
    host_->setCvar("fs_homepath", temp_);
    host_->setCvar("fs_basepath", temp_);
    configure(*host_);
    ASSERT_EQ(host_->start(), 0) << "module output:\n" << ::testing::PrintToString(host_->output());
}

void ModuleTest::TearDown() {
    if (host_) host_->shutdown();
    host_.reset();
    if (!temp_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(temp_, ignored);
    }
}

std::vector<std::string> ModuleTest::run(const std::string& line) {
    const size_t before = host_->output().size();
    host_->line(line);
    const auto& all = host_->output();
    return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
}

bool anyLineContains(const std::vector<std::string>& lines, const std::string& text) {
    for (const std::string& line : lines)
        if (line.find(text) != std::string::npos) return true;
    return false;
}
