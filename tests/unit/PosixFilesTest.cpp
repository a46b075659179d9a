#include "posix/PosixFiles.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

namespace {

using wrapper::bench::posix::WriteAll;

// What each successive write(2) call returns: a count, or -1 with the given errno.
struct Reply {
    ssize_t put;
    int error = 0;
};

struct WriteAllCase {
    const char* name;
    std::vector<Reply> replies;
    bool ok;
    std::uint32_t written;
};

TEST(PosixFiles, WriteAllEndsOnEveryKindOfReply) {
    const WriteAllCase cases[] = {
        {"all at once", {{8}}, true, 8},
        {"in pieces", {{3}, {4}, {1}}, true, 8},
        {"interrupted, then written", {{-1, EINTR}, {8}}, true, 8},
        {"an error after a piece", {{3}, {-1, ENOSPC}}, false, 3},
        {"a call that writes nothing", {{0}}, false, 0},
        {"nothing after a piece", {{5}, {0}}, false, 5},
    };
    for (const WriteAllCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::size_t call = 0;
        const auto writeSome = [&](const char*, std::uint32_t) -> ssize_t {
            // More calls than replies would be the endless loop this guards against.
            if (call >= c.replies.size()) {
                ADD_FAILURE() << "called again after the last reply";
                errno = EIO;
                return -1;
            }
            const Reply reply = c.replies[call++];
            errno = reply.error;
            return reply.put;
        };
        const char bytes[8] = {};
        std::uint32_t written = 99;
        EXPECT_EQ(WriteAll(writeSome, bytes, sizeof bytes, &written), c.ok);
        EXPECT_EQ(written, c.written);
        EXPECT_EQ(call, c.replies.size());
    }
}

TEST(PosixFiles, WriteAllOfNothingWritesNothing) {
    std::uint32_t written = 99;
    EXPECT_TRUE(WriteAll([](const char*, std::uint32_t) -> ssize_t { return -1; }, "", 0, &written));
    EXPECT_EQ(written, 0u);
}

}  // namespace
