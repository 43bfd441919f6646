// Reads GlusterFS's path information of a directory: which subvolumes of
// each distribute translator answered a lookup of it.
#include <cstddef>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "backends.h"

namespace ktfs {

namespace {

// One item of the text: an atom ("<DISTRIBUTE:v-dht>", "<POSIX(...):...>"),
// a word ("v-dht-layout", "v-client-0", "0") or a parenthesised list.
struct item {
  std::string text;  // atoms and words
  std::vector<item> list;
  bool is_list = false;
};

class reader {
 public:
  explicit reader(const std::string& text) : m_text(text) {}

  // The items up to the end of the text; false when it is not well formed.
  bool read_all(std::vector<item>* out) {
    while (skip_spaces()) {
      item next;
      if (!read_item(&next)) return false;
      out->push_back(std::move(next));
    }
    return true;
  }

 private:
  bool skip_spaces() {
    while (m_at < m_text.size() && m_text[m_at] == ' ') ++m_at;
    return m_at < m_text.size();
  }

  bool read_item(item* out) {
    char c = m_text[m_at];
    if (c == ')') return false;
    if (c == '(') return read_list(out);
    size_t end = c == '<' ? m_text.find('>', m_at) : m_text.find_first_of(" ()", m_at);
    if (c == '<' && end == std::string::npos) return false;
    if (c == '<') ++end;
    if (end == std::string::npos) end = m_text.size();
    out->text = m_text.substr(m_at, end - m_at);
    m_at = end;
    return true;
  }

  bool read_list(item* out) {
    out->is_list = true;
    ++m_at;  // '('
    for (;;) {
      if (!skip_spaces()) return false;
      if (m_text[m_at] == ')') {
        ++m_at;
        return true;
      }
      item next;
      if (!read_item(&next)) return false;
      out->list.push_back(std::move(next));
    }
  }

  const std::string& m_text;
  size_t m_at = 0;
};

// Per distribute translator: the answers its list holds and the
// subvolumes its layout names.
struct tally {
  size_t answered = 0;
  size_t expected = 0;
  bool has_layout = false;
};

// The translator name of a list's head "<KIND:name>", or "" when the head
// is no such atom.
std::string named(const std::string& head, const std::string& kind) {
  if (head.compare(0, kind.size(), kind) != 0 || head.back() != '>') return "";
  return head.substr(kind.size(), head.size() - kind.size() - 1);
}

// Fills *seen for the distribute translators and *copies with the answers
// of each replicate translator.
void count(const std::vector<item>& items, std::map<std::string, tally>* seen,
           std::map<std::string, size_t>* copies) {
  const std::string kLayout = "-layout";
  for (const item& i : items) {
    if (!i.is_list) continue;
    count(i.list, seen, copies);
    if (i.list.empty() || i.list.front().is_list) continue;
    const std::string& head = i.list.front().text;
    if (std::string name = named(head, "<DISTRIBUTE:"); !name.empty()) {
      (*seen)[name].answered = i.list.size() - 1;
    } else if (std::string set = named(head, "<REPLICATE:"); !set.empty()) {
      (*copies)[set] = i.list.size() - 1;
    } else if (head.size() > kLayout.size() &&
               head.compare(head.size() - kLayout.size(), kLayout.size(), kLayout) == 0) {
      tally& t = (*seen)[head.substr(0, head.size() - kLayout.size())];
      t.expected = i.list.size() - 1;
      t.has_layout = true;
    }
  }
}

}  // namespace

std::error_code pathinfo_answered(const std::string& text,
                                  const std::map<std::string, size_t>* replicas) {
  std::vector<item> items;
  if (!reader(text).read_all(&items)) return errno_code(EPROTO);
  std::map<std::string, tally> seen;
  std::map<std::string, size_t> copies;
  count(items, &seen, &copies);
  for (const auto& [name, t] : seen) {
    if (!t.has_layout) return errno_code(EPROTO);
    if (t.answered < t.expected) return errno_code(ENOTCONN);
  }
  if (replicas == nullptr) return {};
  for (const auto& [name, answered] : copies) {
    auto expected = replicas->find(name);
    if (expected == replicas->end()) return errno_code(EPROTO);
    if (answered < expected->second) return errno_code(ENOTCONN);
  }
  return {};
}

std::map<std::string, size_t> replica_sets(const std::string& volfile) {
  std::map<std::string, size_t> sets;
  std::istringstream in(volfile);
  std::string line, name;
  bool replicate = false;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string word;
    words >> word;
    if (word == "volume") {
      words >> name;
      replicate = false;
    } else if (word == "type") {
      words >> word;
      replicate = word == "cluster/replicate";
    } else if (word == "subvolumes" && replicate) {
      size_t n = 0;
      while (words >> word) ++n;
      sets[name] = n;
    }
  }
  return sets;
}

}  // namespace ktfs
