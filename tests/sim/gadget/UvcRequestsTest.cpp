#include "sim/gadget/UvcRequests.h"

#include "sim/controller/UvcControllerModel.h"

#include <gtest/gtest.h>
#include <linux/usb/video.h>
#include <linux/videodev2.h>

namespace {

using namespace tyvo::sim;
using namespace tyvo::sim::gadget;

SetupPacket classRequest(bool in, uint8_t request, uint8_t selector, uint8_t entity, uint8_t interface,
                         uint16_t length) {
    SetupPacket s;
    s.bmRequestType = static_cast<uint8_t>((in ? 0x80 : 0x00) | 0x21);
    s.bRequest = request;
    s.wValue = static_cast<uint16_t>(selector << 8);
    s.wIndex = static_cast<uint16_t>(entity << 8 | interface);
    s.wLength = length;
    return s;
}

SetupPacket get(uint8_t request, uint8_t entity, uint8_t selector, uint16_t length) {
    return classRequest(true, request, selector, entity, kUvcControlInterface, length);
}
SetupPacket set(uint8_t entity, uint8_t selector, uint16_t length) {
    return classRequest(false, UVC_SET_CUR, selector, entity, kUvcControlInterface, length);
}

class UvcRequestsTest : public ::testing::Test {
protected:
    std::shared_ptr<UvcControllerModel> m_model =
        UvcControllerModel::create(UvcControllerOptions::cypress("MKT-210012345", 17));
    UvcRequests m_requests{*m_model};

