// Feeds arbitrary bytes to qzbridge's readers of the game server's answers and game log, and to
// the argument maker: whatever a player calls himself, the argument stays one quoted argument of
// one command.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "qzbridge/rcontext.h"

#define QZ_FUZZ_CHECK(cond)        \
    do {                           \
        if (!(cond)) std::abort(); \
    } while (0)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);

    std::string q = qzb::quoted(text);
    QZ_FUZZ_CHECK(q.size() >= 2 && q.size() <= qzb::kArgMax + 2);
    QZ_FUZZ_CHECK(q.find('"', 1) == q.size() - 1);
    QZ_FUZZ_CHECK(q.find_first_of(";\n\r") == std::string::npos);
    QZ_FUZZ_CHECK(q.find("//") == std::string::npos && q.find("/*") == std::string::npos);

    for (const std::string& part : qzb::splitCommands(text)) {
        QZ_FUZZ_CHECK(!part.empty() && part.find_first_of("\n\r") == std::string::npos);
    }

    std::string map, ip, guid, name, value, packet, reply;
    std::vector<qzb::StatusEntry> entries;
    qzb::parseStatus(text, &map, &entries);
    QZ_FUZZ_CHECK(entries.size() <= 64);
    for (const qzb::StatusEntry& e : entries) {
        QZ_FUZZ_CHECK(e.client >= 0 && e.client <= 63 && !e.address.empty());
    }
    qzb::parseDumpUser(text, &ip, &guid, &name);
    QZ_FUZZ_CHECK(ip.size() <= 64 && guid.size() <= 64 && name.size() <= 64);
    std::vector<std::pair<std::string, std::string>> values;
    qzb::parseServerInfo(text, &values);
    QZ_FUZZ_CHECK(values.size() <= 128);
    qzb::parseCvarReply(text, "g_log", &value);
    QZ_FUZZ_CHECK(value.size() <= 255);
    std::vector<std::string> maps;
    qzb::parseMapFiles(text, &maps);
    QZ_FUZZ_CHECK(maps.size() <= qzb::kMapsMax);
    for (const std::string& m : maps) {
        QZ_FUZZ_CHECK(!m.empty() && m.size() <= 64 && m.find_first_of("/\\ \n") == std::string::npos);
    }
    qzb::replyText(reinterpret_cast<const char*>(data), size, &reply);
    if (qzb::buildRcon("pw", text, &packet)) {
        QZ_FUZZ_CHECK(packet.find_first_of(std::string("\n\r\0", 3)) == std::string::npos);
    }

    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        qzb::LogEvent e = qzb::parseLogLine(text.substr(start, end - start));
        if (e.kind != qzb::LogKind::kOther && e.kind != qzb::LogKind::kInitGame &&
            e.kind != qzb::LogKind::kShutdown) {
            QZ_FUZZ_CHECK(e.client >= 0 && e.client <= 63);
        }
        QZ_FUZZ_CHECK(e.name.size() <= 64 && e.guid.size() <= 64);
        start = end + 1;
    }
    return 0;
}
