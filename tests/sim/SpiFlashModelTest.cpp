// The SPI NOR flash model on its own.

#include "sim/SpiFlashModel.h"

#include <gtest/gtest.h>

namespace tyvo::sim {
namespace {

TEST(SpiFlash, ProgrammingOnlyClearsBitsAndEraseRestoresTheSector) {
    SpiFlashModel flash(4 * SpiFlashModel::kSectorSize);
    EXPECT_TRUE(flash.program(0x100, Bytes{0xF0, 0x0F}));
    EXPECT_TRUE(flash.program(0x100, Bytes{0x3C, 0xFF}));
    EXPECT_EQ(flash.read(0x100, 2), (Bytes{0x30, 0x0F}));

    flash.setEraseBusyPolls(0);
    ASSERT_TRUE(flash.startErase(0));
    EXPECT_FALSE(flash.pollBusy());
    EXPECT_EQ(flash.read(0x100, 2), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(flash.eraseCount(0), 1u);

    // Erasing sector 1 leaves sector 0 alone.
    EXPECT_TRUE(flash.program(0x10, Bytes{0x00}));
    ASSERT_TRUE(flash.startErase(1));
    EXPECT_EQ(flash.read(0x10, 1), Bytes{0x00});
}

TEST(SpiFlash, StaysBusyForTheConfiguredPollsAndRefusesProgrammingMeanwhile) {
    SpiFlashModel flash;
    flash.setEraseBusyPolls(3);
    ASSERT_TRUE(flash.startErase(2));
    EXPECT_FALSE(flash.program(0, Bytes{0}));
    EXPECT_FALSE(flash.startErase(3));
    EXPECT_TRUE(flash.pollBusy());
    EXPECT_TRUE(flash.pollBusy());
    EXPECT_TRUE(flash.pollBusy());
    EXPECT_FALSE(flash.pollBusy());
    EXPECT_EQ(flash.statusPolls(), 4u);
    EXPECT_TRUE(flash.program(0, Bytes{0}));

    flash.setStuckBusy(true);
    ASSERT_TRUE(flash.startErase(0));
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(flash.pollBusy());
}

TEST(SpiFlash, LosingPowerEndsARunningErase) {
    SpiFlashModel flash;
    flash.setEraseBusyPolls(1000);
    ASSERT_TRUE(flash.startErase(1));
    flash.powerCycle();
    EXPECT_FALSE(flash.pollBusy());
    EXPECT_TRUE(flash.program(0, Bytes{0}));

    // A stuck chip is free again after a power cycle, and sticks on its
    // next erase.
    flash.setStuckBusy(true);
    ASSERT_TRUE(flash.startErase(0));
    flash.powerCycle();
    EXPECT_TRUE(flash.program(SpiFlashModel::kSectorSize, Bytes{0}));
    ASSERT_TRUE(flash.startErase(2));
    EXPECT_TRUE(flash.pollBusy());
}

TEST(SpiFlash, RejectsAccessOutsideTheArray) {
    SpiFlashModel flash(SpiFlashModel::kSectorSize);
    EXPECT_FALSE(flash.program(SpiFlashModel::kSectorSize - 1, Bytes{0, 0}));
    EXPECT_FALSE(flash.read(SpiFlashModel::kSectorSize, 1).has_value());
    EXPECT_FALSE(flash.startErase(1));
    EXPECT_EQ(flash.contents().size(), SpiFlashModel::kSectorSize);
    EXPECT_EQ(SpiFlashModel().size(), 2u * 1024 * 1024);
}

}  // namespace
}  // namespace tyvo::sim
