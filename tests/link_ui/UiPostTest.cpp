// Hand-offs posted to the UI thread for a window: a window that is gone gets nothing, whether
// it went before the post or between the post and its turn.
#include <gtest/gtest.h>

#include <QApplication>
#include <QObject>

#include <atomic>
#include <memory>
#include <thread>

#include "platform/qt/UiPost.h"

TEST(UiPostTest, ATargetThatIsGoneRunsNothing) {
    for (const bool goneBeforePost : {true, false}) {
        SCOPED_TRACE(goneBeforePost);
        auto target = std::make_unique<QObject>();
        const UiPost post = MakeUiPost(target.get());
        std::atomic<int> runs{0};
        if (goneBeforePost) {
            target.reset();
        }
        std::thread worker([&] { post([&] { ++runs; }); });
        worker.join();
        target.reset();
        QApplication::processEvents();
        EXPECT_EQ(runs.load(), 0);
    }
    // And a living one gets its task on this thread.
    QObject living;
    const UiPost post = MakeUiPost(&living);
    std::thread::id ranOn;
    std::thread worker([&] { post([&] { ranOn = std::this_thread::get_id(); }); });
    worker.join();
    QApplication::processEvents();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}
