// The simulated process runner. A command line is answered by the first rule of
// sim/tools.ini that matches it, else by a built-in tool, else by a program found in the
// simulated drives and run for real, else the start fails with error 2. Every start is
// one line of sim/calls.jsonl.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>

#include "platform/sim/command_line.h"
#include "platform/sim/effects.h"
#include "platform/sim/services.h"
#include "platform/sim/tools.h"

extern char** environ;

namespace tarvik::sim {

namespace {

using SteadyTime = std::chrono::steady_clock::time_point;

constexpr size_t kRecordedOutput = 4096;
constexpr Status kBadExeFormat = 193;       // ERROR_BAD_EXE_FORMAT
constexpr Status kBadConfiguration = 1610;  // ERROR_BAD_CONFIGURATION
constexpr uint32_t kAccessViolation = 0xC0000005;

enum class Via { kRule, kBuiltin, kExec, kMissing };

const char* via_name(Via v) {
  switch (v) {
    case Via::kRule:
      return "rule";
    case Via::kBuiltin:
      return "builtin";
    case Via::kExec:
      return "exec";
    case Via::kMissing:
      return "missing";
  }
  return "missing";
}

// What a command line starts.
struct Target {
  Via via = Via::kMissing;
  ToolAnswer answer;              // a rule's answer
  std::vector<std::string> argv;  // a real program: argv[0] is the host file to execute
  bool broken_rules = false;      // sim/tools.ini is malformed: nothing starts
};

bool is_file(const std::string& host) {
  struct stat st;
  return ::stat(host.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string folder_of(std::string_view win_path) {
  size_t slash = win_path.find_last_of("\\/");
  return std::string(slash == std::string_view::npos ? "" : win_path.substr(0, slash));
}

// The system's search for the program word: program folder, System32, Windows; the name
// as given, then with .exe, .bat and .cmd when it has no extension.
bool find_program(const Machine& m, const std::string& program, std::string& host) {
  std::string last = program.substr(program.find_last_of("\\/") + 1);
  std::vector<std::string> names{program};
  if (last.find('.') == std::string::npos)
    for (const char* ext : {".exe", ".bat", ".cmd"}) names.push_back(program + ext);
  std::vector<std::string> folders{""};
  if (program.size() < 2 || program[1] != ':') {
    std::string windows = std::string(1, m.system_drive()) + ":\\Windows";
    folders = {folder_of(m.get("system", "program", "C:\\ProgramData\\kovenu\\tarvik\\tarvik.exe")),
               windows + "\\System32", windows};
  }
  for (const auto& folder : folders)
    for (const auto& name : names) {
      std::string candidate = folder.empty() ? name : folder + "\\" + name;
      if (m.host_path(candidate, host) == win::kSuccess && is_file(host)) return true;
    }
  return false;
}

std::string& agent_binary_path() {
  static std::string path;
  return path;
}

Target resolve(const Machine& m, std::string_view cmdline) {
  Target t;
  switch (answer_from_rules(m, cmdline, t.answer)) {
    case RuleResult::kAnswered:
      t.via = Via::kRule;
      return t;
    case RuleResult::kBrokenRules:
      t.broken_rules = true;
      return t;
    case RuleResult::kNoRule:
      break;
  }
  std::string program = program_word(cmdline);
  // The agent starting itself (the service relaunching it on the desktop) runs this
  // very binary again on the same machine.
  if (!agent_binary_path().empty() &&
      equals_nocase(program,
                    m.get("system", "program", "C:\\ProgramData\\kovenu\\tarvik\\tarvik.exe"))) {
    t.via = Via::kExec;
    t.argv = split_command_line(cmdline);
    t.argv[0] = agent_binary_path();
    return t;
  }
  if (is_builtin_tool(program)) {
    t.via = Via::kBuiltin;
    return t;
  }
  std::string host;
  if (program.empty() || !find_program(m, program, host)) return t;
  t.via = Via::kExec;
  t.argv = split_command_line(cmdline);
  t.argv[0] = host;
  // A batch file runs through the host's shell, as the system runs it through its own.
  std::string ext = to_lower(host.substr(host.size() >= 4 ? host.size() - 4 : 0));
  if (ext == ".bat" || ext == ".cmd") t.argv.insert(t.argv.begin(), "/bin/sh");
  return t;
}

// Children nobody waits for any more (detached, relaunched, or past their wait): reaped
// once they have ended.
std::mutex g_pending_mu;
std::vector<pid_t> g_pending;

void reap_pending() {
  std::lock_guard<std::mutex> lock(g_pending_mu);
  std::erase_if(g_pending, [](pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) != 0; });
}

void leave_running(pid_t pid) {
  std::lock_guard<std::mutex> lock(g_pending_mu);
  g_pending.push_back(pid);
}

uint32_t exit_code_of(int status) {
  if (WIFEXITED(status)) return static_cast<uint32_t>(WEXITSTATUS(status));
  int sig = WTERMSIG(status);
  return sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGFPE ? kAccessViolation : 1;
}

// How a child's standard handles and folder are set up.
struct Spawn {
  enum Input { kNullInput, kPipeInput, kInheritInput } input = kNullInput;
  enum Output { kPipeOutput, kFileOutput, kNullOutput, kInheritOutput } output = kPipeOutput;
  int output_fd = -1;     // kFileOutput
  std::string directory;  // host folder the child starts in; empty: ours
  bool new_session = false;
};

struct Child {
  pid_t pid = -1;
  int input = -1;   // our end of its standard input (a socket: sends never raise SIGPIPE)
  int output = -1;  // our end of its standard output and error

  void close_ends() {
    if (input >= 0) ::close(input);
    if (output >= 0) ::close(output);
    input = output = -1;
  }
};

Status start_child(const Machine& m, const std::vector<std::string>& argv, const Spawn& how,
                   Child& child) {
  int out_pipe[2] = {-1, -1}, in_pair[2] = {-1, -1}, err_pipe[2] = {-1, -1};
  auto close_all = [&] {
    for (int fd : {out_pipe[0], out_pipe[1], in_pair[0], in_pair[1], err_pipe[0], err_pipe[1]})
      if (fd >= 0) ::close(fd);
  };
  if ((how.output == Spawn::kPipeOutput && ::pipe2(out_pipe, O_CLOEXEC) != 0) ||
      (how.input == Spawn::kPipeInput &&
       ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in_pair) != 0) ||
      ::pipe2(err_pipe, O_CLOEXEC) != 0) {
    close_all();
    return win::kNotEnoughMemory;
  }
  int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // The child can reach the machine it runs on.
  std::string root_var = "TARVIK_SIM_ROOT=" + m.root();
  std::vector<char*> env;
  for (char** e = environ; *e; ++e)
    if (std::string_view(*e).rfind("TARVIK_SIM_ROOT=", 0) != 0) env.push_back(*e);
  env.push_back(root_var.data());
  env.push_back(nullptr);
  int in_fd = how.input == Spawn::kPipeInput ? in_pair[1] : null_fd;
  int out_fd = how.output == Spawn::kPipeOutput   ? out_pipe[1]
               : how.output == Spawn::kFileOutput ? how.output_fd
                                                  : null_fd;

  pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here on.
    if (how.new_session) ::setsid();
    if (how.input != Spawn::kInheritInput) ::dup2(in_fd, 0);
    if (how.output != Spawn::kInheritOutput) {
      ::dup2(out_fd, 1);
      ::dup2(out_fd, 2);
    }
    if (!how.directory.empty() && ::chdir(how.directory.c_str()) != 0) {
      // The child then starts in our folder.
    }
    ::execve(args[0], args.data(), env.data());
    int err = errno;
    ssize_t ignored = ::write(err_pipe[1], &err, sizeof err);
    (void)ignored;
    ::_exit(127);
  }
  if (null_fd >= 0) ::close(null_fd);
  if (pid < 0) {
    close_all();
    return win::kNotEnoughMemory;
  }
  ::close(err_pipe[1]);
  err_pipe[1] = -1;
  int err = 0;
  ssize_t got;
  do got = ::read(err_pipe[0], &err, sizeof err);
  while (got < 0 && errno == EINTR);
  if (got == sizeof err) {
    ::waitpid(pid, nullptr, 0);
    close_all();
    switch (err) {
      case ENOEXEC:
        return kBadExeFormat;
      case ENOENT:
        return win::kFileNotFound;
      default:
        return win_error_from_errno(err, argv[0]);
    }
  }
  note_child_started(pid);
  child.pid = pid;
  child.output = out_pipe[0];
  child.input = in_pair[0];
  for (int fd : {out_pipe[1], in_pair[1], err_pipe[0]})
    if (fd >= 0) ::close(fd);
  for (int fd : {child.output, child.input})
    if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  return win::kSuccess;
}

struct Outcome {
  bool ended = false;
  uint32_t exit_code = win::kStillActive;
  std::string output;  // the first `keep` bytes the child wrote
};

// Reads what the child has written, keeping the first keep bytes.
void take_output(Child& c, size_t keep, std::string& output) {
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(c.output, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) {
      ::close(c.output);
      c.output = -1;
    }
    if (n <= 0) return;
    if (output.size() < keep) output.append(buf, std::min<size_t>(n, keep - output.size()));
  }
}

