// The WebTool's screens and button handlers, the web key, and the table that picks a handler by
// the submitted button's name.
//
// A handler gets the central state, the request's form text (one "name=value" field per line,
// read only; it stays valid while the page is written, so values need not be copied first) and
// the page to write. Every action handler calls web_key_check first and returns when it gives
// true (the Login Screen is then written). A screen writes the whole page with web_header ...
// web_footer. The key a screen is given is the web key itself (qz_sv_HttpKey); the page shows
// only its digest.
#pragma once

#include "webtool/page.h"

struct stQzSv;

using WebHandler = void (*)(stQzSv* sv, const char* form, stWebPage* page);

// What a button does, for the checks made before its handler runs.
enum WebButtonKind {
    WEBB_VIEW = 0,    // shows a screen (a link may ask for the Player List)
    WEBB_ACTION = 1,  // changes something: a posted form, once per page (answer: Command Screen)
    WEBB_PLAYER = 2,  // an action on a player (answer: Player List)
};

// One row of the button table: the field name looked for, its handler, its kind, the level an
// administrator needs for it (admins.h) and what it does, for the refusal ("MAY NOT %s").
struct WebButton {
    const char* name;
    WebHandler run;
    int kind;
    int level;
    const char* what;
};
// The button table, in the order the names are tried.
extern const WebButton kWebButtons[];
extern const int kWebButtonCount;

// True when the administrator of the request being answered may press the button of the table
// whose field name is given ("kickslot=", "cmds=", ...): pages show only the buttons that can
// do something for him. The handlers check the level again, whatever a form sends. Before a key
// was checked (no level yet) every button counts as allowed: only what is shown depends on it.
bool web_may(stQzSv* sv, const char* button);

// A confirmation the form carries: its "webconfirm" field (at the start of a line) is what.
// A permanent ban and a restart of the module run only when confirmed; without it their
// handlers answer a page that asks (confirm.cpp).
bool web_confirmed(const char* form, const char* what);

// Answers a request to /qzsvweb: the first row of the button table found decides; with none the
// Login Screen with an empty message.
void web_dispatch(stQzSv* sv, const char* form, stWebPage* page);
// The screen selector: key check, then "plist", "gsettings", "cmds" or "qz_settings" (exact
// text); any other name gives the Login Screen with "* Web Key Required *".
void web_screen(stQzSv* sv, const char* form, stWebPage* page, const char* screen);

// Module messages as page text (screens.cpp). Between web_note_begin and web_note_end every line
// the module prints is also kept in web.notes (as much as fits); web_notes_show makes the footer
// of the page being written show them, escaped, under the message. A handler uses them to show
// why something it handed on was refused, in the module's own words.
void web_note_begin(stQzSv* sv);
void web_note_end(stQzSv* sv);
void web_notes_show(stQzSv* sv);

// A field of the form read at the start of its own line ("name=value", blanks allowed before the
// "="): the value start, or null. Unlike web_find, a name inside another field's value never
// counts.
const char* web_field(const char* form, const char* name);

