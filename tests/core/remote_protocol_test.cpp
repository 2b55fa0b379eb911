// The protocol's encodings: what the far end decodes is what the near side meant, on any
// pair of architectures, and a frame cut short is noticed instead of read past.
#include <gtest/gtest.h>

#include <fcntl.h>

#include "core/remote/protocol.h"

namespace tavrik::testing {
namespace {

using namespace remote;

// Catches an open flag the program uses that is dropped or changed on the way, or one the
// protocol cannot carry being silently left out (a create without O_EXCL, say).
TEST(RemoteProtocolTest, OpenFlagsAndAdviceArriveAsSent) {
  const int used[] = {
      O_RDONLY | O_CLOEXEC,
      O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC,
      O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
      O_RDWR | O_CREAT | O_TRUNC | O_APPEND,
      O_WRONLY | O_SYNC,
      O_WRONLY | O_DSYNC,
  };
  for (int flags : used) {
    SCOPED_TRACE(flags);
    uint32_t wire = 0;
    int back = -1;
    ASSERT_TRUE(WireOpenFlags(flags, &wire));
    ASSERT_TRUE(LocalOpenFlags(wire, &back));
    EXPECT_EQ(back, flags);
  }
  uint32_t wire = 0;
  int flags = 0;
  EXPECT_FALSE(WireOpenFlags(O_WRONLY | O_TMPFILE, &wire));
  EXPECT_FALSE(LocalOpenFlags(1u << 31, &flags));
  for (int advice : {POSIX_FADV_SEQUENTIAL, POSIX_FADV_DONTNEED, POSIX_FADV_NORMAL}) {
    int32_t sent = -1;
    int got = -1;
    ASSERT_TRUE(WireAdvice(advice, &sent));
    ASSERT_TRUE(LocalAdvice(sent, &got));
    EXPECT_EQ(got, advice);
  }
  int advice = 0;
  EXPECT_FALSE(LocalAdvice(6, &advice));
}

// Catches a field read past the end of a short frame, or a name with a NUL in it (which would
// cut a path short at the far end) being taken.
TEST(RemoteProtocolTest, AShortOrBrokenFrameFails) {
  struct stat st {};
  st.st_size = 123456789012;
  st.st_mtim = {1700000000, 999999999};
  const struct timespec times[2] = {{1, 2}, {3, 4}};
  Writer w;
  w.U16(7);
  w.Bytes("name");
  w.Stat(st);
  w.Times(times);
  w.I64(-5);
  const std::string frame = w.buffer();
  for (size_t cut = 0; cut <= frame.size(); ++cut) {
    SCOPED_TRACE(cut);
    Reader in(std::string_view(frame).substr(0, cut));
    struct stat got {};
    struct timespec when[2];
    const uint16_t op = in.U16();
    const std::string name = in.Text();
    in.Stat(&got);
    const bool given = in.Times(when);
    const int64_t last = in.I64();
    EXPECT_EQ(in.failed(), cut < frame.size());
    if (cut < frame.size()) continue;
    EXPECT_TRUE(in.done());
    EXPECT_EQ(op, 7);
    EXPECT_EQ(name, "name");
    EXPECT_EQ(got.st_size, st.st_size);
    EXPECT_EQ(got.st_mtim.tv_nsec, st.st_mtim.tv_nsec);
    EXPECT_TRUE(given);
    EXPECT_EQ(when[1].tv_nsec, 4);
    EXPECT_EQ(last, -5);
  }
  Writer nul;
  nul.Bytes(std::string("a\0/../b", 7));
  Reader in(nul.buffer());
  in.Text();
  EXPECT_TRUE(in.failed());
}

}  // namespace
}  // namespace tavrik::testing