// Feeds input to the child and empties its output while it runs, until it has ended or
// the deadline has passed. When it ends, what already waits in the pipe is taken; a
// grandchild that holds the pipe open cannot keep us waiting.
Outcome pump(Child& c, std::string_view input, size_t keep, std::optional<SteadyTime> deadline) {
  Outcome r;
  size_t sent = 0;
  if (c.input >= 0 && input.empty()) ::shutdown(c.input, SHUT_WR);
  for (;;) {
    pollfd fds[2];
    nfds_t n = 0;
    if (c.output >= 0) fds[n++] = {c.output, POLLIN, 0};
    bool feeding = c.input >= 0 && sent < input.size();
    if (feeding) fds[n++] = {c.input, POLLOUT, 0};
    int slice = 10;
    if (deadline) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      *deadline - std::chrono::steady_clock::now())
                      .count();
      slice = static_cast<int>(std::clamp<long long>(left, 0, slice));
    }
    ::poll(fds, n, slice);
    if (c.output >= 0) take_output(c, keep, r.output);
    if (feeding) {
      ssize_t w =
          ::send(c.input, input.data() + sent, input.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (w > 0) sent += static_cast<size_t>(w);
      // All sent, or the child will not read: it sees the end of its input.
      if (sent == input.size() || (w < 0 && errno != EAGAIN && errno != EINTR))
        ::shutdown(c.input, SHUT_WR), sent = input.size();
    }
    int status = 0;
    if (::waitpid(c.pid, &status, WNOHANG) == c.pid) {
      if (c.output >= 0) take_output(c, keep, r.output);
      r.ended = true;
      r.exit_code = exit_code_of(status);
      break;
    }
    if (deadline && std::chrono::steady_clock::now() >= *deadline) break;
  }
  c.close_ends();
  return r;
}

