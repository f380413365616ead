// The build's own data for system/build, generated at each build by
// boot/build_info.cmake from git (empty texts and zeros without git).
#pragma once

namespace oru::boot::build_info {

extern const long long build_time;   // seconds since 1970 (UTC)
extern const char* const branch;     // "" when unknown
extern const char* const tag;        // the last release tag, "" when none
extern const int ahead;              // commits since the tag (or in all)
extern const long long commit_time;  // seconds since 1970 (UTC), 0 when unknown
extern const char* const commit;     // the hexadecimal commit id, "" when unknown
extern const char* const message;    // the commit's subject line

}  // namespace oru::boot::build_info
