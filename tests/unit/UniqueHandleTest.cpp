#include "platform/Files.h"
#include "platform/Processes.h"
#include "platform/Registry.h"
#include "platform/UniqueHandle.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

namespace wrapper::platform {
namespace {

// A key cannot be handed to an owner of files, nor one owner passed as another.
static_assert(!std::is_constructible_v<UniqueFile, Registry&, KeyHandle>);
static_assert(!std::is_constructible_v<UniqueKey, Files&, FileHandle>);
static_assert(!std::is_constructible_v<UniqueProcess, Processes&, FileHandle>);
static_assert(!std::is_convertible_v<UniqueKey&&, UniqueFile>);
static_assert(!std::is_copy_constructible_v<UniqueFile> && !std::is_copy_assignable_v<UniqueKey>);

struct TestHandle {
    std::uintptr_t value = 0;
    explicit operator bool() const { return value != 0; }
};
struct Closer {
    std::vector<std::uintptr_t> closed;
};
struct Traits {
    using Owner = Closer;
    using Handle = TestHandle;
    static void Close(Closer& closer, TestHandle handle) { closer.closed.push_back(handle.value); }
};
using Unique = UniqueHandle<Traits>;
using Closed = std::vector<std::uintptr_t>;

TEST(UniqueHandle, ClosesEveryHandleExactlyOnceWhateverHappensToItsOwner) {
    Closer closer;
    {
        Unique empty;
        Unique none(closer, TestHandle{});
        EXPECT_FALSE(empty);
        EXPECT_FALSE(none);
    }
    EXPECT_EQ(closer.closed, Closed{});

    {
        Unique one(closer, TestHandle{1});
        EXPECT_TRUE(one);
        EXPECT_EQ(one.Get().value, 1u);
    }
    EXPECT_EQ(closer.closed, Closed{1});

    closer.closed.clear();
    {
        Unique two(closer, TestHandle{2});
        Unique moved(std::move(two));
        EXPECT_FALSE(two);  // NOLINT(bugprone-use-after-move): the moved-from owner is empty
        EXPECT_EQ(moved.Get().value, 2u);
    }
    EXPECT_EQ(closer.closed, Closed{2});

    closer.closed.clear();
    {
        Unique three(closer, TestHandle{3});
        Unique four(closer, TestHandle{4});
        four = std::move(three);  // four's own handle is closed first
        EXPECT_EQ(closer.closed, Closed{4});
        Unique& same = four;
        four = std::move(same);  // moving onto itself keeps the handle
        EXPECT_EQ(closer.closed, Closed{4});
        four.Reset();
        EXPECT_EQ(closer.closed, (Closed{4, 3}));
        four.Reset();
    }
    EXPECT_EQ(closer.closed, (Closed{4, 3}));
}

}  // namespace
}  // namespace wrapper::platform
