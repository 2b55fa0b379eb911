#include "core/fs/delta.h"

#include <librsync.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <vector>

namespace tavrik {

namespace {

constexpr size_t kJobBuffer = size_t{1} << 16;

struct JobFree {
  void operator()(rs_job_t* job) const { rs_job_free(job); }
};
using Job = std::unique_ptr<rs_job_t, JobFree>;

struct SumsetFree {
  void operator()(rs_signature_t* sums) const { rs_free_sumset(sums); }
};

// The errno for what a job ended with: its input broken, a sink or callback that failed
// (their errno is kept), or no memory.
int JobErrno(rs_result result, int sink_error) {
  if (sink_error != 0) return sink_error;
  switch (result) {
    case RS_MEM_ERROR:
      return ENOMEM;
    case RS_IO_ERROR:
      return EIO;
    default:
      return EINVAL;
  }
}

// Runs job on input (eof: nothing follows it), handing its output to sink, until the job
// wants more input or is done. What it did not take yet stays in *input. RS_DONE or
// RS_BLOCKED; anything else is the job's failure. A sink that answers false stops it.
rs_result Crank(rs_job_t* job, std::string* input, bool eof,
                const std::function<bool(std::string_view)>& sink) {
  std::vector<char> out(kJobBuffer);
  for (;;) {
    rs_buffers_t b{};
    b.next_in = input->data();
    b.avail_in = input->size();
    b.eof_in = eof;
    b.next_out = out.data();
    b.avail_out = out.size();
    const rs_result result = rs_job_iter(job, &b);
    const size_t taken = input->size() - b.avail_in;
    const size_t given = out.size() - b.avail_out;
    input->erase(0, taken);
    if (given > 0 && !sink(std::string_view(out.data(), given))) return RS_IO_ERROR;
    if (result != RS_BLOCKED) return result;
    if (taken == 0 && given == 0) return eof ? RS_INPUT_ENDED : RS_BLOCKED;
  }
}

// Feeds fd's bytes to job as the file system gives them.
int FeedFile(FileSystem& fs, int fd, rs_job_t* job,
             const std::function<bool(std::string_view)>& sink, const int* sink_error) {
  struct stat st {};
  if (fs.Fstat(fd, &st) != 0) return -1;
  std::unique_ptr<ByteFeed> feed = fs.ReadStream(fd, static_cast<uint64_t>(st.st_size));
  std::string input;
  for (;;) {
    std::string_view chunk;
    const ssize_t got = feed->Next(&chunk);
    if (got < 0) return -1;
    input.append(chunk);
    const rs_result result = Crank(job, &input, got == 0, sink);
    if (result == RS_DONE) return 0;
    if (result != RS_BLOCKED) {
      errno = JobErrno(result, *sink_error);
      return -1;
    }
    if (got == 0) {
      errno = EINVAL;
      return -1;
    }
  }
}

// Where the patch reads the older file.
struct Basis {
  FileSystem* fs;
  int fd;
  int error = 0;
};

rs_result ReadBasis(void* opaque, rs_long_t pos, size_t* len, void** buf) {
  Basis& basis = *static_cast<Basis*>(opaque);
  for (;;) {
    const ssize_t n = basis.fs->PRead(basis.fd, *buf, *len, static_cast<off_t>(pos));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      basis.error = errno;
      return RS_IO_ERROR;
    }
    if (n == 0) return RS_INPUT_ENDED;
    *len = static_cast<size_t>(n);
    return RS_DONE;
  }
}

}  // namespace

int ComputeSignature(FileSystem& fs, int fd, std::string* sig) {
  struct stat st {};
  if (fs.Fstat(fd, &st) != 0) return -1;
  rs_magic_number magic = static_cast<rs_magic_number>(0);
  size_t block_len = 0;
  size_t strong_len = 0;  // the longest: a false match would corrupt the copy
  if (rs_sig_args(st.st_size, &magic, &block_len, &strong_len) != RS_DONE) {
    errno = EINVAL;
    return -1;
  }
  Job job(rs_sig_begin(block_len, strong_len, magic));
  if (!job) {
    errno = ENOMEM;
    return -1;
  }
  sig->clear();
  const int sink_error = 0;
  return FeedFile(
      fs, fd, job.get(),
      [&](std::string_view out) {
        sig->append(out);
        return true;
      },
      &sink_error);
}

int ComputeDelta(FileSystem& fs, int fd, std::string_view sig, size_t limit, std::string* delta) {
  rs_signature_t* loaded = nullptr;
  Job load(rs_loadsig_begin(&loaded));
  if (!load) {
    errno = ENOMEM;
    return -1;
  }
  std::string input(sig);
  const rs_result read = Crank(load.get(), &input, true, [](std::string_view) { return true; });
  std::unique_ptr<rs_signature_t, SumsetFree> sums(loaded);
  if (read != RS_DONE || !sums || rs_build_hash_table(sums.get()) != RS_DONE) {
    errno = EINVAL;
    return -1;
  }
  Job job(rs_delta_begin(sums.get()));
  if (!job) {
    errno = ENOMEM;
    return -1;
  }
  delta->clear();
  int sink_error = 0;
  return FeedFile(
      fs, fd, job.get(),
      [&](std::string_view out) {
        if (delta->size() + out.size() > limit) {
          sink_error = EFBIG;
          return false;
        }
        delta->append(out);
        return true;
      },
      &sink_error);
}

int ApplyDelta(FileSystem& fs, int out, int basis_fd, std::string_view delta) {
  Basis basis{&fs, basis_fd};
  Job job(rs_patch_begin(ReadBasis, &basis));
  if (!job) {
    errno = ENOMEM;
    return -1;
  }
  off_t offset = 0;
  int sink_error = 0;
  std::string input(delta);
  const rs_result result = Crank(job.get(), &input, true, [&](std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = fs.PWrite(out, bytes.data(), bytes.size(), offset);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        sink_error = n < 0 ? errno : EIO;
        return false;
      }
      bytes.remove_prefix(static_cast<size_t>(n));
      offset += n;
    }
    return true;
  });
  if (result == RS_DONE) return 0;
  errno = JobErrno(result, sink_error != 0 ? sink_error : basis.error);
  return -1;
}

int FileSystem::Signature(int fd, std::string* sig, struct stat* st) {
  if (ComputeSignature(*this, fd, sig) != 0) return -1;
  return Fstat(fd, st);
}

int FileSystem::Delta(int fd, const std::string& sig, size_t limit, std::string* delta) {
  return ComputeDelta(*this, fd, sig, limit, delta);
}

int FileSystem::WritePatched(int fd, int basis, const std::string& delta, const FileFinish& finish,
                             FileWritten* out, struct stat* basis_st) {
  *out = FileWritten();
  if (ApplyDelta(*this, fd, basis, delta) != 0) return -1;
  if (FinishFile(*this, fd, finish, &out->st) != 0) return -1;
  return Fstat(basis, basis_st);
}

}  // namespace tavrik
