// Every external program the player runs goes through this module: players,
// the stream script, curl, tinymix, sed and sh. Children are started with
// posix_spawn, get default SIGPIPE handling and an empty signal mask, and
// inherit no descriptor but the standard streams (the program opens every
// file close-on-exec). A child can be given a mark in its environment, which
// its own children inherit, so that the program finds what it started, and
// only that, in /proc. A Process is owned by one thread at a time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/result.h"

namespace ze {

// How a child's standard output and error are connected.
enum class Output {
  Inherit,  // the program's own streams
  Capture,  // read into memory in full
  Discard,  // /dev/null
};

struct SpawnOptions {
  std::vector<std::string> argv;   // argv[0] is searched in PATH unless it holds a '/'
  Output output = Output::Inherit;
  bool new_process_group = false;  // the child leads a group whose id is its pid
  bool stdin_null = false;         // standard input from /dev/null instead of inherited
  // "NAME=value" entries set in the child's environment over the inherited
  // ones (a mark, see processes_marked).
  std::vector<std::string> environment;
};

// How a child ended, as the system reports it.
struct ExitStatus {
  bool signaled = false;
  int value = 0;  // exit code, or signal number when signaled

  bool success() const { return !signaled && value == 0; }
  // "exit status: N" or "signal: N".
  std::string describe() const;
};

// A started child process. Movable, not copyable. Dropping a Process neither
// signals nor reaps the child.
class Process {
 public:
  static Result<Process> spawn(const SpawnOptions& options);

  Process(Process&& other) noexcept;
  Process& operator=(Process&& other) noexcept;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process() = default;

  pid_t pid() const { return pid_; }
  // The remembered exit status once the child has been reaped.
  const std::optional<ExitStatus>& exit_status() const { return status_; }
  bool running() const { return !status_.has_value(); }

  // Non-blocking: the exit status once the child has ended (remembered for
  // later calls), nothing while it runs, or the system's error text.
  Result<std::optional<ExitStatus>> try_wait();
  // Blocks until the child has ended; EINTR is retried.
  ExitStatus wait();

 private:
  friend Result<struct PipedProcess> spawn_piped(const SpawnOptions& options);
  explicit Process(pid_t pid) : pid_(pid) {}
  pid_t pid_ = -1;
  std::optional<ExitStatus> status_;
};

// A child whose standard output and error come to this program through
// pipes, read while it runs (a download streamed into the stream engine).
// Both read ends are close-on-exec and non-blocking.
struct PipedProcess {
  Process process;
  UniqueFd out;
  UniqueFd err;
};

// Starts a command with standard input from /dev/null and its output and
// error on pipes. Fails only when the command cannot be started.
Result<PipedProcess> spawn_piped(const SpawnOptions& options);

struct CommandOutput {
  ExitStatus status;
  std::string out;
  std::string err;
  bool over_limit = false;  // killed for writing more than its output limit
};

// A longest run for a command; a command still running when it is over is
// killed with SIGKILL and reported as ended by that signal. None: no limit.
using TimeLimit = std::optional<std::chrono::milliseconds>;

// Runs a command to its end with standard output and error captured. Fails
// only when the command cannot be started. After a kill at the time limit,
// output is read for one more second at most (a grandchild may still hold
// the pipes) and then given up. With an output limit (bytes, 0: none) the
// command is killed as soon as either stream goes beyond it, so no more than
// the limit and one read is ever held; `out` then holds what came before.
Result<CommandOutput> run_capture(const std::vector<std::string>& argv,
                                  TimeLimit limit = std::nullopt, size_t output_limit = 0);

// Runs a command to its end with the given output handling and returns how it
// ended. Fails only when the command cannot be started.
Result<ExitStatus> run_wait(const std::vector<std::string>& argv, Output output,
                            TimeLimit limit = std::nullopt);

// Runs "sh -c LINE" to its end with output discarded; the result is ignored.
void run_shell_quietly(const std::string& line);

// Signals; errors are returned as texts and may be ignored by the caller.
Status send_signal(pid_t pid, int signal);
Status send_group_signal(pid_t group, int signal);
// Signal 0: whether a process with this id exists and may be signalled.
bool process_alive(pid_t pid);

// Who a process is: its start time (clock ticks after boot, field 22 of
// /proc/PID/stat) and its command name (field 2), which together tell it
// from a later process that got the same number.
struct ProcessIdentity {
  uint64_t start_time = 0;
  std::string name;
  bool operator==(const ProcessIdentity&) const = default;
};

// The identity of a live process; nothing when it is gone (or a zombie) or
// its stat file cannot be read.
std::optional<ProcessIdentity> process_identity(pid_t pid, const std::string& proc_dir = "/proc");

// The identity of a child just started to run `program` (a name or a path).
// The kernel lets the parent of an exec go on a moment before the child
// takes the program's name, so the stat file is read again until the name is
// the program's (its base name, cut to the kernel's 15 bytes), for 200 ms at
// most; after that the last reading is returned as it is.
std::optional<ProcessIdentity> started_identity(pid_t pid, const std::string& program,
                                                const std::string& proc_dir = "/proc");

// Whether the environment a process was started with holds the entry `mark`
// ("NAME=value") exactly. False for a process that cannot be read.
bool process_has_mark(pid_t pid, const std::string& mark, const std::string& proc_dir = "/proc");

// Every process but this one whose environment holds `mark`.
std::vector<pid_t> processes_marked(const std::string& mark, const std::string& proc_dir = "/proc");

// Ends every process that carries `mark` with SIGKILL and returns once none
// is left (a marked shell may start another child meanwhile), or after a
// second at most. Returns the PIDs signalled.
std::vector<pid_t> kill_marked(const std::string& mark, const std::string& proc_dir = "/proc");

}  // namespace ze
