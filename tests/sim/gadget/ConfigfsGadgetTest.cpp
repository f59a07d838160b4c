#include "sim/gadget/ConfigfsGadget.h"

#include "sim/Fx3Chip.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

using namespace tyvo::sim;
using namespace tyvo::sim::gadget;
namespace fs = std::filesystem;

// A scratch folder in place of configfs's usb_gadget folder.
class ConfigfsGadgetTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tyvo-configfs-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_root = pattern;
    }
    void TearDown() override { fs::remove_all(m_root); }

    std::string attribute(const fs::path& relative) const {
        std::ifstream in(m_root / "g" / relative);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path m_root;
    std::shared_ptr<Fx3Chip> m_chip = Fx3Chip::create();
};

TEST_F(ConfigfsGadgetTest, TheDeviceTakesTheModelsIdentity) {
    ConfigfsGadget gadget(m_root, "g", "fx3");
    gadget.create(m_chip->powerUp()->descriptors());
    EXPECT_EQ(attribute("idVendor"), "0x04b4\n");
    EXPECT_EQ(attribute("idProduct"), "0x00f3\n");
    EXPECT_EQ(attribute("bcdUSB"), "0x0200\n");
    EXPECT_EQ(attribute("bMaxPacketSize0"), "0x40\n");
    EXPECT_EQ(attribute("strings/0x409/manufacturer"), "Cypress\n");
    EXPECT_EQ(attribute("strings/0x409/product"), "FX3 ROM Boot Loader\n");
    EXPECT_FALSE(fs::exists(m_root / "g/strings/0x409/serialnumber"))
        << "a string written, even empty, would give the device a serial number index";
}

TEST_F(ConfigfsGadgetTest, TheConfigurationHoldsTheFunctionfsFunction) {
    ConfigfsGadget gadget(m_root, "g", "fx3");
    gadget.create(m_chip->powerUp()->descriptors());
    EXPECT_TRUE(fs::is_directory(m_root / "g/functions/ffs.fx3"));
    ASSERT_TRUE(fs::is_symlink(m_root / "g/configs/c.1/ffs.fx3"));
    EXPECT_EQ(fs::read_symlink(m_root / "g/configs/c.1/ffs.fx3"), m_root / "g/functions/ffs.fx3");
}

TEST_F(ConfigfsGadgetTest, ReenumeratingChangesTheIdentityBetweenUnbindAndBind) {
    ConfigfsGadget gadget(m_root, "g", "fx3");
    gadget.create(m_chip->powerUp()->descriptors());
    gadget.bind("dummy_udc.0");
    EXPECT_TRUE(gadget.bound());
    EXPECT_EQ(attribute("UDC"), "dummy_udc.0\n");

    gadget.unbind();
    EXPECT_FALSE(gadget.bound());
    EXPECT_EQ(attribute("UDC"), "\n") << "an empty line unbinds the device controller";
    gadget.setIdentity(Fx3BootProgrammer(m_chip).descriptors());
    EXPECT_EQ(attribute("idProduct"), "0x4720\n");
    EXPECT_EQ(attribute("strings/0x409/product"), "FX3 Boot Programmer\n");
}

TEST_F(ConfigfsGadgetTest, RemoveUndoesCreate) {
    ConfigfsGadget gadget(m_root, "g", "fx3");
    gadget.create(m_chip->powerUp()->descriptors());
    gadget.bind("dummy_udc.0");
    gadget.remove();
    EXPECT_FALSE(fs::exists(m_root / "g"));
    gadget.remove();  // twice is harmless (the bus's destructor after a failed start)
}

TEST_F(ConfigfsGadgetTest, AGadgetThatCannotBeMadeSaysWhere) {
    ConfigfsGadget gadget(m_root / "missing", "g", "fx3");
    try {
        gadget.create(m_chip->powerUp()->descriptors());
        FAIL() << "made a gadget below a folder that does not exist";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("missing"), std::string::npos) << e.what();
    }
}

TEST(FirstUdc, NamesTheFirstControllerOrNothing) {
    char pattern[] = "/tmp/tyvo-udc-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path folder = pattern;
    EXPECT_EQ(FirstUdc(folder), "");
    fs::create_directory(folder / "dummy_udc.0");
    EXPECT_EQ(FirstUdc(folder), "dummy_udc.0");
    fs::remove_all(folder);
    EXPECT_EQ(FirstUdc(folder / "gone"), "");
}

}  // namespace