std::optional<SteadyTime> after_ms(uint32_t ms) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

// The text a caller with a buffer of limit bytes sees: cut there, then at the first NUL.
std::string as_text(std::string_view bytes, size_t limit) {
  bytes = bytes.substr(0, limit);
  return std::string(bytes.substr(0, bytes.find('\0')));
}

class SimProcesses final : public Processes {
 public:
  explicit SimProcesses(const Machine& m) : m_(m) {}

  Status run(std::string_view cmdline, uint32_t limit, uint32_t& exit_code,
             std::string& output) override {
    Call call(m_, cmdline, "run");
    ToolAnswer a;
    if (Status s = call.answer("", a, [&](const Target& t, ToolAnswer& out) {
          Child c;
          Status started = start_child(
              m_, t.argv, {Spawn::kNullInput, Spawn::kPipeOutput, -1, system32(), false}, c);
          if (started == win::kSuccess) {
            Outcome o = pump(c, "", limit, std::nullopt);
            out = {o.exit_code, std::move(o.output)};
          }
          return started;
        }))
      return s;
    output = as_text(a.output, limit);
    exit_code = a.exit_code;
    call.finish(a.exit_code, output);
    return win::kSuccess;
  }

  Status run_with_input(std::string_view cmdline, std::string_view input, uint32_t wait_ms,
                        uint32_t limit, std::string& output) override {
    Call call(m_, cmdline, "stdin");
    call.stdin_text = input;
    std::string script(input);
    script.push_back('\0');  // the script and one NUL, as the agent writes it
    ToolAnswer a;
    if (Status s = call.answer(script, a, [&](const Target& t, ToolAnswer& out) {
          Child c;
          Status started = start_child(
              m_, t.argv, {Spawn::kPipeInput, Spawn::kPipeOutput, -1, system32(), false}, c);
          if (started != win::kSuccess) return started;
          pid_t pid = c.pid;
          Outcome o = pump(c, script, limit, after_ms(wait_ms));
          if (!o.ended) {
            // Past its time: the child is ended rather than left holding the machine.
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
          }
          out = {o.exit_code, std::move(o.output)};
          return started;
        }))
      return s;
    output = as_text(a.output, limit);
    call.finish(a.exit_code, output);
    return win::kSuccess;
  }

