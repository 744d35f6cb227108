// Changing one administrator in "qzadmins.dat" while keeping everything else the file holds:
// comments, blank lines and lines this version cannot parse stay where they stand, byte for
// byte, so a note or a line written by a newer version is never lost by an add or a removal.
// The console commands (qz_sv_AdminAdd, qz_sv_AdminDel) and the qzadmin program both edit the
// file this way.
#pragma once

struct stWebAdmin;

// Largest file edited: far more than WEB_ADMIN_MAX administrators and their comments need.
constexpr int WEB_ADMIN_FILE_MAX = 64 * 1024;

// Edits the file at path: with a, the lines of the administrator of a's name (without regard to
// case) give way to a's line, which takes the first one's place (or is appended); without a, the
// lines of name are removed. *found says whether name had a line. A file that does not exist is
// begun with a comment line. Written through a temporary file of mode 0600, synced, then
// renamed over the old one. False, with the reason in why, when the file is refused (readable by
// others, not a regular file, larger than WEB_ADMIN_FILE_MAX), the list would pass
// WEB_ADMIN_MAX, or it cannot be read or written; the file is then unchanged.
bool webAdminsEdit(const char* path, const char* name, const stWebAdmin* a, bool* found, char* why,
                   int whySize);
