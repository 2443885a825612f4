#include "base/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <thread>

#include "base/clock.h"
#include "base/errors.h"
#include "base/files.h"

extern char** environ;

namespace ze {
namespace {

ExitStatus decode_wait_status(int raw) {
  ExitStatus status;
  if (WIFSIGNALED(raw)) {
    status.signaled = true;
    status.value = WTERMSIG(raw);
  } else {
    status.value = WEXITSTATUS(raw);
  }
  return status;
}

// posix_spawn attributes and file actions, released on scope exit.
class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawnattr_init(&attr_);
    posix_spawn_file_actions_init(&actions_);
  }
  ~SpawnSetup() {
    posix_spawnattr_destroy(&attr_);
    posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
};

// The inherited environment with `entries` ("NAME=value") set over it.
std::vector<std::string> child_environment(const std::vector<std::string>& entries) {
  std::vector<std::string> merged;
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string_view inherited = *entry;
    std::string_view name = inherited.substr(0, inherited.find('='));
    bool replaced = std::any_of(entries.begin(), entries.end(), [&](const std::string& e) {
      return std::string_view(e).substr(0, e.find('=')) == name;
    });
    if (!replaced) merged.emplace_back(inherited);
  }
  merged.insert(merged.end(), entries.begin(), entries.end());
  return merged;
}

Result<pid_t> spawn_raw(const SpawnOptions& options, int out_fd, int err_fd, int in_fd) {
  if (options.argv.empty()) return Error{"empty command"};
  SpawnSetup setup;
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  sigset_t empty;
  sigemptyset(&empty);
  posix_spawnattr_setsigmask(&setup.attr_, &empty);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&setup.attr_, &defaults);
  if (options.new_process_group) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&setup.attr_, 0);
  }
  posix_spawnattr_setflags(&setup.attr_, flags);
  if (in_fd >= 0) posix_spawn_file_actions_adddup2(&setup.actions_, in_fd, STDIN_FILENO);
  if (out_fd >= 0) posix_spawn_file_actions_adddup2(&setup.actions_, out_fd, STDOUT_FILENO);
  if (err_fd >= 0) posix_spawn_file_actions_adddup2(&setup.actions_, err_fd, STDERR_FILENO);

  std::vector<char*> argv;
  argv.reserve(options.argv.size() + 1);
  for (const std::string& arg : options.argv) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  std::vector<std::string> environment;
  std::vector<char*> envp;
  if (!options.environment.empty()) {
    environment = child_environment(options.environment);
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
  }

  pid_t pid = -1;
  int rc = posix_spawnp(&pid, argv[0], &setup.actions_, &setup.attr_, argv.data(),
                        envp.empty() ? environ : envp.data());
  if (rc != 0) return Error{errno_text(rc)};
  return pid;
}

constexpr std::chrono::seconds kReadAfterKill{1};
constexpr size_t kLargestReserve = 64 * 1024 * 1024;

// Milliseconds from now to `deadline` for poll, rounded up; -1 without one.
int poll_timeout(const std::optional<Instant>& deadline) {
  if (!deadline) return -1;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(elapsed_between(now(), *deadline));
  return static_cast<int>(left.count());
}

// Reads both pipes to their ends without letting either one fill up. At the
// time limit the child is killed; reading stops a little later even when the
// pipes are still open. A stream that goes beyond `output_limit` (0: none)
// kills the child at once and ends the reading: true then. No read goes
// further than one byte past the limit.
bool drain_pipes(int out_fd, int err_fd, std::string& out, std::string& err, pid_t pid,
                 const TimeLimit& limit, size_t output_limit) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  int open_count = 2;
  char buffer[8192];
  std::optional<Instant> deadline;
  if (limit) deadline = now() + *limit;
  bool killed = false;
  // Room for all that may be kept, set aside once: growing the text by
  // doubling would briefly hold the old copy beside a new one twice as
  // large. Pages never written to take no memory.
  if (output_limit > 0 && output_limit < kLargestReserve) out.reserve(output_limit + 1);
  while (open_count > 0) {
    if (deadline && now() >= *deadline) {
      if (killed) return false;
      ::kill(pid, SIGKILL);
      killed = true;
      deadline = now() + kReadAfterKill;
    }
    int n = ::poll(fds, 2, poll_timeout(deadline));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      size_t room = sizeof buffer;
      if (output_limit > 0) room = std::min(room, output_limit + 1 - sinks[i]->size());
      ssize_t got = ::read(fds[i].fd, buffer, room);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(got));
        if (output_limit > 0 && sinks[i]->size() > output_limit) {
          ::kill(pid, SIGKILL);
          sinks[i]->resize(output_limit);
          return true;
        }
      } else if (got == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  return false;
}

