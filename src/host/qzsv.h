/* The interface between a game server (the host) and the server module qzsv.so.
 *
 * This header is all a game-server author needs. It is plain C so that any host can include it.
 * The module exports exactly three symbols: sa, sb and sv_set_s. The host finds sa and sb with
 * dlsym, starts the module with sa, and from then on drives it with sb. Every piece of the
 * module's work happens inside one of these calls, on the host's thread.
 *
 * Player slots are numbered 1 to 64 on both sides of this interface: the host maps its own client
 * numbers onto slots (client number + 1 for a host that counts from 0) and the module uses the
 * slot number wherever a player is named, including the leading number of a "DropClient" text.
 * docs/host-interface.md describes the whole contract. */
#ifndef QZSV_H
#define QZSV_H

#ifdef __cplusplus
extern "C" {
#endif

/* Version of this interface. sa takes records of version 1 (without the flags field) and 2, and
 * refuses any other. */
#define QZ_HOST_ABI 2

/* What a host tells the module about itself in qz_host.flags (version 2). */
/* The players' games never run the client module (a server that is administered from outside,
 * by its remote console and game log): the module skips the client-module exchange, lists every
 * player as in play at once, and answers screenshot and cvar requests with one line saying that
 * the game does not support them. */
#define QZ_HOST_NO_CLIENT_MODULE 0x1u
/* The host can remove its own bots: the module kicks them and checks them against the name bans
 * like other players (they have no GUID and no address, so GUID and mask bans never match). */
#define QZ_HOST_DROPS_BOTS 0x2u

/* The host's service entry point: the module names a service ("Cvar_Set", "Cmd_Exec",
 * "DropClient", "ConCapBuf", "ConCapBufLen", "gamestate", "SV_RequestAuthorizationQZ") and
 * passes one argument text. The result's meaning depends on the service. */
typedef int (*qz_host_call_fn)(const char* service, const char* argument);

/* Reads game variable NAME into OUT (SIZE bytes, always terminated by the host). Returns 1 when
 * the variable exists, 0 when it does not (OUT then holds the empty text). */
typedef int (*qz_cvar_get_fn)(const char* name, char* out, int size);

/* Prints one console line of the module (no line end in TEXT). */
typedef void (*qz_print_fn)(const char* text);

/* Delivers TEXT (LENGTH bytes, may hold line ends) to the game of the player in SLOT (1..64). */
typedef void (*qz_send_client_fn)(int slot, const char* text, int length);

/* Optional clock: writes the current wall-clock time as seconds since the epoch and
 * microseconds. When the host leaves it null the module reads the system clock. A host with a
 * manual clock (qzhost --manual-clock) uses it to drive both the module's millisecond tick and
 * its wall clock. */
typedef void (*qz_clock_fn)(long long* seconds, int* microseconds);

/* What the host hands to sa. The module copies the record; the host may reuse it. */
typedef struct qz_host {
    int abi;                      /* QZ_HOST_ABI */
    qz_host_call_fn hostCall;     /* required */
    qz_cvar_get_fn cvarGet;       /* required */
    qz_print_fn print;            /* required */
    qz_send_client_fn sendClient; /* required */
    qz_clock_fn clock;            /* optional, null for the system clock */
    unsigned flags;               /* version 2: QZ_HOST_... bits, 0 for an ordinary game */
} qz_host;

/* Starts the module. Returns 0 when the module is running, a negative number when it refused to
 * start (bad record, or it failed to initialise; it has then printed why). Calling sa again after
 * QZ_EV_SHUTDOWN starts a fresh module. */
int sa(const qz_host* host);

/* Every later call. EVENT says what happened; SLOT names the player (1..64) where there is one
 * and is 0 otherwise; DATA and LENGTH carry the event's bytes (DATA need not be terminated).
 * Returns 0, or for QZ_EV_CONNECT the admission verdict. */
int sb(int event, int slot, const char* data, int length);

enum qz_event {
    /* A console line typed by the administrator or a host directive ("QZ_SV_..."), exactly as
     * typed, without the line end. */
    QZ_EV_CONSOLE = 1,
    /* The regular call that runs the module's timers. Call it at least every 50 ms. */
    QZ_EV_FRAME = 2,
    /* A client asks to join in SLOT. DATA is the client's description, fields separated by
     * "\\": name\\GUID\\address\\O/S letter (GUID empty when the client has none, address such as
     * 1.2.3.4:27960, "loopback" or "bot"). Returns QZ_ADMIT, or QZ_REFUSE after the module
     * has sent the refusal text to the client and asked the host to drop it. */
    QZ_EV_CONNECT = 3,
    /* The client in SLOT has left. DATA is empty. */
    QZ_EV_DISCONNECT = 4,
    /* A packet from the client module of the player in SLOT. */
    QZ_EV_PACKET = 5,
    /* The player in SLOT changed his name; DATA is the new name. */
    QZ_EV_RENAME = 6,
    /* The host is shutting down or unloading the module: files are closed, memory freed. */
    QZ_EV_SHUTDOWN = 7
};

enum qz_verdict { QZ_ADMIT = 0, QZ_REFUSE = 1 };

/* The string-setting routine, exported for the agent companion library. The first argument is
 * the module's central state as handed out to companions; hosts never call it. */
struct stQzSv;
void sv_set_s(struct stQzSv* sv, char* name, char* line, char* value, int capacity, int flag);

#ifdef __cplusplus
}
#endif

#endif
