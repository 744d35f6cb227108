// Secrets inside command lines: the value of a setting marked secret and the secret arguments of
// a command (a UCON password) are replaced by "*****" wherever a line is echoed or logged.
#pragma once

constexpr const char* QZ_SECRET_SHOWN = "*****";

// Copies line into out (size bytes, always terminated) with its secrets masked, and returns out.
// A line that names no secret is copied as it stands.
const char* cmdMaskSecrets(const char* line, char* out, int size);
