#include "core/remote/channel.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "core/remote/protocol.h"

extern char** environ;

namespace tavrik::remote {

namespace {

// send with MSG_NOSIGNAL where out is a socket, so a peer that went away is EPIPE, not a
// signal that ends this process; write where it is a pipe or a file.
// *socket says which it is, learnt at the first write.
bool WriteAll(int out, const char* p, size_t size, bool* socket) {
  while (size > 0) {
    ssize_t n = *socket ? ::send(out, p, size, MSG_NOSIGNAL) : ::write(out, p, size);
    if (n < 0 && *socket && errno == ENOTSOCK) {
      *socket = false;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// read, but while stopped is given it waits in slices and gives up with EINTR once stopped
// says so.
ssize_t ReadUnlessStopped(int fd, void* buf, size_t size, const std::function<bool()>& stopped) {
  for (;;) {
    if (stopped) {
      if (stopped()) {
        errno = EINTR;
        return -1;
      }
      struct pollfd p = {fd, POLLIN, 0};
      const int ready = ::poll(&p, 1, 200);
      if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
    }
    const ssize_t n = ::read(fd, buf, size);
    if (n < 0 && errno == EINTR && !stopped) continue;
    return n;
  }
}

class Fds : public Channel {
 public:
  Fds(int in, int out, bool owned, std::function<bool()> stopped)
      : in_(in), out_(out), owned_(owned), stopped_(std::move(stopped)) {}
  ~Fds() override {
    if (!owned_) return;
    ::close(in_);
    if (out_ != in_) ::close(out_);
  }
  ssize_t Read(void* buf, size_t size) override {
    return ReadUnlessStopped(in_, buf, size, stopped_);
  }
  bool Write(const void* buf, size_t size) override {
    return WriteAll(out_, static_cast<const char*>(buf), size, &out_socket_);
  }
  void Shutdown() override {
    ::shutdown(in_, SHUT_RDWR);
    if (out_ != in_) ::shutdown(out_, SHUT_RDWR);
  }

 private:
  int in_;
  int out_;
  bool owned_;
  std::function<bool()> stopped_;
  bool out_socket_ = true;
};

}  // namespace

int ReadExact(Channel& channel, void* buf, size_t size) {
  char* p = static_cast<char*>(buf);
  size_t got = 0;
  while (got < size) {
    const ssize_t n = channel.Read(p + got, size - got);
    if (n < 0) return -1;
    if (n == 0) {
      if (got == 0) return 0;
      errno = ECONNRESET;
      return -1;
    }
    got += static_cast<size_t>(n);
  }
  return 1;
}

int ReadFrame(Channel& channel, std::string* body) {
  unsigned char word[4];
  const int head = ReadExact(channel, word, sizeof word);
  if (head <= 0) return head;
  const uint32_t size =
      word[0] | word[1] << 8 | word[2] << 16 | static_cast<uint32_t>(word[3]) << 24;
  if (size > kMaxFrame) {
    errno = EPROTO;
    return -1;
  }
  body->resize(size);
  const int rest = ReadExact(channel, body->data(), size);
  if (rest == 0) errno = ECONNRESET;
  return rest == 1 ? 1 : -1;
}

std::unique_ptr<Channel> FdChannel(int in, int out, bool owned, std::function<bool()> stopped) {
  return std::make_unique<Fds>(in, out, owned, std::move(stopped));
}

std::unique_ptr<ProcessChannel> ProcessChannel::Spawn(const std::vector<std::string>& argv) {
  if (argv.empty()) {
    errno = EINVAL;
    return nullptr;
  }
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return nullptr;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pair[1], 0);
  posix_spawn_file_actions_adddup2(&actions, pair[1], 1);
  // The child gets the default reaction to the signals this program ignores or catches
  // (a far end must end when its pipe breaks).
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) sigaddset(&defaults, s);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int error = ::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(pair[1]);
  if (error != 0) {
    ::close(pair[0]);
    errno = error;
    return nullptr;
  }
  return std::unique_ptr<ProcessChannel>(new ProcessChannel(pair[0], pid));
}

ProcessChannel::~ProcessChannel() {
  Finish();
  ::close(fd_);
}

ssize_t ProcessChannel::Read(void* buf, size_t size) {
  return ReadUnlessStopped(fd_, buf, size, stopped_);
}

bool ProcessChannel::Write(const void* buf, size_t size) {
  bool socket = true;
  if (!stopped_) return WriteAll(fd_, static_cast<const char*>(buf), size, &socket);
  // A child that takes nothing in (a stalled connection) must not hold the writer past a
  // stop: the socket is waited on in slices, and each send takes only what fits.
  const char* p = static_cast<const char*>(buf);
  while (size > 0) {
    if (stopped_()) {
      errno = EINTR;
      return false;
    }
    struct pollfd out = {fd_, POLLOUT, 0};
    const int ready = ::poll(&out, 1, 200);
    if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
    const ssize_t n = ::send(fd_, p, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void ProcessChannel::EndInput() { ::shutdown(fd_, SHUT_WR); }

void ProcessChannel::Shutdown() { ::shutdown(fd_, SHUT_RDWR); }

ChildEnd ProcessChannel::Finish(std::chrono::milliseconds grace) {
  if (!end_.running) return end_;
  Shutdown();
  // The far end ends at the end of its input; one that does not (a hung connection) is
  // stopped, the polite way first.
  using std::chrono::milliseconds;
  auto deadline = std::chrono::steady_clock::now() + grace;
  int status = 0;
  int signal_sent = 0;
  for (;;) {
    const pid_t got = ::waitpid(pid_, &status, WNOHANG);
    if (got == pid_ || (got < 0 && errno != EINTR)) break;
    if (std::chrono::steady_clock::now() > deadline && signal_sent != SIGKILL) {
      signal_sent = signal_sent == 0 ? SIGTERM : SIGKILL;
      ::kill(pid_, signal_sent);
      deadline += std::max(grace, milliseconds(100));
    }
    std::this_thread::sleep_for(milliseconds(10));
  }
  end_.running = false;
  if (WIFEXITED(status)) end_.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) end_.exit_code = 128 + WTERMSIG(status);
  return end_;
}

bool BatchWriter::Write(std::string_view frame) {
  std::unique_lock lock(mutex_);
  if (failed_) return false;
  queued_.append(frame);
  if (writing_) return true;
  writing_ = true;
  std::string batch;
  while (!queued_.empty() && !failed_) {
    batch.swap(queued_);
    lock.unlock();
    const bool written = channel_.Write(batch.data(), batch.size());
    lock.lock();
    if (!written) failed_ = true;
    batch.clear();
  }
  queued_.clear();
  writing_ = false;
  return !failed_;
}

std::vector<std::string> SshCommandWords(const std::string* option, const char* environment) {
  std::string command = option ? *option : environment && *environment ? environment : "";
  std::vector<std::string> words;
  std::string word;
  for (char c : command) {
    if (c == ' ' || c == '\t') {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
      continue;
    }
    word.push_back(c);
  }
  if (!word.empty()) words.push_back(std::move(word));
  if (words.empty()) words.push_back("ssh");
  return words;
}

std::vector<std::string> InstalledFarCommand() { return {"tavrik-cli", "serve"}; }

std::vector<std::string> SshArgv(const std::vector<std::string>& command, const FarName& name,
                                 const std::vector<std::string>& far) {
  std::vector<std::string> argv = command;
  if (name.port > 0) {
    argv.push_back("-p");
    argv.push_back(std::to_string(name.port));
  }
  argv.push_back(name.user.empty() ? name.host : name.user + "@" + name.host);
  argv.insert(argv.end(), far.begin(), far.end());
  return argv;
}

}  // namespace tavrik::remote