    int32_t value(uint32_t id) {
        int32_t v = 0;
        EXPECT_EQ(m_model->getControl(id, v), 0);
        return v;
    }
    uint8_t errorCode() {
        const TransferReply r = m_requests.handle(get(UVC_GET_CUR, 0, UVC_VC_REQUEST_ERROR_CODE_CONTROL, 1), {});
        EXPECT_EQ(r.status, TransferStatus::Completed);
        return r.in.empty() ? 0xFF : r.in[0];
    }
};

// --- Descriptors ----------------------------------------------------------

// Finds the class-specific descriptor of a subtype in a configuration.
const uint8_t* findClassDescriptor(const Bytes& config, uint8_t subtype) {
    for (std::size_t at = 0; at + 2 < config.size() && config[at] > 0; at += config[at])
        if (config[at + 1] == 0x24 && config[at + 2] == subtype) return &config[at];
    return nullptr;
}

TEST(UvcConfiguration, ControlBitsFollowTheClassOrderNotTheSelectors) {
    // uvcvideo asks for every control a bit announces, by the bit's own
    // selector: a bit in the wrong place makes it ask for controls the
    // camera does not have, and miss the ones it has.
    auto model = UvcControllerModel::create();
    const Bytes config = UvcConfiguration(*model, 512);
    const uint8_t* ct = findClassDescriptor(config, UVC_VC_INPUT_TERMINAL);
    ASSERT_NE(ct, nullptr);
    const uint32_t ctBits = ct[15] | ct[16] << 8 | ct[17] << 16;
    // AE mode D1, exposure time D3, focus D5, iris D7, zoom D9, focus auto D17.
    EXPECT_EQ(ctBits, (1u << 1) | (1u << 3) | (1u << 5) | (1u << 7) | (1u << 9) | (1u << 17));
    const uint8_t* pu = findClassDescriptor(config, UVC_VC_PROCESSING_UNIT);
    ASSERT_NE(pu, nullptr);
    const uint32_t puBits = pu[8] | pu[9] << 8;
    // Brightness D0, contrast D1, hue D2, saturation D3, sharpness D4,
    // gamma D5, backlight compensation D8, gain D9.
    EXPECT_EQ(puBits, 0x033Fu);
}

TEST(UvcConfiguration, LengthsAddUp) {
    auto model = UvcControllerModel::create();
    const Bytes config = UvcConfiguration(*model, 512);
    EXPECT_EQ(config[2] | config[3] << 8, static_cast<int>(config.size()));
    std::size_t at = 0;
    while (at < config.size()) {
        ASSERT_GT(config[at], 0);
        at += config[at];
    }
    EXPECT_EQ(at, config.size()) << "the descriptors tile the configuration exactly";
    const uint8_t* header = findClassDescriptor(config, UVC_VC_HEADER);
    ASSERT_NE(header, nullptr);
    const std::size_t vcTotal = header[5] | header[6] << 8;
    EXPECT_EQ(vcTotal, 13u + 18u + 11u + 9u);
    const uint8_t* format = findClassDescriptor(config, UVC_VS_FORMAT_UNCOMPRESSED);
    ASSERT_NE(format, nullptr);
    EXPECT_EQ(format[4], model->frameSizes().size()) << "one frame descriptor per frame size";
}

// --- Controls -------------------------------------------------------------

TEST_F(UvcRequestsTest, EveryControlAsksTheDriverNotToCacheIt) {
    // The memory window's data register changes with the address register.
    const TransferReply info = m_requests.handle(get(UVC_GET_INFO, kProcessingUnit, UVC_PU_SATURATION_CONTROL, 1), {});
    ASSERT_EQ(info.in.size(), 1u);
    EXPECT_EQ(info.in[0] & 0x08, 0x08) << "auto-update";
    EXPECT_EQ(info.in[0] & 0x03, 0x03) << "get and set";
}

TEST_F(UvcRequestsTest, AWriteReachesTheModelAndAReadComesFromIt) {
    const TransferReply written =
        m_requests.handle(set(kProcessingUnit, UVC_PU_SHARPNESS_CONTROL, 2), Bytes{0x34, 0x12});
    EXPECT_EQ(written.status, TransferStatus::Completed);
    EXPECT_EQ(value(V4L2_CID_SHARPNESS), 0x1234);
    const TransferReply read = m_requests.handle(get(UVC_GET_CUR, kProcessingUnit, UVC_PU_SHARPNESS_CONTROL, 2), {});
    EXPECT_EQ(read.in, (Bytes{0x34, 0x12}));
}

TEST_F(UvcRequestsTest, RangesComeFromTheModelInTheControlsSize) {
    v4l2_queryctrl query{};
    query.id = V4L2_CID_EXPOSURE_ABSOLUTE;
    ASSERT_EQ(m_model->queryControl(query), 0);
    const TransferReply max =
        m_requests.handle(get(UVC_GET_MAX, kCameraTerminal, UVC_CT_EXPOSURE_TIME_ABSOLUTE_CONTROL, 4), {});
    ASSERT_EQ(max.in.size(), 4u) << "exposure time is a 4-byte control";
    EXPECT_EQ(static_cast<int32_t>(max.in[0] | max.in[1] << 8 | max.in[2] << 16 | max.in[3] << 24), query.maximum);
    const TransferReply length =
        m_requests.handle(get(UVC_GET_LEN, kCameraTerminal, UVC_CT_EXPOSURE_TIME_ABSOLUTE_CONTROL, 2), {});
    EXPECT_EQ(length.in, (Bytes{4, 0}));
}

TEST_F(UvcRequestsTest, ExposureModeIsABitOnTheWireAndAMenuInTheModel) {
    ASSERT_EQ(m_requests.handle(set(kCameraTerminal, UVC_CT_AE_MODE_CONTROL, 1), Bytes{0x01}).status,
              TransferStatus::Completed);
    EXPECT_EQ(value(V4L2_CID_EXPOSURE_AUTO), V4L2_EXPOSURE_MANUAL);
    EXPECT_EQ(m_requests.handle(get(UVC_GET_CUR, kCameraTerminal, UVC_CT_AE_MODE_CONTROL, 1), {}).in, Bytes{0x01});
    // The modes offered: manual and aperture priority.
    EXPECT_EQ(m_requests.handle(get(UVC_GET_RES, kCameraTerminal, UVC_CT_AE_MODE_CONTROL, 1), {}).in, Bytes{0x09});
    // A mode that is no single bit is refused, and the driver can ask why.
    EXPECT_EQ(m_requests.handle(set(kCameraTerminal, UVC_CT_AE_MODE_CONTROL, 1), Bytes{0x03}).status,
              TransferStatus::Stalled);
    EXPECT_EQ(errorCode(), 0x08);
}

TEST_F(UvcRequestsTest, SignedControlsKeepTheirSign) {
    // Brightness is signed in the class; a negative value reaches the model
    // as such (and the model keeps its own range).
    m_requests.handle(set(kProcessingUnit, UVC_PU_BRIGHTNESS_CONTROL, 2), Bytes{0x40, 0x00});
    EXPECT_EQ(value(V4L2_CID_BRIGHTNESS), 64);
    m_requests.handle(set(kProcessingUnit, UVC_PU_BRIGHTNESS_CONTROL, 2), Bytes{0xFF, 0xFF});
    EXPECT_EQ(value(V4L2_CID_BRIGHTNESS), 0) << "-1, clamped by the model to its minimum";
}

TEST_F(UvcRequestsTest, UnknownControlsAndUnitsStallWithTheirReason) {
    EXPECT_EQ(
        m_requests.handle(get(UVC_GET_CUR, kProcessingUnit, UVC_PU_WHITE_BALANCE_TEMPERATURE_CONTROL, 2), {}).status,
        TransferStatus::Stalled);
    EXPECT_EQ(errorCode(), 0x06);
    EXPECT_EQ(m_requests.handle(get(UVC_GET_CUR, 9, 1, 2), {}).status, TransferStatus::Stalled);
    EXPECT_EQ(errorCode(), 0x05);
    m_requests.handle(get(UVC_GET_CUR, kProcessingUnit, UVC_PU_GAIN_CONTROL, 2), {});
    EXPECT_EQ(errorCode(), 0x00) << "a good request clears the code";
}

TEST_F(UvcRequestsTest, ARefusedControlStallsInsteadOfAnsweringStaleData) {
    m_model->refuse(UvcControl::Saturation, 1);
    EXPECT_EQ(m_requests.handle(get(UVC_GET_CUR, kProcessingUnit, UVC_PU_SATURATION_CONTROL, 2), {}).status,
              TransferStatus::Stalled);
    EXPECT_EQ(m_requests.handle(get(UVC_GET_CUR, kProcessingUnit, UVC_PU_SATURATION_CONTROL, 2), {}).status,
              TransferStatus::Completed);
}

// --- Probe and commit -----------------------------------------------------

TEST_F(UvcRequestsTest, ACommitFixesTheFrameSizeTheHostChose) {
    const auto sizes = m_model->frameSizes();
    ASSERT_GE(sizes.size(), 2u);
    Bytes probe(26, 0);
    probe[2] = 1;  // format
    probe[3] = 2;  // frame
    const auto vs = [](bool in, uint8_t request, uint8_t selector) {
        return classRequest(in, request, selector, 0, kUvcStreamingInterface, 26);
    };
    EXPECT_EQ(m_requests.handle(vs(false, UVC_SET_CUR, UVC_VS_PROBE_CONTROL), probe).status, TransferStatus::Completed);
    const Bytes answer = m_requests.handle(vs(true, UVC_GET_CUR, UVC_VS_PROBE_CONTROL), {}).in;
    ASSERT_EQ(answer.size(), 26u);
    EXPECT_EQ(answer[3], 2);
    const uint32_t frameSize = answer[18] | answer[19] << 8 | answer[20] << 16 | answer[21] << 24;
    EXPECT_EQ(frameSize, sizes[1].width * sizes[1].height * 2);
    EXPECT_FALSE(m_requests.takeCommit()) << "a probe commits nothing";

    m_requests.handle(vs(false, UVC_SET_CUR, UVC_VS_COMMIT_CONTROL), probe);
    const auto commit = m_requests.takeCommit();
    ASSERT_TRUE(commit);
    EXPECT_EQ(commit->size, sizes[1]);
    EXPECT_EQ(commit->maxVideoFrameSize, frameSize);
    EXPECT_EQ(commit->frameInterval, m_model->frameInterval().count() / 100);
    EXPECT_FALSE(m_requests.takeCommit()) << "taken once";

    probe[3] = 99;  // no such frame: the first
    m_requests.handle(vs(false, UVC_SET_CUR, UVC_VS_COMMIT_CONTROL), probe);
    EXPECT_EQ(m_requests.takeCommit()->size, sizes[0]);
}

}  // namespace