// Web key (key.cpp). The digest of key for the login of the request being answered, under the
// current secret: 32 upper-case hexadecimal characters (the login number, then a keyed hash of
// it and the key). It opens nothing in another run of the module, after two periods of the
// secret, after a change of the key or after that login's log out.
void web_key_digest(stQzSv* sv, const char* key, char (&out)[33]);
// True when the digest secrets are drawn (and fresh); false when the system's random source gave
// none: nothing is served then.
bool web_secrets_ready(stQzSv* sv);
// Draws new secrets and forgets every login: every digest given out so far is void.
void web_key_reset(stQzSv* sv);
// Ends the login of the request being answered: its digests open nothing any more.
void web_logout(stQzSv* sv);
// True when a good key came from the address (network byte order) within
// WEB_RECENT_LOGIN_MS.
bool web_recent_login(stQzSv* sv, unsigned addr);
// One-time page numbers of the request's login (key.cpp). web_act_issue gives the number a new
// page carries (0, and no number on the page, when the request has no login: only a logged-in
// page can take an action's number); web_act_take is true when the form's number (field
// "webact") was given by this login and not used yet, and marks it used; a form without one (not
// from a page) is taken.
unsigned web_act_issue(stQzSv* sv);
bool web_act_take(stQzSv* sv, const char* form);
// True when the request does not carry a valid key (or its address is locked out): the bad key
// has been reported and the Login Screen written into page. False when the key is good.
bool web_key_check(stQzSv* sv, const char* form, stWebPage* page);
// The web key to use: qz_sv_HttpKey, which takes the game's "rconpassword" while it is empty.
const char* web_key(stQzSv* sv);
// Applies the "rconpassword" rule; the listener calls it once per request served.
void web_key_from_rcon(stQzSv* sv);
// Loads "qzadmins.dat" again when it changed since it was last read (or went away). A file that
// others may read is refused, said once, and no named administrator can log in.
void web_admins_sync(stQzSv* sv);
// True when the request's typed key waits for the checker thread (started here, or busy): the
// listener answers it in a later frame. False when it can be answered now; the check's result,
// when there was one, is kept for web_key_check. ticket identifies the request.
bool web_admin_wait(stQzSv* sv, const char* form, unsigned ticket);
// The audit record of the action being answered (screens.cpp): the footer writes it. Handlers
// fill in what they know (target, command, result).
void web_audit_begin(stQzSv* sv, const char* action);
void web_audit_target(stQzSv* sv, int slot, const char* name, const char* guid, const char* addr);
void web_audit_result(stQzSv* sv, int result, const char* why);
void web_audit_command(stQzSv* sv, const char* command);
// A line as a page or a record may show it: its secrets masked (commands/secrets.h), and every
// text no page may show (the web key, the rcon password, the log password) replaced wherever it
// stands (a game command or a map list may carry one). out is always terminated.
void web_mask_line(stQzSv* sv, const char* line, char* out, int size);
// Writes the pending record, with message (the page's message line, HTML) as its answer when no
// handler gave a reason. False when it could not be written.
bool web_audit_flush(stQzSv* sv, const char* message);
// The Audit Log screen (audit_screen.cpp): the last records, filtered by the form's "auditfilter".
void web_audit_screen(stQzSv* sv, const char* form, stWebPage* page);

// The Log out button: ends the login and shows the Login Screen (screens.cpp).
void web_logout_page(stQzSv* sv, const char* form, stWebPage* page);

// Login Screen (login.cpp).
void web_login(stQzSv* sv, stWebPage* page, const char* message);

// General Settings (settings_screen.cpp).
void web_settings(stQzSv* sv, stWebPage* page, const char* message, const char* key);
void web_settings_update(stQzSv* sv, const char* form, stWebPage* page);

// Player List (plist.cpp).
void web_plist(stQzSv* sv, stWebPage* page, const char* message, const char* key, const char* slot,
               const char* guid);
void web_slot(stQzSv* sv, const char* form, stWebPage* page);
// The player chosen in a Player List request (its slotnum and guid fields at the start of their
// lines), as the Slot # and GUID texts, when that GUID is still the actionable player's in that
// slot; empty texts otherwise.
void web_plist_choice(stQzSv* sv, const char* form, char (&slot)[12], char (&guid)[33]);
void web_kickban(stQzSv* sv, const char* form, stWebPage* page, int ban);
void web_getss(stQzSv* sv, const char* form, stWebPage* page);

// The confirmation pages (confirm.cpp). The ban page shows the chosen player and the reason and
// carries the action's fields again, with "webconfirm=ban"; its Cancel goes back to the Player
// List with the player still chosen. The restart page carries "webconfirm=restart"; its Cancel
// goes back to the Command Screen. Both have a one-time number of their own.
void web_confirm_ban(stQzSv* sv, stWebPage* page, int slot, const char* reason, int minutes,
                     const char* scope);
void web_confirm_restart(stQzSv* sv, stWebPage* page);

// Command Screen, results and the module's commands (cmds.cpp).
void web_cmds(stQzSv* sv, stWebPage* page, const char* message, const char* key);
void web_map(stQzSv* sv, const char* form, stWebPage* page);
void web_game_cmd(stQzSv* sv, const char* form, stWebPage* page, const char* word);
void web_exec_cmd(stQzSv* sv, const char* form, stWebPage* page);
// Runs command on the game console with its output captured and writes the results page.
void web_results(stQzSv* sv, stWebPage* page, const char* key, const char* command);
void web_writecfg(stQzSv* sv, const char* form, stWebPage* page);
void web_restart(stQzSv* sv, const char* form, stWebPage* page);
void web_update(stQzSv* sv, const char* form, stWebPage* page);

// Game Settings (gsettings.cpp).
void web_gsettings(stQzSv* sv, stWebPage* page, const char* message, const char* key);
void web_gset_update(stQzSv* sv, const char* form, stWebPage* page);
