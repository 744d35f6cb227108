// The texts a refused player's game receives. The game prints them; what follows
// "[err_dialog]" appears as an error dialog.
#pragma once

constexpr const char* kRefuseNotEnabled =
    "print\n[err_dialog]Kestrine must be Enabled before joining this server. Kestrine can be "
    "Enabled/Disabled on the Play Online (Server Browser) screen. Help is on the server's web "
    "page and from its administrator.\n";
constexpr const char* kRefuseBanned =
    "print\n[err_dialog]You have been BANNED from this server by Server Admin\n";
// Takes the minutes left of a kick.
constexpr const char* kRefuseRejoinFmt =
    "print\n[err_dialog]You may not attempt to rejoin this server for another %d minutes\n";
// Takes any other refusal text.
constexpr const char* kRefuseOtherFmt = "print\n[err_dialog]%s\n";
