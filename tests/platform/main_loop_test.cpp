#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/plain_main_loop.h"

namespace zentu {
namespace {

constexpr uint32_t kPosition = WM_USER + 5;
constexpr uint32_t kStatus = WM_USER + 6;

TEST(PlainMainLoop, DefaultIsThePlainLoopUntilReplaced) {
    EXPECT_EQ(&MainLoop(), static_cast<TMainLoop*>(&DefaultMainLoop()));
    TPlainMainLoop other;
    SetMainLoop(&other);
    EXPECT_EQ(&MainLoop(), static_cast<TMainLoop*>(&other));
    SetMainLoop(nullptr);
    EXPECT_EQ(&MainLoop(), static_cast<TMainLoop*>(&DefaultMainLoop()));
}

TEST(PlainMainLoop, UniquePostsRemovalAndOrphans) {
    TPlainMainLoop loop;
    std::vector<TMessage> a, b;
    auto first = loop.CreateWindow([&](TMessage& m) { a.push_back(m); });
    auto second = loop.CreateWindow([&](TMessage& m) { b.push_back(m); });
    first->PostUnique(kPosition, 1);
    first->PostUnique(kPosition, 2);
    second->PostUnique(kPosition, 3);
    first->Post(kStatus, 4);
    first->Post(kStatus, 5);
    EXPECT_TRUE(first->IsPending(kStatus));
    first->RemovePending(kStatus);
    EXPECT_FALSE(first->IsPending(kStatus));
    EXPECT_TRUE(first->IsPending(kPosition));
    auto third = loop.CreateWindow([&](TMessage&) { FAIL() << "destroyed window handled a message"; });
    third->Post(kStatus);
    third.reset();
    loop.ProcessMessages();
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].WParam, 1u);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(b[0].WParam, 3u);
}

TEST(PlainMainLoop, ProcessMessagesHandlesOnlyWhatWaits) {
    TPlainMainLoop loop;
    int handled = 0;
    std::unique_ptr<TMessageWindow> window;
    window = loop.CreateWindow([&](TMessage&) {
        ++handled;
        window->Post(kStatus);  // re-posting handler: must not spin ProcessMessages for ever
    });
    window->Post(kStatus);
    loop.ProcessMessages();
    EXPECT_EQ(handled, 1);
    loop.ProcessMessages();
    EXPECT_EQ(handled, 2);
}

TEST(PlainMainLoop, RunUntilServesWorkerPostsAndErrors) {
    TPlainMainLoop loop;
    std::vector<std::string> errors;
    loop.SetExceptionSink([&](std::exception_ptr e) { errors.push_back(ExceptionText(e)); });
    std::atomic<int> count{0};
    auto window = loop.CreateWindow([&](TMessage& m) {
        if (m.Msg == kStatus) throw std::runtime_error("bad status");
        ++count;
    });
    std::thread worker([&] {
        for (int i = 0; i < 50; ++i) window->Post(kPosition);
        window->Post(kStatus);
    });
    EXPECT_TRUE(loop.RunUntil([&] { return !errors.empty(); }, 5000));
    worker.join();
    EXPECT_EQ(count.load(), 50);
    EXPECT_EQ(errors, std::vector<std::string>{"bad status"});
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(loop.RunUntil([] { return false; }, 30));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(25));
}

}  // namespace
}  // namespace zentu