// The identity in the text of a stat file: "PID (NAME) STATE PPID ...",
// where NAME may hold blanks and parentheses; the start time is the 22nd
// field. Nothing for a zombie or a text of another shape.
std::optional<ProcessIdentity> identity_from_stat(std::string_view stat) {
  size_t open = stat.find('(');
  size_t close = stat.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
    return std::nullopt;
  }
  std::vector<std::string_view> fields;  // from the third on
  for (size_t pos = close + 1; pos < stat.size() && fields.size() < 20;) {
    size_t start = stat.find_first_not_of(" \n", pos);
    if (start == std::string_view::npos) break;
    size_t end = stat.find_first_of(" \n", start);
    if (end == std::string_view::npos) end = stat.size();
    fields.push_back(stat.substr(start, end - start));
    pos = end;
  }
  if (fields.size() < 20 || fields[0] == "Z" || fields[0] == "X") return std::nullopt;
  ProcessIdentity identity;
  for (char c : fields[19]) {
    if (c < '0' || c > '9') return std::nullopt;
    identity.start_time = identity.start_time * 10 + static_cast<uint64_t>(c - '0');
  }
  identity.name = std::string(stat.substr(open + 1, close - open - 1));
  return identity;
}

// The numbers of the processes listed in `proc_dir`.
std::vector<pid_t> listed_processes(const std::string& proc_dir) {
  std::vector<pid_t> pids;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(proc_dir.c_str()), ::closedir);
  if (!dir) return pids;
  while (const dirent* entry = ::readdir(dir.get())) {
    std::string_view id = entry->d_name;
    if (id.empty() || id.size() > 9 || !std::all_of(id.begin(), id.end(), [](char c) {
          return c >= '0' && c <= '9';
        })) {
      continue;
    }
    pids.push_back(static_cast<pid_t>(std::stol(std::string(id))));
  }
  return pids;
}

// Rounds of kill_marked, with a pause after each that found someone: a
// second at most, for a process that ends slowly or a shell that starts
// children while it dies.
constexpr int kMarkedKillRounds = 50;
constexpr useconds_t kMarkedKillPause = 20000;

// Blocks until `pid` has ended; EINTR is retried. A child that cannot be
// waited for (already reaped elsewhere) counts as ended by SIGKILL.
ExitStatus wait_for(pid_t pid) {
  int raw = 0;
  pid_t got;
  do {
    got = ::waitpid(pid, &raw, 0);
  } while (got < 0 && errno == EINTR);
  return got < 0 ? ExitStatus{true, SIGKILL} : decode_wait_status(raw);
}

}  // namespace

std::string ExitStatus::describe() const {
  return (signaled ? "signal: " : "exit status: ") + std::to_string(value);
}