namespace {

// Each control of the controller as the UVC class defines it: which unit,
// its size on the wire, and whether the driver reads it as signed.
struct ClassControl {
    uint8_t entity;
    uint8_t selector;
    std::size_t size;
    bool isSigned;
    uint32_t v4l2;
};

int32_t asTheDriverReadsIt(const Bytes& data, const ClassControl& c) {
    uint32_t raw = 0;
    for (std::size_t i = 0; i < c.size && i < data.size(); ++i) raw |= uint32_t{data[i]} << (8 * i);
    if (c.isSigned && c.size == 2) return static_cast<int16_t>(raw);
    return static_cast<int32_t>(raw);
}

TEST_F(UvcRequestsTest, TheDriverReadsTheModelsRangesUnchanged) {
    const ClassControl controls[] = {
        {kCameraTerminal, UVC_CT_EXPOSURE_TIME_ABSOLUTE_CONTROL, 4, false, V4L2_CID_EXPOSURE_ABSOLUTE},
        {kCameraTerminal, UVC_CT_FOCUS_ABSOLUTE_CONTROL, 2, false, V4L2_CID_FOCUS_ABSOLUTE},
        {kCameraTerminal, UVC_CT_IRIS_ABSOLUTE_CONTROL, 2, false, V4L2_CID_IRIS_ABSOLUTE},
        {kCameraTerminal, UVC_CT_ZOOM_ABSOLUTE_CONTROL, 2, false, V4L2_CID_ZOOM_ABSOLUTE},
        {kProcessingUnit, UVC_PU_BACKLIGHT_COMPENSATION_CONTROL, 2, false, V4L2_CID_BACKLIGHT_COMPENSATION},
        {kProcessingUnit, UVC_PU_BRIGHTNESS_CONTROL, 2, true, V4L2_CID_BRIGHTNESS},
        {kProcessingUnit, UVC_PU_CONTRAST_CONTROL, 2, false, V4L2_CID_CONTRAST},
        {kProcessingUnit, UVC_PU_GAIN_CONTROL, 2, false, V4L2_CID_GAIN},
        {kProcessingUnit, UVC_PU_HUE_CONTROL, 2, true, V4L2_CID_HUE},
        {kProcessingUnit, UVC_PU_SATURATION_CONTROL, 2, false, V4L2_CID_SATURATION},
        {kProcessingUnit, UVC_PU_SHARPNESS_CONTROL, 2, false, V4L2_CID_SHARPNESS},
        {kProcessingUnit, UVC_PU_GAMMA_CONTROL, 2, false, V4L2_CID_GAMMA},
    };
    for (const ClassControl& c : controls) {
        v4l2_queryctrl query{};
        query.id = c.v4l2;
        ASSERT_EQ(m_model->queryControl(query), 0);
        const auto read = [&](uint8_t request) {
            const TransferReply r = m_requests.handle(get(request, c.entity, c.selector, 4), {});
            EXPECT_EQ(r.in.size(), c.size) << query.name;
            return asTheDriverReadsIt(r.in, c);
        };
        EXPECT_EQ(read(UVC_GET_MIN), query.minimum) << query.name;
        EXPECT_EQ(read(UVC_GET_MAX), query.maximum) << query.name;
        EXPECT_EQ(read(UVC_GET_DEF), query.default_value) << query.name;
    }
}

}  // namespace
