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
#include <mutex>
#include <string_view>

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

// Children are started only while this lock is free, so that a kill by name
// that spares this program's children sees every child there is. Recursive:
// that kill starts `killall` itself while it holds the lock.
std::recursive_mutex& spawn_gate() {
  static std::recursive_mutex gate;
  return gate;
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

  pid_t pid = -1;
  std::lock_guard<std::recursive_mutex> gate(spawn_gate());
  int rc = posix_spawnp(&pid, argv[0], &setup.actions_, &setup.attr_, argv.data(), environ);
  if (rc != 0) return Error{errno_text(rc)};
  return pid;
}

constexpr std::chrono::seconds kReadAfterKill{1};

// Milliseconds from now to `deadline` for poll, rounded up; -1 without one.
int poll_timeout(const std::optional<Instant>& deadline) {
  if (!deadline) return -1;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(elapsed_between(now(), *deadline));
  return static_cast<int>(left.count());
}

// Reads both pipes to their ends without letting either one fill up. At the
// time limit the child is killed; reading stops a little later even when the
// pipes are still open.
void drain_pipes(int out_fd, int err_fd, std::string& out, std::string& err, pid_t pid,
                 const TimeLimit& limit) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  int open_count = 2;
  char buffer[8192];
  std::optional<Instant> deadline;
  if (limit) deadline = now() + *limit;
  bool killed = false;
  while (open_count > 0) {
    if (deadline && now() >= *deadline) {
      if (killed) return;
      ::kill(pid, SIGKILL);
      killed = true;
      deadline = now() + kReadAfterKill;
    }
    int n = ::poll(fds, 2, poll_timeout(deadline));
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
}

// The command name and parent of a process from the text of its stat file:
// "PID (NAME) STATE PPID ...", where NAME may hold blanks and parentheses.
std::optional<std::pair<std::string, pid_t>> name_and_parent(const std::string& stat) {
  size_t open = stat.find('(');
  size_t close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return std::nullopt;
  size_t state = stat.find_first_not_of(' ', close + 1);
  if (state == std::string::npos) return std::nullopt;
  size_t parent = stat.find_first_not_of(' ', state + 1);
  if (parent == std::string::npos) return std::nullopt;
  char* end = nullptr;
  long value = std::strtol(stat.c_str() + parent, &end, 10);
  if (end == stat.c_str() + parent) return std::nullopt;
  return std::pair{stat.substr(open + 1, close - open - 1), static_cast<pid_t>(value)};
}

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

Result<CommandOutput> run_capture(const std::vector<std::string>& argv, TimeLimit limit) {
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
  drain_pipes(out_read.get(), err_read.get(), result.out, result.err, *pid, limit);
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

std::vector<NamedProcess> processes_named(const std::string& name, const std::string& proc_dir) {
  std::vector<NamedProcess> found;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(proc_dir.c_str()), ::closedir);
  if (!dir) return found;
  const std::string wanted = name.substr(0, 15);
  while (const dirent* entry = ::readdir(dir.get())) {
    std::string_view id = entry->d_name;
    if (id.empty() || id.size() > 9 || !std::all_of(id.begin(), id.end(), [](char c) {
          return c >= '0' && c <= '9';
        })) {
      continue;
    }
    Result<std::string> stat = read_file(proc_dir + "/" + std::string(id) + "/stat");
    if (!stat) continue;  // ended meanwhile
    auto named = name_and_parent(*stat);
    if (!named || named->first != wanted) continue;
    found.push_back({static_cast<pid_t>(std::stol(std::string(id))), named->second});
  }
  return found;
}

void kill_named_sparing_children(const std::string& name, const std::string& proc_dir) {
  std::lock_guard<std::recursive_mutex> gate(spawn_gate());
  const pid_t self = ::getpid();
  std::vector<NamedProcess> named = processes_named(name, proc_dir);
  auto own = [self](const NamedProcess& p) { return p.parent == self; };
  if (std::none_of(named.begin(), named.end(), own)) {
    (void)run_capture({"killall", "-9", name});
    return;
  }
  for (const NamedProcess& p : named) {
    if (!own(p)) (void)send_signal(p.pid, SIGKILL);
  }
}

}  // namespace ze