  Status start_detached(std::string_view cmdline, std::string_view output_file, uint32_t wait_ms,
                        uint32_t& exit_code) override {
    Call call(m_, cmdline, "detached");
    std::string host;
    int fd = -1;
    if (!output_file.empty() && m_.host_path(output_file, host) == win::kSuccess)
      fd = ::open(host.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    std::string directory = host.empty() ? system32() : host.substr(0, host.rfind('/'));
    ToolAnswer a;
    Status s = call.answer("", a, [&](const Target& t, ToolAnswer& out) {
      Spawn how{Spawn::kNullInput, fd >= 0 ? Spawn::kFileOutput : Spawn::kNullOutput, fd, directory,
                true};
      return start_and_wait(t, how, wait_ms, out);
    });
    if (s == win::kSuccess && call.via() != Via::kExec && fd >= 0) {
      ssize_t ignored = ::write(fd, a.output.data(), a.output.size());
      (void)ignored;
    }
    if (fd >= 0) ::close(fd);
    if (s != win::kSuccess) return s;
    exit_code = a.exit_code;
    call.finish(a.exit_code, call.via() == Via::kExec ? "" : a.output);
    return win::kSuccess;
  }

  Status run_no_capture(std::string_view cmdline, uint32_t wait_ms, uint32_t& exit_code) override {
    Call call(m_, cmdline, "nocapture");
    ToolAnswer a;
    if (Status s = call.answer("", a, [&](const Target& t, ToolAnswer& out) {
          Spawn how{Spawn::kInheritInput, Spawn::kInheritOutput, -1, system32(), false};
          return start_and_wait(t, how, wait_ms, out);
        }))
      return s;
    exit_code = a.exit_code;
    call.finish(a.exit_code, a.output);
    return win::kSuccess;
  }

  Status start_on_desktop(std::string_view cmdline, std::string_view) override {
    return start_alone(cmdline, "relaunch");
  }

  void enable_wow64_fs_redirection(bool) override {}

  // The service manager starting a service's program. It is not waited for, as the
  // service manager does not wait for a service's program to end.
  Status start_service(std::string_view cmdline) { return start_alone(cmdline, "service"); }

 private:
  // Starts cmdline with no standard handles, in the system folder and a session of its
  // own, and leaves it running; recorded once started.
  Status start_alone(std::string_view cmdline, const char* how_started) {
    Call call(m_, cmdline, how_started);
    ToolAnswer a;
    if (Status s = call.answer("", a, [&](const Target& t, ToolAnswer& out) {
          Spawn how{Spawn::kNullInput, Spawn::kNullOutput, -1, system32(), true};
          return start_and_wait(t, how, 0, out);
        }))
      return s;
    call.finish(a.exit_code, a.output);
    return win::kSuccess;
  }

  // One start: resolves the command line, answers it and writes its calls.jsonl line.
  class Call {
   public:
    Call(const Machine& m, std::string_view cmdline, const char* how)
        : m_(m), cmdline_(cmdline), how_(how), ms_(m.now_ms()) {
      reap_pending();
    }

    Via via() const { return target_.via; }
    std::string_view stdin_text;

    // Answers the command line; exec starts a real program. A failed start is recorded
    // here with its error as the exit code.
    template <typename Exec>
    Status answer(std::string_view input, ToolAnswer& out, Exec exec) {
      target_ = resolve(m_, cmdline_);
      if (target_.via != Via::kMissing) durable_effect(m_);
      Status s = win::kSuccess;
      switch (target_.via) {
        case Via::kRule:
          out = target_.answer;
          break;
        case Via::kBuiltin:
          out = run_builtin_tool(m_, cmdline_, input);
          break;
        case Via::kExec:
          s = exec(target_, out);
          break;
        case Via::kMissing:
          s = target_.broken_rules ? kBadConfiguration : win::kFileNotFound;
          break;
      }
      if (s != win::kSuccess) finish(s, "");
      return s;
    }

    void finish(uint32_t exit_code, std::string_view output) const {
      char code[16];
      std::snprintf(code, sizeof code, "%u", exit_code);
      m_.record_call("\"cmdline\":\"" + json_escape(cmdline_) + "\",\"stdin\":\"" +
                         json_escape(stdin_text) + "\",\"exit\":" + code + ",\"output\":\"" +
                         json_escape(output.substr(0, kRecordedOutput)) + "\",\"via\":\"" +
                         via_name(target_.via) + "\",\"how\":\"" + how_ + "\"",
                     ms_);
    }

   private:
    const Machine& m_;
    std::string cmdline_;
    const char* how_;
    uint64_t ms_;
    Target target_;
  };

  // Starts t and waits up to wait_ms of real time: out.exit_code is the child's exit
  // code, or kStillActive with the child left running.
  Status start_and_wait(const Target& t, const Spawn& how, uint32_t wait_ms,
                        ToolAnswer& out) const {
    Child c;
    Status s = start_child(m_, t.argv, how, c);
    if (s != win::kSuccess) return s;
    pid_t pid = c.pid;
    Outcome o = pump(c, "", 0, after_ms(wait_ms));
    if (!o.ended) leave_running(pid);
    out.exit_code = o.exit_code;
    return win::kSuccess;
  }

  // Where tools start: the system folder, as for a service.
  std::string system32() const {
    std::string host;
    std::string path = std::string(1, m_.system_drive()) + ":\\Windows\\System32";
    return m_.host_path(path, host) == win::kSuccess && ::access(host.c_str(), X_OK) == 0 ? host
                                                                                          : "";
  }

  const Machine& m_;
};

}  // namespace

void set_agent_binary(const std::string& host_path) {
  agent_binary_path() = host_path;
}

Status start_service_program(const Machine& m, std::string_view cmdline) {
  return SimProcesses(m).start_service(cmdline);
}

std::unique_ptr<Processes> make_processes(const Machine& m) {
  return std::make_unique<SimProcesses>(m);
}

}  // namespace tarvik::sim
