#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/ConfigDefaults.h"
#include "config/ConfigStore.h"

namespace {

// Readers, writers, listeners and dynamic entries on one store from several
// threads at once: every read sees a whole value, and the listeners see every
// change exactly once.
TEST(ConfigConcurrency, ReadersWritersAndListenersShareTheStore) {
    Config::Store store;
    Config::applyDefaults(store);
    std::atomic<int> heard{0};
    store.addListener("counter", [&](const std::string& key, const Value&) {
        if (key == "camera_mode") heard.fetch_add(1, std::memory_order_relaxed);
    });

    constexpr int kChanges = 2000;
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    // One writer alternates between two different texts, so every set is a
    // change.
    threads.emplace_back([&] {
        for (int i = 0; i < kChanges; ++i) {
            store.set("camera_mode", Value(i % 2 ? "QVGA" : "HHVGA"), i % 3 == 0);
            store.applyImageMode();
        }
        done = true;
    });
    for (int r = 0; r < 2; ++r) {
        threads.emplace_back([&] {
            while (!done) {
                std::string mode;
                ASSERT_TRUE(store.get("camera_mode", mode));
                ASSERT_TRUE(mode == "QVGA" || mode == "HHVGA" || mode == "HVGA") << mode;
                auto g = store.imageGeometry();
                ASSERT_TRUE(g.width == 320 || g.width == 640);
                (void)store.values();
                (void)store.imageModeIndex();
            }
        });
    }
    // Dynamic entries come and go meanwhile.
    threads.emplace_back([&] {
        double variable = 1.0;
        auto entry = std::make_shared<Config::DynamicVariable<double>>(variable);
        while (!done) {
            ASSERT_TRUE(store.addDynamic("Gesture.Test", entry));
            store.set("Gesture.Test", Value(2.0));
            ASSERT_TRUE(store.removeDynamic("Gesture.Test"));
        }
    });
    for (auto& t : threads) t.join();
    EXPECT_EQ(heard.load(), kChanges);
    EXPECT_FALSE(store.persistedValues().empty());
}

}  // namespace
