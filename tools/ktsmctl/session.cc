#include "session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <list>

#include "handles.h"
#include "ktfssnapcore/ktfssnapcore.h"
#include "ktsm/ktsm_filegroup_version_set.h"
#include "names.h"
#include "output.h"
#include "volume_client.h"

namespace ktsmctl {

tee_sink::tee_sink(std::shared_ptr<ktfs::log_sink> target, const std::string& volume)
    : m_target(std::move(target)), m_origin("pid " + std::to_string(::getpid()) + " " + volume) {}

namespace {

// "2024-05-01T12:00:00.123Z": now, in UTC, to the millisecond.
std::string utc_now() {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  struct tm parts;
  ::gmtime_r(&now.tv_sec, &parts);
  char text[40];
  size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  std::snprintf(text + n, sizeof text - n, ".%03ldZ", now.tv_nsec / 1000000);
  return text;
}

}  // namespace

void tee_sink::write(const ktfs::log_record& record) {
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (record.is_error || record.level < 0) {
      ++m_marked;
      m_last = record;
    }
  }
  ktfs::log_record stamped = record;
  stamped.function = utc_now() + " " + m_origin + " " + record.function;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_holding) {
      if (m_held.size() == kHeldRecords) m_held.erase(m_held.begin());
      m_held.push_back(stamped);
      return;
    }
  }
  m_target->write(stamped);
}

void tee_sink::hold() {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_holding = true;
}

void tee_sink::settle(bool pass) {
  std::vector<ktfs::log_record> held;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    held.swap(m_held);
    m_holding = false;
  }
  if (!pass) return;
  for (const ktfs::log_record& r : held) m_target->write(r);
  m_target->flush();
}

size_t tee_sink::marked_count() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_marked;
}

std::string tee_sink::last_since(size_t mark) const {
  std::lock_guard<std::mutex> guard(m_mutex);
  if (m_marked <= mark) return "";
  return m_last.text;
}

session::~session() {
  if (m_started) vs::stop();
  ktfssnapcore::set_logger(nullptr);
}

// The library's last failure record in plain words: its bracketed names
// as they are, group paths with one leading slash ("[//g/.snaps]" becomes
// "/g/.snaps"); the record itself, with the function, stays in the log.
std::string session::library_note(size_t mark) const {
  std::string said = m_sink ? m_sink->last_since(mark) : "";
  if (said.empty()) return "";
  std::string plain;
  for (size_t at = 0; at < said.size();) {
    size_t open = said.find('[', at),
           close = open == std::string::npos ? std::string::npos : said.find(']', open + 1);
    if (close == std::string::npos) {
      plain += said.substr(at);
      break;
    }
    std::string name = said.substr(open + 1, close - open - 1);
    if (name.rfind("//", 0) == 0) name.erase(0, 1);
    plain += said.substr(at, open - at) + escaped(name);
    at = close + 1;
  }
  return " (cause: " + plain + ")";
}

bool session::prepare_volume() {
  struct stat st;
  if (!m_volume.local) return true;
  std::string error;
  if (m_volume.embedded && !make_directories(m_volume.local_dir, &error)) {
    return report_failure(error + " (set KTSM_HOME to a writable directory)");
  }
  if (::stat(m_volume.local_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return report_failure("local volume directory \"" + m_volume.local_dir +
                          "\" does not exist (create it, or leave out --local and KTSM_LOCAL "
                          "to use the default volume)");
  }
  return true;
}

namespace {

// A log file past this size is moved aside before a command writes to it:
// ktsmctl.log.1, .2 and .3 keep the older records.
const std::uintmax_t kRotateBytes = 4u << 20;
const int kKeptLogs = 3;

void rotate_log(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::file_size(path, ec) < kRotateBytes || ec) return;
  for (int i = kKeptLogs - 1; i >= 1; --i) {
    std::filesystem::rename(path + "." + std::to_string(i), path + "." + std::to_string(i + 1), ec);
  }
  // Another ktsmctl may have moved it first: either way a new file starts.
  std::filesystem::rename(path, path + ".1", ec);
}

// What the library writes: with -v everything it says, else its steps
// (level 0 and below) and failures.
int log_level(const log_choice& log) { return log.to_stderr ? 1 : 0; }

}  // namespace

void session::install_log(const log_choice& log) {
  std::shared_ptr<ktfs::log_sink> target;
  if (log.to_stderr) {
    target = std::make_shared<ktfs::stream_sink>();
    m_log_description = "standard error";
  } else {
    rotate_log(log.path);
    auto file = std::make_shared<ktfs::stream_sink>(log.path);
    m_log_description = log.path;
    target = file;
    if (!file->good()) {
      report_warning("cannot write the log file " + log.path +
                     "; the library's messages are dropped (set KTSM_LOG or use --log FILE)");
      target = std::make_shared<ktfs::null_sink>();
      m_log_description = "nowhere";
    }
  }
  m_sink = std::make_shared<tee_sink>(target, m_volume.describe());
  if (log.quiet && !log.to_stderr) m_sink->hold();
  ktfs::ktfs_debug::set_default_sink(m_sink);
  ktfs::ktfs_debug::set_default_level(log_level(log));
  m_snap_logger.reset(new ktfs::ktfs_debug(m_sink, log_level(log)));
  ktfssnapcore::set_logger(m_snap_logger.get());
}

bool session::open(const volume_choice& volume, const log_choice& log) {
  m_volume = volume;
  if (!prepare_volume()) return false;
  if (!log.to_stderr && !log.path.empty()) {
    std::string error;
    make_directories(std::filesystem::path(log.path).parent_path().string(), &error);
  }
  install_log(log);
  ktfs::client_defaults defaults;
  if (volume.local) {
    defaults.local_root = volume.local_dir;
  } else {
    defaults.volfile_server = volume.server;
  }
  ktfs::set_client_defaults(defaults);
  int32_t status = vs::init(volume.init_name(), "");
  m_started = true;
  if (status != 0 && !find_unrecovered()) return false;
  return true;
}

// init answers 1 both when the root cannot be listed and when some group
// did not recover; listing the root again tells them apart.
bool session::find_unrecovered() {
  std::list<std::string> entries;
  if (vs::read_live_directory("/", entries) != 0) {
    std::string what = m_volume.local
                           ? "cannot read the " + m_volume.describe() + " (check its permissions)"
                           : "cannot reach the " + m_volume.describe() +
                                 " (check that the volume is started and the server answers)";
    return report_failure(what + library_note(0));
  }
  std::list<vs::set_ptr> sets;
  vs::list_version_sets(sets);
  volume_client client;
  bool connected = client.connect(m_volume);
  for (const std::string& entry : entries) {
    bool registered = std::any_of(sets.begin(), sets.end(),
                                  [&](const vs::set_ptr& s) { return s->get_name() == entry; });
    if (registered) continue;
    (connected && !looks_like_group(client, entry) ? m_not_groups : m_unrecovered).push_back(entry);
  }
  return true;
}

// A directory holding a ".snaps" directory: what start-up should have
// rebuilt.  Anything else at the top is no file group at all.
bool session::looks_like_group(volume_client& client, const std::string& entry) {
  struct stat st;
  return !client.lstat(entry, &st) && S_ISDIR(st.st_mode) &&
         !client.lstat(entry + "/.snaps", &st) && S_ISDIR(st.st_mode);
}

}  // namespace ktsmctl
