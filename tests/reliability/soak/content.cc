#include "content.h"

#include <cinttypes>
#include <cstdio>

namespace ktsm_soak {

namespace {

uint64_t fnv1a(const std::string& data, uint64_t hash = 1469598103934665603ULL) {
  for (unsigned char c : data) hash = (hash ^ c) * 1099511628211ULL;
  return hash;
}

// The payload of (path, gen): 100 to 20,099 bytes of an xorshift stream.
std::string payload(const std::string& path, uint64_t gen) {
  uint64_t x = fnv1a(path) ^ (gen * 0x9e3779b97f4a7c15ULL);
  if (x == 0) x = 1;
  auto next = [&x] {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
  };
  std::string out(100 + next() % 20000, '\0');
  for (char& c : out) c = static_cast<char>(next() >> 56);
  return out;
}

std::string header(const std::string& path, uint64_t gen, const std::string& body) {
  char text[64];
  std::snprintf(text, sizeof text, " gen=%" PRIu64 " len=%zu fnv=%016" PRIx64 "\n", gen,
                body.size(), fnv1a(body));
  return "ktsm-soak path=" + path + text;
}

}  // namespace

std::string file_content(const std::string& path, uint64_t gen) {
  std::string body = payload(path, gen);
  return header(path, gen, body) + body;
}

bool check_content(const std::string& data, const std::string& path, uint64_t* gen,
                   std::string* why) {
  size_t eol = data.find('\n');
  const std::string prefix = "ktsm-soak path=" + path + " gen=";
  if (eol == std::string::npos || data.compare(0, prefix.size(), prefix) != 0) {
    *why = data.empty() ? "empty" : "its first line is not this file's header";
    return false;
  }
  uint64_t g = 0;
  if (std::sscanf(data.c_str() + prefix.size(), "%" SCNu64, &g) != 1) {
    *why = "no generation in its header";
    return false;
  }
  std::string body = payload(path, g);
  if (data.substr(0, eol + 1) != header(path, g, body)) {
    *why = "its header does not match generation " + std::to_string(g);
    return false;
  }
  if (data.size() != eol + 1 + body.size() || data.compare(eol + 1, body.size(), body) != 0) {
    *why = "generation " + std::to_string(g) + " is torn or mixed (" + std::to_string(data.size()) +
           " bytes)";
    return false;
  }
  *gen = g;
  return true;
}

}  // namespace ktsm_soak