Result<Process> Process::spawn(const SpawnOptions& options) {
  UniqueFd null_out;
  UniqueFd null_in;
  if (options.output == Output::Discard) {
    null_out.reset(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  }
  if (options.stdin_null) null_in.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (options.output == Output::Capture) return Error{"capture needs run_capture"};
  Result<pid_t> pid = spawn_raw(options, null_out.get(), null_out.get(), null_in.get());
  if (!pid) return Error{pid.error()};
  return Process(*pid);
}

Process::Process(Process&& other) noexcept : pid_(other.pid_), status_(other.status_) {
  other.pid_ = -1;
  other.status_.reset();
}

Process& Process::operator=(Process&& other) noexcept {
  pid_ = other.pid_;
  status_ = other.status_;
  other.pid_ = -1;
  other.status_.reset();
  return *this;
}

Result<std::optional<ExitStatus>> Process::try_wait() {
  if (status_) return status_;
  int raw = 0;
  pid_t got;
  do {
    got = ::waitpid(pid_, &raw, WNOHANG);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return Error{errno_text(errno)};
  if (got == 0) return std::optional<ExitStatus>();
  status_ = decode_wait_status(raw);
  return status_;
}

ExitStatus Process::wait() {
  if (!status_) status_ = wait_for(pid_);
  return *status_;
}

Result<PipedProcess> spawn_piped(const SpawnOptions& options) {
  int out_pipe[2];
  int err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return Error{errno_text(errno)};
  UniqueFd out_read(out_pipe[0]);
  UniqueFd out_write(out_pipe[1]);
  if (::pipe2(err_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return Error{errno_text(errno)};
  UniqueFd err_read(err_pipe[0]);
  UniqueFd err_write(err_pipe[1]);
  // The child's ends block as usual.
  (void)::fcntl(out_write.get(), F_SETFL, 0);
  (void)::fcntl(err_write.get(), F_SETFL, 0);
  UniqueFd null_in(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  Result<pid_t> pid = spawn_raw(options, out_write.get(), err_write.get(), null_in.get());
  if (!pid) return Error{pid.error()};
  return PipedProcess{Process(*pid), std::move(out_read), std::move(err_read)};
}

Result<CommandOutput> run_capture(const std::vector<std::string>& argv, TimeLimit limit,
                                  size_t output_limit) {
  int out_pipe[2];
  int err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) return Error{errno_text(errno)};
  UniqueFd out_read(out_pipe[0]);
  UniqueFd out_write(out_pipe[1]);
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) return Error{errno_text(errno)};
  UniqueFd err_read(err_pipe[0]);
  UniqueFd err_write(err_pipe[1]);
  UniqueFd null_in(::open("/dev/null", O_RDONLY | O_CLOEXEC));

  SpawnOptions options;
  options.argv = argv;
  Result<pid_t> pid = spawn_raw(options, out_write.get(), err_write.get(), null_in.get());
  if (!pid) return Error{pid.error()};
  out_write.reset();
  err_write.reset();
  null_in.reset();

  CommandOutput result;
  result.over_limit =
      drain_pipes(out_read.get(), err_read.get(), result.out, result.err, *pid, limit, output_limit);
  result.status = wait_for(*pid);
  return result;
}

Result<ExitStatus> run_wait(const std::vector<std::string>& argv, Output output, TimeLimit limit) {
  if (output == Output::Capture) {
    Result<CommandOutput> captured = run_capture(argv, limit);
    if (!captured) return Error{captured.error()};
    return captured->status;
  }
  SpawnOptions options;
  options.argv = argv;
  options.output = output;
  Result<Process> process = Process::spawn(options);
  if (!process) return Error{process.error()};
  if (limit) {
    Instant deadline = now() + *limit;
    for (;;) {
      Result<std::optional<ExitStatus>> ended = process->try_wait();
      if (!ended || ended->has_value()) break;
      if (now() >= deadline) {
        (void)::kill(process->pid(), SIGKILL);
        break;
      }
      ::usleep(20000);
    }
  }
  return process->wait();
}

void run_shell_quietly(const std::string& line) {
  (void)run_wait({"sh", "-c", line}, Output::Discard);
}

Status send_signal(pid_t pid, int signal) {
  if (::kill(pid, signal) != 0) return Error{errno_text(errno)};
  return ok_status();
}

Status send_group_signal(pid_t group, int signal) {
  if (::kill(-group, signal) != 0) return Error{errno_text(errno)};
  return ok_status();
}

bool process_alive(pid_t pid) { return ::kill(pid, 0) == 0; }

std::optional<ProcessIdentity> process_identity(pid_t pid, const std::string& proc_dir) {
  if (pid <= 0) return std::nullopt;
  Result<std::string> stat = read_file(proc_dir + "/" + std::to_string(pid) + "/stat");
  if (!stat) return std::nullopt;
  return identity_from_stat(*stat);
}

std::optional<ProcessIdentity> started_identity(pid_t pid, const std::string& program,
                                                const std::string& proc_dir) {
  constexpr size_t kCommandNameLength = 15;  // the kernel's TASK_COMM_LEN less its NUL
  std::string name = program.substr(program.rfind('/') + 1).substr(0, kCommandNameLength);
  const Instant deadline = now() + std::chrono::milliseconds(200);
  for (;;) {
    std::optional<ProcessIdentity> identity = process_identity(pid, proc_dir);
    if (!identity || identity->name == name || now() > deadline) return identity;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool process_has_mark(pid_t pid, const std::string& mark, const std::string& proc_dir) {
  if (pid <= 0 || mark.empty()) return false;
  // The environment the process was started with: NUL-separated entries.
  Result<std::string> environment = read_file(proc_dir + "/" + std::to_string(pid) + "/environ");
  if (!environment) return false;
  std::string_view rest = *environment;
  while (!rest.empty()) {
    size_t end = rest.find('\0');
    if (rest.substr(0, end) == mark) return true;
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return false;
}

std::vector<pid_t> processes_marked(const std::string& mark, const std::string& proc_dir) {
  std::vector<pid_t> marked;
  const pid_t self = ::getpid();
  for (pid_t pid : listed_processes(proc_dir)) {
    if (pid != self && process_has_mark(pid, mark, proc_dir)) marked.push_back(pid);
  }
  return marked;
}

std::vector<pid_t> kill_marked(const std::string& mark, const std::string& proc_dir) {
  std::vector<pid_t> killed;
  for (int round = 0; round < kMarkedKillRounds; ++round) {
    std::vector<pid_t> marked = processes_marked(mark, proc_dir);
    if (marked.empty()) break;
    for (pid_t pid : marked) {
      if (send_signal(pid, SIGKILL) && std::find(killed.begin(), killed.end(), pid) == killed.end()) {
        killed.push_back(pid);
      }
    }
    // A killed process shows its environment until it has ended.
    ::usleep(kMarkedKillPause);
  }
  return killed;
}

}  // namespace ze
