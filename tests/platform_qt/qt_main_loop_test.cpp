#include "platform/qt_main_loop.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace zentu {
namespace {

constexpr uint32_t kPosition = WM_USER + 5;
constexpr uint32_t kStatus = WM_USER + 6;

class QtMainLoop : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "zentu_platform_qt_tests";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
    }
    TQtMainLoop loop_;
    std::vector<TMessage> seen_;
    std::unique_ptr<TMessageWindow> window_ = loop_.CreateWindow([this](TMessage& m) { seen_.push_back(m); });
};

TEST_F(QtMainLoop, PostsArriveInOrderOnTheMainThread) {
    std::thread worker([this] {
        for (int i = 0; i < 100; ++i) window_->Post(kPosition, static_cast<uintptr_t>(i), -i);
    });
    worker.join();
    EXPECT_TRUE(window_->IsPending(kPosition));
    loop_.ProcessMessages();
    ASSERT_EQ(seen_.size(), 100u);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(seen_[i].WParam, static_cast<uintptr_t>(i));
        EXPECT_EQ(seen_[i].LParam, -i);
    }
    EXPECT_FALSE(window_->IsPending(kPosition));
}

TEST_F(QtMainLoop, UniquePostsCoalescePerWindowAndNumber) {
    std::vector<TMessage> other;
    auto second = loop_.CreateWindow([&](TMessage& m) { other.push_back(m); });
    window_->PostUnique(kPosition, 1);
    window_->PostUnique(kPosition, 2);
    window_->PostUnique(kStatus, 3);
    second->PostUnique(kPosition, 4);
    loop_.ProcessMessages();
    ASSERT_EQ(seen_.size(), 2u);
    EXPECT_EQ(seen_[0].WParam, 1u);
    EXPECT_EQ(seen_[1].Msg, kStatus);
    ASSERT_EQ(other.size(), 1u);
    // Once handled, the number may be posted again.
    window_->PostUnique(kPosition, 5);
    loop_.ProcessMessages();
    EXPECT_EQ(seen_.size(), 3u);
}

TEST_F(QtMainLoop, RemovedAndOrphanedMessagesAreNeverHandled) {
    window_->Post(kPosition);
    window_->Post(kStatus);
    window_->RemovePending(kPosition);
    EXPECT_FALSE(window_->IsPending(kPosition));
    window_->Post(kPosition, 9);  // a post after the removal stays
    loop_.ProcessMessages();
    ASSERT_EQ(seen_.size(), 2u);
    EXPECT_EQ(seen_[0].Msg, kStatus);
    EXPECT_EQ(seen_[1].WParam, 9u);

    int late = 0;
    auto doomed = loop_.CreateWindow([&](TMessage&) { ++late; });
    doomed->Post(kPosition);
    doomed.reset();
    loop_.ProcessMessages();
    EXPECT_EQ(late, 0);
}

TEST_F(QtMainLoop, HandlerErrorsGoToTheDisplay) {
    std::vector<std::string> shown;
    const std::thread::id main = std::this_thread::get_id();
    loop_.SetExceptionDisplay([&](std::exception_ptr e) {
        EXPECT_EQ(std::this_thread::get_id(), main);  // the display is a window
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& x) {
            shown.push_back(x.what());
        }
    });
    SetMainLoop(&loop_);
    auto failing = loop_.CreateWindow([](TMessage&) { throw std::runtime_error("boom"); });
    failing->Post(kStatus);
    std::thread([this] { loop_.ShowException(std::make_exception_ptr(std::runtime_error("worker"))); }).join();
    loop_.ProcessMessages();
    SetMainLoop(nullptr);
    EXPECT_EQ(shown, (std::vector<std::string>{"boom", "worker"}));
}

}  // namespace
}  // namespace zentu
