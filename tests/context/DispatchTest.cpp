#include <gtest/gtest.h>

#include <memory>

#include "context/DispatchQueue.h"

namespace {

class OpenQueue : public DispatchQueue {
public:
    bool WaitUntilCanAccept() override { return false; }
    bool CanAccept() const override { return accept; }
    bool accept = true;
};

TEST(DispatchQueue, HoldsAtMostTheCapPlusOneCalls) {
    OpenQueue queue;
    int ran = 0;
    for (size_t i = 0; i < DispatchQueue::kDispatchCap + 5; ++i) queue.Enqueue([&] { ++ran; });
    EXPECT_EQ(queue.GetDispatchQueueLength(), 1025u);
    EXPECT_EQ(queue.DispatchAll(), 1025);
    EXPECT_EQ(ran, 1025);
}

TEST(DispatchQueue, QueueThatCannotAcceptDropsCalls) {
    OpenQueue queue;
    queue.accept = false;
    queue.Enqueue([] {});
    EXPECT_EQ(queue.GetDispatchQueueLength(), 0u);
}

TEST(DispatchQueue, DispatchOneOnAnEmptyOpenQueueReturnsAtOnce) {
    OpenQueue queue;
    EXPECT_FALSE(queue.DispatchOne());
}

TEST(DispatchQueue, CallsRunInArrivalOrder) {
    OpenQueue queue;
    std::vector<int> order;
    for (int i = 0; i < 5; ++i) queue.Enqueue([&order, i] { order.push_back(i); });
    queue.WaitAndDispatch();
    EXPECT_EQ(queue.DispatchAll(), 4);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(DispatchQueue, AbortDeletesPendingCallsWithoutRunningThem) {
    OpenQueue queue;
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    bool ran = false;
    queue.Enqueue([token, &ran] { ran = true; });
    token.reset();
    queue.Abort();
    EXPECT_FALSE(ran);
    EXPECT_TRUE(watch.expired()) << "the aborted call was deleted";
    EXPECT_THROW(queue.DispatchOne(), dispatch_aborted_exception);
    EXPECT_THROW(queue.WaitAndDispatch(), dispatch_aborted_exception);
}

TEST(DispatchQueue, ThrowingCallIsDeletedAndItsExceptionPropagates) {
    OpenQueue queue;
    queue.Enqueue([] { throw std::logic_error("queued call failed"); });
    queue.Enqueue([] {});
    EXPECT_THROW(queue.DispatchOne(), std::logic_error);
    EXPECT_EQ(queue.GetDispatchQueueLength(), 1u);
}

}  // namespace
