// One simulated player of the simulated game server: what the game knows about him (name, GUID,
// address, team) and the seam where his game's client module meets the server module's texts.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace sim {

struct SimClient {
    int slot = 0;         // 1..64, the number both sides of the module boundary use
    unsigned serial = 0;  // tells a re-used slot from the player who held it before
    std::string name;
    std::string guid;     // empty when the player has none
    std::string address;  // "1.2.3.4:27960", "loopback" or "bot"
    std::string os;       // one letter
    std::string team = "spectator";
    bool admitted = false;  // false while the module is still deciding on the connect

    std::vector<std::string> received;  // every text the module sent to this player, in order
    std::vector<std::string> outbox;    // packets for the module, delivered after the current call

    // The simulated client module (docs/client-exchange.md): its version, whether it is a
    // spectator client, and whether it answers the module's exchange texts at all (a client
    // that stays silent remains in "PRE ").
    std::string clientVersion = "1.000";
    bool spectatorClient = false;
    bool answers = true;

    // Screenshots (docs/screenshots.md). A request ("Q<width> <random> <serial> ...") is kept
    // until it is answered; a picture offered with offerScreenshot answers the kept request, or
    // the next one. The client reports the capture, waits for the module's "QPNG 0" and then
    // sends every block at once; "QPNG -1" ends the transfer on its side.
    bool ssRequested = false;
    unsigned long ssSerial = 0;
    unsigned long ssNonce = 0;
    std::string ssPicture;  // offered, waiting for a request
    bool ssOffered = false;
    std::string ssSending;  // reported, waiting for "QPNG 0"
    unsigned long ssSendingSerial = 0;
    // Offers a picture; returns true when it answered a kept request at once.
    bool offerScreenshot(const std::string& bytes);

    // Cvars and key bindings of the simulated game (docs/client-exchange.md): the client module
    // answers the module's queries from them. A cvar set that the game does not define is
    // user-defined; one whose value differs from its default counts as changed. Names are kept
    // in lower case, as the game compares them without regard to case.
    struct Cvar {
        std::string name;  // as first set
        std::string value;
        std::string defaultValue;
        bool user = false;
    };
    std::map<std::string, Cvar> cvars;
    std::map<std::string, std::string> binds;  // key name in lower case -> command
    // How the client module answers queries: right, wrong (a bad name or an id never asked) or
    // not at all.
    enum class Answers { Right, Wrong, None };
    Answers queryAnswers = Answers::Right;
    // MD5Tool checks (docs/md5tool.md) are answered from the files under this folder, the
    // simulated game's folder; without one every check answers READ_FAIL. queryAnswers governs
    // them too: Wrong answers with a sequence number never asked, None not at all.
    std::string md5Folder;
    // The score the simulated game keeps for the player ("gamestate").
    int score = 0;
    int deaths = 0;
    SimClient();
    // Module files and uploads (docs/transfers.md). A file the module sends ("QVRFH", "QVRFB")
    // is taken block by block in order, each acknowledged ("QZ_VRFC ack"), a gap answered with
    // "reblock"; when whole, dlData holds the compressed bytes and dlFile the inflated file. A
    // header of size 0 (the module refused) sets dlRefused. With fetchUpdates, a "QZ_CHECK"
    // naming a newer client version is answered by asking for that version ("QZ_DLREQ"), and
    // "QZ_UPDT" follows with the new version once it is whole (the old one when refused).
    bool fetchUpdates = false;
    unsigned long dlId = 0, dlSize = 0, dlRaw = 0;
    std::string dlName, dlData, dlFile;
    bool dlDone = false, dlRefused = false;
    std::string pendingVersion;
    // An upload: the header goes out at once, the blocks after the module's "QVRFC ack ID 0";
    // upReply is the last transfer control the module sent about it ("ack", "busy", "abort").
    unsigned long upId = 0;
    std::string upData, upReply;
    void upload(const std::string& fileName, const std::string& bytes);

    void setCvar(const std::string& cvarName, const std::string& value);
    void bind(const std::string& key, const std::string& command);

    // Called with every text the server module sends to this player's game. The text is
    // recorded; the client module answers exchange texts by queuing packets in outbox, which the
    // host hands to the module (QZ_EV_PACKET) once the module's current call has returned, so
    // that the module is never re-entered from inside itself.
    void onServerText(const std::string& text);

  private:
    void reportCapture();
    void takeFileText(const std::string& text);
    void sendUploadBlocks(size_t from);
    void answerQuery(const std::string& word, unsigned long id, const std::string& arg);
    void answerMd5(const std::string& text);
};

}  // namespace sim
