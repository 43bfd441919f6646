// Live files that say what they are: every byte of a file the soak writes
// follows from its path and generation, which its first line names with
// its length and checksum, so that any copy of it can be checked alone.
#ifndef KTSM_SOAK_CONTENT_H_
#define KTSM_SOAK_CONTENT_H_

#include <cstdint>
#include <string>

namespace ktsm_soak {

// The bytes of generation gen of the file at path (relative to its group):
// "ktsm-soak path=P gen=G len=N fnv=H\n" and N bytes that P and G decide.
std::string file_content(const std::string& path, uint64_t gen);

// Whether data is whole as file_content wrote it for path: *gen receives
// its generation; else *why says what is wrong (torn, mixed, another
// file's, cut short).
bool check_content(const std::string& data, const std::string& path, uint64_t* gen,
                   std::string* why);

}  // namespace ktsm_soak

#endif  // KTSM_SOAK_CONTENT_H_
