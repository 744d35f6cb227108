// Lines of the administrators file and whether the parser takes them (shared by the tests).
#pragma once

namespace webtest {

struct AdminParseCase {
    const char* line;
    bool ok;
};

#define QZ_SALT "00112233445566778899aabbccddeeff"
#define QZ_HASH "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff"
inline const AdminParseCase kAdminParseCases[] = {
    {"bob all scrypt 16384 8 1 " QZ_SALT " " QZ_HASH, true},
    {"bob all scrypt 16384 8 1 " QZ_SALT " " QZ_HASH "\r\n", true},
    {"b.o-b_1 VIEW scrypt 2 1 1 " QZ_SALT " " QZ_HASH, true},
    {"# bob all scrypt 16384 8 1 " QZ_SALT " " QZ_HASH, false},
    {"", false},
    {"bob root scrypt 16384 8 1 " QZ_SALT " " QZ_HASH, false},
    {"bob all bcrypt 16384 8 1 " QZ_SALT " " QZ_HASH, false},
    {"bob all scrypt 16383 8 1 " QZ_SALT " " QZ_HASH, false},    // not a power of two
    {"bob all scrypt 2097152 8 1 " QZ_SALT " " QZ_HASH, false},  // too dear to check
    {"bob all scrypt 16384 65 1 " QZ_SALT " " QZ_HASH, false},
    {"bob all scrypt 16384 8 0 " QZ_SALT " " QZ_HASH, false},
    {"bob all scrypt 16384 8 1 " QZ_SALT "0 " QZ_HASH, false},
    {"bob all scrypt 16384 8 1 " QZ_SALT " " QZ_HASH " extra", false},
    {"bob all scrypt 16384 8 1 " QZ_SALT
     " zz112233445566778899aabbccddeeff00112233445566778899aabbccddeeff",
     false},
    {"b\"ob all scrypt 16384 8 1 " QZ_SALT " " QZ_HASH, false},
    {"abcdefghijabcdefghijabcdefghij12 all scrypt 16384 8 1 " QZ_SALT " " QZ_HASH, false},
    {"bob all scrypt 99999999999999999999999 8 1 " QZ_SALT " " QZ_HASH, false},
};
#undef QZ_SALT
#undef QZ_HASH

}  // namespace webtest
