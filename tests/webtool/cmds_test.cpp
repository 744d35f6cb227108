// The Command Screen: both map lists and the map handler, game commands and typed console lines
// with captured output, the two guards, and the write, restart and update buttons.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <string>

#include "commands/pending.h"
#include "support/case_name.h"
#include "web_module.h"
#include "web_state.h"

namespace {

using webtest::BareState;
using webtest::has;

std::string dispatch(BareState& s, const std::string& fields) {
    QZ_COPY(s.get()->set.httpKey, "k");
    std::string form = "webkey=k\r\n" + fields;
    web_dispatch(s.get(), form.c_str(), &s.get()->web.page);
    return s.page();
}

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

TEST(CommandScreen, OffersTheBuiltInMapsWhenNoListIsSet) {
    BareState s;
    std::string page = dispatch(s, "cmds=Command Screen\r\n");
    EXPECT_TRUE(has(page, "<tr><td align=right>Web Key</td>"));
    EXPECT_TRUE(has(
        page,
        "<select aria-label=\"Map\" name=map_names>\n<option value=nomap>choose map here</option>\n"
        "<option value=mapno0>mp_forest</option>\n"
        "<option value=mapno1>mp_goldrush</option>\n"
        "<option value=mapno2>mp_railgun</option>\n"));
    EXPECT_TRUE(has(page, "<option value=mapno5>mp_wurzburg</option>\n</select>\n"));
    EXPECT_TRUE(has(page, "name=map_restart></td><td>oasis</td></tr>\n"));
    EXPECT_TRUE(
        has(page, "<input aria-label=\"Console line\" name=exec_cmd_text maxlength=1024 size=35>"));
    EXPECT_TRUE(has(page, "value=\"qz_sv_update\" name=updateqz>"));
    EXPECT_FALSE(has(page, "http-equiv=refresh"));
}

TEST(CommandScreen, OffersExactlyTheAdministratorsMapsWithQuotedNamesWhole) {
    BareState s;
    QZ_COPY(s.get()->set.httpMaps, "mp_a  \"my map\"\tmp_<c>");
    std::string page = dispatch(s, "cmds=Command Screen\r\n");
    EXPECT_EQ(count(page, "<option value=mapno"), 3);
    EXPECT_TRUE(has(page, "<option value=mapno1>my map</option>"));
    EXPECT_TRUE(has(page, "<option value=mapno2>mp_&lt;c&gt;</option>"));
}

TEST(CommandScreen, EscapesTheMapName) {
    BareState s;
    s.host.cvars["mapname"] = "<b>oops";
    EXPECT_TRUE(has(dispatch(s, "cmds=Command Screen\r\n"), "<td>&lt;b&gt;oops</td>"));
}

// Map choices refused before anything runs.
struct MapCase {
    const char* maps;
    const char* fields;
    const char* message;
};
void PrintTo(const MapCase& c, std::ostream* os) {
    *os << "maps \"" << c.maps << "\" fields \"" << c.fields << "\"";
}
class MapRefused : public ::testing::TestWithParam<MapCase> {};

TEST_P(MapRefused, AnswersTheCommandScreenWithItsMessage) {
    BareState s;
    QZ_COPY(s.get()->set.httpMaps, GetParam().maps);
    dispatch(s, "cmds=Command Screen\r\n");
    std::string page = dispatch(s, std::string(GetParam().fields) + "map=map\r\n");
    EXPECT_TRUE(has(page, "<i>Command Screen</i>"));
    EXPECT_TRUE(has(page, std::string("<font color=#FF0000>") + GetParam().message + "</font>"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MapRefused,
    ::testing::Values(MapCase{"", "", "Map Name Not Found"},
                      MapCase{"", "map_names=nomap\r\n", "No Map Chosen"},
                      MapCase{"", "map_names=mp_forest\r\n", "No Map Chosen"},
                      MapCase{"mp_a mp_b mp_c", "map_names=mapno3\r\n", "Map Index Error"},
                      MapCase{"mp_a mp_b mp_c", "map_names=mapno-1\r\n", "Map Index Error"},
                      MapCase{"", "map_names=mapno6\r\n", "Map Index Error"},
                      MapCase{"", "map_names=mapno256\r\n", "Map Index Error"},
                      MapCase{"", "map_names=mapno99999999999\r\n", "Map Index Error"}),
    [](const ::testing::TestParamInfo<MapCase>& p) {
        return qztest::caseName(p.index, std::string(p.param.maps) + " " + p.param.fields);
    });

TEST(CommandScreen, TypedLineWithoutItsFieldIsAParseError) {
    BareState s;
    std::string page = dispatch(s, "exec_cmd=To console->\r\n");
    EXPECT_TRUE(has(page, "<font color=#FF0000>Parse Error</font>"));
}

// The screens on the simulated game server, whose console answers and captures.
class WebCommands : public webtest::WebModule {
  protected:
    std::string exec(const std::string& line) {
        return post("exec_cmd_text=" + line + "\r\nexec_cmd=To console->\r\n");
    }
    std::string map(const std::string& option) {
        post("cmds=Command Screen\r\n");
        return post("map_names=" + option + "\r\nmap=map\r\n");
    }
};

TEST_F(WebCommands, ChoosingTheThirdBuiltInMapRunsMpRailgun) {
    std::string page = map("mapno2");
    EXPECT_TRUE(has(page, "<i>Game Command Results</i>"));
    EXPECT_TRUE(said("[host] Cmd_Exec map mp_railgun"));
    EXPECT_TRUE(has(page, "<font color=#FF0000>map mp_railgun</font></td>\n"));
    EXPECT_TRUE(has(page, "<pre>\nLoading map mp_railgun\n\n</pre>"));
    EXPECT_EQ(host().cvar("mapname"), "mp_railgun");
}

TEST_F(WebCommands, NoDigitsAfterMapnoMeansTheFirstMap) {
    run("qz_sv_HttpMaps mp_one mp_two");
    map("mapno");
    EXPECT_TRUE(said("[host] Cmd_Exec map mp_one"));
}

TEST_F(WebCommands, TheNumberIsReadAgainstTheListOfTheMomentTheButtonArrives) {
    run("qz_sv_HttpMaps mp_one mp_two");
    post("cmds=Command Screen\r\n");
    run("qz_sv_HttpMaps mp_three mp_four");
    post("map_names=mapno1\r\nmap=map\r\n");
    EXPECT_TRUE(said("[host] Cmd_Exec map mp_four"));
}

TEST_F(WebCommands, LoadedMapListWinsOverTheTextList) {
    {
        std::ofstream file(home() + "maps.txt");
        file << "// maps on this server\r\n  fueldump  \r\n\r\nradar\nbattery";
    }
    run("qz_sv_HttpMaps mp_one mp_two");
    run("qz_sv_HttpMapsPath maps.txt");
    std::string page = post("cmds=Command Screen\r\n");
    EXPECT_TRUE(has(page,
                    "<option value=mapno0>fueldump</option>\n"
                    "<option value=mapno1>radar</option>\n"
                    "<option value=mapno2>battery</option>\n</select>"));
    EXPECT_FALSE(has(page, "mp_one"));
    post("map_names=mapno1\r\nmap=map\r\n");
    EXPECT_TRUE(said("[host] Cmd_Exec map radar"));
    page = post("map_names=mapno3\r\nmap=map\r\n");
    EXPECT_TRUE(has(page, "<font color=#FF0000>Invalid Map Specification</font>"));
    page = post("map_names=mapno-1\r\nmap=map\r\n");
    EXPECT_TRUE(has(page, "<font color=#FF0000>Invalid Map Specification</font>"));
}

TEST_F(WebCommands, EmptyOrMissingMapFileFallsBackToTheTextList) {
    run("qz_sv_HttpMaps mp_one mp_two");
    run("qz_sv_HttpMapsPath nosuchfile.txt");
    map("mapno1");
    EXPECT_TRUE(said("[host] Cmd_Exec map mp_two"));
}

// The page shows the file's lines, so a file outside the home directory is never read.
TEST_F(WebCommands, MapFileOutsideTheHomeDirectoryIsNotRead) {
    {
        std::ofstream file(gameHome() + "/outside.txt");
        file << "secret_line\n";
    }
    run("qz_sv_HttpMaps mp_one mp_two");
    for (std::string path : {gameHome() + "/outside.txt", std::string("../outside.txt")}) {
        run("qz_sv_HttpMapsPath " + path);
        std::string page = post("cmds=Command Screen\r\n");
        EXPECT_FALSE(has(page, "secret_line")) << path;
        EXPECT_TRUE(has(page, "mp_two")) << path;
    }
}

// The file is read inside a frame call: a FIFO (which would wait for a writer) is not a map
// list, and a huge file is read only as far as any real map list goes.
TEST_F(WebCommands, MapFileThatIsNoRegularFileOrTooLongIsNotWaitedFor) {
    run("qz_sv_HttpMaps mp_one mp_two");
    ASSERT_EQ(mkfifo((home() + "maps.fifo").c_str(), 0600), 0);
    run("qz_sv_HttpMapsPath maps.fifo");
    std::string page = post("cmds=Command Screen\r\n");
    EXPECT_TRUE(has(page, "<option value=mapno1>mp_two</option>"));
    {
        std::ofstream file(home() + "big.txt");
        file << "early\n" << std::string(300 * 1024, ' ') << "\nmp_late_one\n";
    }
    run("qz_sv_HttpMapsPath big.txt");
    page = post("cmds=Command Screen\r\n");
    EXPECT_TRUE(has(page, "<option value=mapno0>early</option>\n</select>"));
    EXPECT_FALSE(has(page, "mp_late_one"));
}

TEST_F(WebCommands, ServerinfoShowsTheGamesOutputEscaped) {
    host().setCvar("sv_hostname", "<b>Evil & Co</b>");
    std::string page = post("serverinfo=serverinfo\r\n");
    EXPECT_TRUE(has(page, "<pre>\nServer info settings:\n"));
    EXPECT_TRUE(has(page, "&lt;b&gt;Evil &amp; Co&lt;/b&gt;"));
    EXPECT_FALSE(has(page, "<b>Evil"));
}

TEST_F(WebCommands, CaptureIsHandedOverStartedAndEndedAroundTheCommand) {
    post("map_restart=map_restart\r\n");
    std::vector<std::string> host = lines();
    std::vector<std::string> calls;
    for (const std::string& line : host) {
        if (line.rfind("[host] ConCap", 0) == 0 || line.rfind("[host] Cmd_Exec", 0) == 0) {
            calls.push_back(line);
        }
    }
    EXPECT_EQ(calls,
              (std::vector<std::string>{"[host] ConCapBuf <buffer>", "[host] ConCapBufLen 16384",
                                        "[host] Cmd_Exec map_restart", "[host] ConCapBufLen 0"}));
    EXPECT_EQ(this->host().captureLength(), 0);
}

TEST_F(WebCommands, TypedLineRunsAndShowsItsOutput) {
    std::string page = exec("say <hello> & bye");
    EXPECT_TRUE(said("[host] Cmd_Exec say <hello> & bye"));
    EXPECT_TRUE(has(page, "<font color=#FF0000>say &lt;hello&gt; &amp; bye</font>"));
    EXPECT_TRUE(has(page, "<pre>\nconsole: &lt;hello&gt; &amp; bye\n"));
    EXPECT_TRUE(has(page, "<input type=submit value=\"To console->\" name=exec_cmd></td>"));
}

TEST_F(WebCommands, TypedLineHasNoLengthLimitOfItsOwn) {
    std::string text(500, 'x');
    exec("say " + text);
    EXPECT_TRUE(said("[host] Cmd_Exec say " + text));
}

TEST_F(WebCommands, HugeOutputIsCutButThePageStaysWhole) {
    // More output than the capture holds: a game variable far longer than any line typed.
    host().setCvar("sv_hostname", std::string(20000, '<'));
    std::string page = exec("serverinfo");
    EXPECT_TRUE(has(page, "... (output cut)"));
    EXPECT_TRUE(has(page, "</center></body></html>\n"));
    EXPECT_FALSE(has(page, "<<"));
}

class WebKeyGuard : public WebCommands, public ::testing::WithParamInterface<const char*> {};

TEST_P(WebKeyGuard, NeverRunsALineThatNamesTheWebKey) {
    std::string page = exec(GetParam());
    EXPECT_TRUE(has(page, "<br><br><i><b>** Command Ignored by WebTool **</b></i>"));
    EXPECT_FALSE(said("[host] Cmd_Exec"));
    EXPECT_FALSE(said("secret"));
    EXPECT_TRUE(has(post("qz_settings=QZ Settings\r\n"), "<i>General QZ Settings Screen</i>"));
}

INSTANTIATE_TEST_SUITE_P(Cases, WebKeyGuard,
                         ::testing::Values("qz_sv_HttpKey", "qz_sv_HttpKey stolen",
                                           "QZ_SV_HTTPKEY stolen", "say hi; qz_sv_httpkey x",
                                           "set a \"qz_sv_httpkey\""),
                         [](const ::testing::TestParamInfo<const char*>& p) {
                             return qztest::caseName(p.index, p.param);
                         });

class WebRconGuard : public WebCommands, public ::testing::WithParamInterface<const char*> {};

TEST_P(WebRconGuard, RunsRconLinesButNeverShowsTheirOutput) {
    host().setCvar("rconpassword", "hunter2");
    std::string page = exec(GetParam());
    EXPECT_TRUE(said(std::string("[host] Cmd_Exec ") + GetParam()));
    EXPECT_TRUE(has(page, "<br><br><i><b>** Result Display Blocked by WebTool **</b></i>"));
    EXPECT_FALSE(has(page, "hunter2"));
    EXPECT_TRUE(has(page, "<pre>\n\n</pre>"));
}

INSTANTIATE_TEST_SUITE_P(Cases, WebRconGuard,
                         ::testing::Values("rconpassword", "RCONPASSWORD", "rcon status",
                                           "say x; rconpassword"),
                         [](const ::testing::TestParamInfo<const char*>& p) {
                             return qztest::caseName(p.index, p.param);
                         });

TEST_F(WebCommands, OutputShowingTheKeyOrTheRconPasswordIsBlocked) {
    host().setCvar("rconpassword", "hunter2");
    std::string page = exec("say the key is secret");
    EXPECT_TRUE(has(page, "** Result Display Blocked by WebTool **"));
    EXPECT_FALSE(has(page, "the key is secret</"));
    page = exec("set pw hunter2; pw");
    EXPECT_TRUE(has(page, "** Result Display Blocked by WebTool **"));
    EXPECT_FALSE(has(page, "hunter2\""));
}

TEST_F(WebCommands, WriteCfgWritesTheFileAndAnswersWithGeneralSettings) {
    std::remove((home() + "qzsv.cfg").c_str());
    std::string page = post("writeqzcfg=qz_sv_writecfg\r\n");
    EXPECT_TRUE(has(page, "<i>General QZ Settings Screen</i>"));
    EXPECT_TRUE(has(page, "<font color=#FF0000>* qz_sv_WriteCfg ISSUED *</font>"));
    struct stat st;
    EXPECT_EQ(stat((home() + "qzsv.cfg").c_str(), &st), 0);
}

// The button writes through the same routine as the console command, and the lock holds there.
TEST_F(WebCommands, WriteCfgWritesNothingWhileTheConfigurationIsLocked) {
    std::remove((home() + "qzsv.cfg").c_str());
    std::ofstream(home() + "lock.cfg", std::ios::binary) << "qz_sv_KickLen 11\r\n";
    run("qz_sv_LoadLock lock.cfg");
    post("writeqzcfg=qz_sv_writecfg\r\n");
    EXPECT_TRUE(said("Command ignored due to locked config mode"));
    struct stat st;
    EXPECT_NE(stat((home() + "qzsv.cfg").c_str(), &st), 0);
}

// A restart ends every login: the button asks first, and only the asking page's button restarts.
TEST_F(WebCommands, RestartAsksFirstAndRestartsNothingUnconfirmed) {
    for (const char* form :
         {"restartqz=qz_sv_restart\r\n", "webconfirm=ban\r\nrestartqz=qz_sv_restart\r\n",
          "exec_cmd_text=webconfirm=restart\r\nrestartqz=qz_sv_restart\r\n"}) {
        std::string page = post(form);
        EXPECT_TRUE(has(page, "<i>Confirm Restart</i>")) << form;
        EXPECT_TRUE(has(page, "<input type=hidden name=webconfirm value=\"restart\">"));
        EXPECT_TRUE(has(page, "<input type=submit value=\"qz_sv_restart\" name=restartqz>"));
        EXPECT_TRUE(has(page, "<input type=submit value=\"Cancel\" name=cmds>"));
        EXPECT_FALSE(has(page, "* qz_sv_Restart ISSUED *"));
        EXPECT_FALSE(said("Preparing to Restart QZ Server"));
        EXPECT_FALSE(anyLineContains(run("sim_advance 0"), "QZ Server Restarted"));
    }
}

TEST_F(WebCommands, RestartIsIssuedAndCarriedOutOnTheNextFrame) {
    std::string page = post("webconfirm=restart\r\nrestartqz=qz_sv_restart\r\n");
    EXPECT_TRUE(has(page, "<font color=#FF0000>* qz_sv_Restart ISSUED *</font>"));
    EXPECT_TRUE(said("Preparing to Restart QZ Server... (WebTool)"));
    EXPECT_TRUE(anyLineContains(run("sim_advance 0"), "QZ Server Restarted (WebTool)"));
}

TEST_F(WebCommands, UpdateAnswersWithGeneralSettingsAndStartsTheCheck) {
    std::string page = post("updateqz=qz_sv_update\r\n");
    EXPECT_TRUE(has(page, "<i>General QZ Settings Screen</i>"));
    EXPECT_TRUE(has(page, "<font color=#FF0000>* qz_sv_Update ISSUED *")) << page;
    EXPECT_TRUE(said("Checking the QZ Master Servers for Updates"));
    // Without the update key nothing the masters send can be used: the page says so.
    EXPECT_TRUE(
        has(page, "No update key (qzsvkey.pub): the masters&#39; answers cannot be checked"))
        << page;
}

TEST_F(WebCommands, ButtonsNeedTheKey) {
    std::string page = post("exec_cmd_text=say hi\r\nexec_cmd=To console->\r\n", "wrong");
    EXPECT_TRUE(has(page, "<b><i>* BAD KEY *</i></b>"));
    EXPECT_FALSE(said("[host] Cmd_Exec"));
}

}  // namespace
