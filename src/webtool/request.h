// Reading WebTool requests: the HTTP framing of a request gathered across reads, turning its
// refresh target and body into the one-field-per-line form the handlers read, field lookup and
// the four rules by which handlers read field values.
#pragma once

#include "webtool/web.h"

// First occurrence of name in text, ASCII letters compared without regard to case; null when
// absent. The name may stand anywhere, also inside another field's value.
const char* web_find(const char* text, const char* name);
// The field name at the start of a line of the form, optionally after decimal digits (the player
// buttons "12slot="); null when no line starts so. The button table looks names up this way so
// that a button name typed into another field's value does not pick the action.
const char* web_button(const char* form, const char* name);

// Rule 1, line value: after name (at where), blanks, one "=", blanks; the value runs to the first
// CR, LF or the end. Copies at most size-1 characters into out and returns the value's full
// length. where must point at the name found by web_find.
int web_line_value(const char* where, const char* name, char* out, int size);
// The value start of rule 1 (no copy), for reading a value in place.
const char* web_line_start(const char* where, const char* name);
// Rule 2, number after the name: from the end of the name (at where), skips every non-digit and
// reads the decimal number at the first digit (0 when the text ends first; saturates).
int web_number_after(const char* where, const char* name);
// Rule 3, fixed width: the 32 characters after the name (at where), fewer where the text or the
// line ends.
void web_fixed32(const char* where, const char* name, char (&out)[33]);
// Rule 4, number before the name: the decimal digits immediately before where (text is the start
// of the whole text); -1 when there are none.
int web_number_before(const char* text, const char* where);

// Result of scanning the bytes read so far on a connection.
enum WebScan {
    WEBS_MORE = 0,      // not complete yet
    WEBS_COMPLETE = 1,  // headers and Content-Length body are all there
    WEBS_TOO_LARGE = 2  // the request cannot fit WEB_REQ_MAX bytes
};
// Looks at the bytes of c->req (c->len of them) for the end of the headers and the body length
// (kept in c->headerEnd / c->bodyLen, so repeated calls resume).
int webScanRequest(stWebConn* c);

enum WebTarget {
    WEBT_TOOL = 0,      // the path /qzsvweb
    WEBT_NOT_FOUND = 1  // any other path, or no request line
};
// Turns a complete request into the form text: the refresh target's fields (the part of the
// request target after "/qzsvweb/" or "?", split at "&") and then the body, one "name=value"
// per line ended by CR LF. A body whose Content-Type holds "urlencode" is split at "&" and
// decoded (%XX, "+"); a text/plain body is taken as it stands. CR, LF and NUL produced by
// decoding become blanks, so a value never makes a line of its own. The request line and the
// headers never reach the form. Returns WEBT_TOOL or WEBT_NOT_FOUND (form is then empty).
// bodyAt, when given, receives the offset of the body's first field in form (-1: not found).
int webRequestForm(const stWebConn* c, char* form, int size, int* bodyAt = nullptr);
// Reads what the request line and headers say about where the request came from (see
// stWebFacts). A browser marks a request from another site's page with "Sec-Fetch-Site"
// (anything but "same-origin" or "none"), or names that page in "Origin" (or, without Origin,
// "Referer") with a host other than the request's own "Host". A request without these headers
// does not come from a browser page and is not marked. forwardedFor is read only when
// trustProxy is true: the last address of the last X-Forwarded-For line, the one the proxy added
// (a client may send lines and addresses of his own before it).
void webRequestFacts(const stWebConn* c, bool trustProxy, stWebFacts* facts);
// True when the request's Host header names a host the WebTool is served as: "localhost", the
// address the connection came in on (localAddr, network byte order), or one of the blank- or
// comma-separated names of hosts (qz_sv_HttpHosts; "name" with any port, "name:port" only with
// that port). A request without Host is not from a browser and passes. A page whose name was
// made to point at the WebTool's address (DNS rebinding) sends its own name and is refused.
bool webHostServed(const stWebConn* c, const char* hosts, unsigned localAddr);
// True when the IPv4 address (network byte order) is one of the blank- or comma-separated
// dotted addresses of list.
bool webAddrListed(const char* list, unsigned addr);
// Appends the URL-decoded text of src[0..n) to out at *len (size bytes, terminated).
void webUrlDecode(const char* src, int n, bool plusIsBlank, char* out, int size, int* len);
