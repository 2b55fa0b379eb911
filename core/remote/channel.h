// The byte streams between the near side and the far end: the two ends of a socket pair
// whose other end is a child process's stdin and stdout (ssh, or a stand-in for tests), or
// the far end's own stdin and stdout. A stream, not a file: it is no business of the
// FileSystem seam.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/remote/far_name.h"

namespace tavrik::remote {

class Channel {
 public:
  virtual ~Channel() = default;
  // Up to size bytes; 0 at the end of the stream, -1 on error (errno set).
  virtual ssize_t Read(void* buf, size_t size) = 0;
  // All of it, or false (errno set). Safe to call from one thread while another reads.
  virtual bool Write(const void* buf, size_t size) = 0;
  // Ends the stream both ways; a reader blocked in Read sees the end.
  virtual void Shutdown() = 0;
};

// Writes the frames of several threads to one channel, many in one write: a thread whose
// frame finds a write under way leaves it to that thread, which takes it along next. Fewer,
// larger writes cost the link fewer packets and both ends fewer wake-ups.
class BatchWriter {
 public:
  explicit BatchWriter(Channel& channel) : channel_(channel) {}
  // False once a write failed (the frame may not have gone).
  bool Write(std::string_view frame);

 private:
  Channel& channel_;
  std::mutex mutex_;
  std::string queued_;
  bool writing_ = false;
  bool failed_ = false;
};

// Reads exactly size bytes: 1, or 0 at the end of the stream before the first byte, -1 on
// an error or an end in the middle (errno set; ECONNRESET for the end).
int ReadExact(Channel& channel, void* buf, size_t size);
// One frame's body (the length word taken off): 1, 0 at a clean end, -1 as ReadExact, or
// with EPROTO for a length beyond kMaxFrame.
int ReadFrame(Channel& channel, std::string* body);

// Reads in and writes out (the same descriptor for a socket); closes them when owned.
// stopped, when given, is asked every fraction of a second while Read waits, and a true
// answer ends the read with EINTR: so a signal ends a far end that waits for its next call.
std::unique_ptr<Channel> FdChannel(int in, int out, bool owned, std::function<bool()> stopped = {});

// How a spawned child ended; running while it has not.
struct ChildEnd {
  bool running = true;
  int exit_code = -1;  // the exit status, or 128 + the signal that ended it
};

class ProcessChannel : public Channel {
 public:
  // Starts argv (argv[0] looked up in PATH) with its stdin and stdout on a socket pair;
  // its stderr stays this process's. nullptr with errno set when it cannot be started.
  static std::unique_ptr<ProcessChannel> Spawn(const std::vector<std::string>& argv);
  ~ProcessChannel() override;

  ssize_t Read(void* buf, size_t size) override;
  bool Write(const void* buf, size_t size) override;
  void Shutdown() override;
  // Ends the child's input only: it sees the end of its stdin, and its output can still be
  // read to the end.
  void EndInput();
  // From now on a Read or Write that waits gives up with EINTR once stopped says so (empty:
  // never). Not while another thread reads or writes.
  void StopWhen(std::function<bool()> stopped) { stopped_ = std::move(stopped); }
  // Ends the stream and waits grace for the child, then stops it by signal (SIGTERM, and
  // SIGKILL as long again later).
  ChildEnd Finish(std::chrono::milliseconds grace = std::chrono::milliseconds(2000));

 private:
  ProcessChannel(int fd, pid_t pid) : fd_(fd), pid_(pid) {}
  int fd_;
  pid_t pid_;
  ChildEnd end_;
  std::function<bool()> stopped_;
};

// The words of the command that reaches the far machine: option (--ssh=COMMAND) before
// environment (TAVRIK_SSH) before "ssh"; a command is split on blanks.
std::vector<std::string> SshCommandWords(const std::string* option, const char* environment);

// The far end as installed there: "tavrik-cli serve".
std::vector<std::string> InstalledFarCommand();

// The whole argv: the command's words, "-p PORT" where the name gives a port, the
// destination, and the far command (far; ssh hands its words, joined by blanks, to the far
// user's shell). The folder's path is not in it: it travels inside the protocol, never
// through the far shell.
std::vector<std::string> SshArgv(const std::vector<std::string>& command, const FarName& name,
                                 const std::vector<std::string>& far = InstalledFarCommand());

}  // namespace tavrik::remote
