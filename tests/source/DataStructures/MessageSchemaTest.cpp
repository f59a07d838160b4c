// Wire-level checks of the message schema: the bytes our clients and old
// calibration files send must parse into the fields we read, and the
// messages we write must carry the field numbers and encodings they expect.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "source/DataStructures/Tyvo.pb.h"
#include "tests/source/DataStructures/WireEncoder.h"

namespace {

using namespace Tyvo::Message;

using wiretest::tag;
using wiretest::varint;
std::string fieldVarint(uint32_t field, uint64_t v) { return tag(field, 0) + varint(v); }
std::string fieldBytes(uint32_t field, const std::string& bytes) {
    return tag(field, 2) + varint(bytes.size()) + bytes;
}

TEST(MessageCompleteness, EmptyBytesAreNoMessage) {
    Message m;
    EXPECT_FALSE(m.ParseFromString(std::string()));
}

TEST(MessageCompleteness, OnlyTheThreeMessageKindsAreAccepted) {
    for (uint64_t type : {100u, 101u, 102u}) {
        Message m;
        EXPECT_TRUE(m.ParseFromString(fieldVarint(1, type))) << type;
        EXPECT_EQ(m.type(), static_cast<int>(type));
    }
    for (uint64_t type : {0u, 99u, 103u, 200u}) {
        Message m;
        EXPECT_FALSE(m.ParseFromString(fieldVarint(1, type))) << type;
    }
}

TEST(MessageCompleteness, RequiredFieldsOfNestedMessagesCount) {
    KeyValue kv;
    kv.set_key("camera_mode");
    EXPECT_FALSE(kv.IsInitialized());
    kv.mutable_value()->set_string_value("VGA");
    EXPECT_TRUE(kv.IsInitialized());

    // A request without its type inside a well-formed envelope.
    Message m;
    EXPECT_FALSE(m.ParseFromString(fieldVarint(1, 100) + fieldBytes(2, fieldVarint(2, 7))));
    // A response needs both type and status.
    EXPECT_FALSE(m.ParseFromString(fieldVarint(1, 101) + fieldBytes(3, fieldVarint(1, 300))));
    EXPECT_TRUE(m.ParseFromString(fieldVarint(1, 101) + fieldBytes(3, fieldVarint(1, 300) + fieldVarint(2, 0))));
}

TEST(MessageWireFormat, RequestFieldsSitAtTheirNumbers) {
    // An authentication request as a client writes it.
    std::string auth = fieldBytes(3, "key") + fieldVarint(4, 702) + fieldVarint(5, 4242) + fieldBytes(6, "Title") +
                       fieldBytes(7, "/usr/bin/app") + fieldBytes(8, "1.0.2+0");
    std::string request =
        fieldVarint(1, 200) + fieldVarint(2, 77) + fieldBytes(200, auth) + fieldVarint(206, 0x5C000001);
    Message m;
    ASSERT_TRUE(m.ParseFromString(fieldVarint(1, 100) + fieldBytes(2, request)));
    ASSERT_TRUE(m.has_request());
    const Request& r = m.request();
    EXPECT_EQ(r.type(), 200);
    EXPECT_EQ(r.client_id(), 77u);
    EXPECT_EQ(r.policy(), 0x5C000001u);
    EXPECT_EQ(r.authenticate().app_key(), "key");
    EXPECT_EQ(r.authenticate().old_version(), 702u);
    EXPECT_EQ(r.authenticate().pid(), 4242u);
    EXPECT_EQ(r.authenticate().title(), "Title");
    EXPECT_EQ(r.authenticate().app(), "/usr/bin/app");
    EXPECT_EQ(r.authenticate().version(), "1.0.2+0");
}

TEST(MessageWireFormat, SignedValuesAreZigzagAndPortIsSint32) {
    Value v;
    v.set_int_value(-1);
    EXPECT_EQ(v.SerializeAsString(), fieldVarint(2, 1));  // zigzag(-1) = 1
    v.Clear();
    v.set_int64_value(-2);
    EXPECT_EQ(v.SerializeAsString(), fieldVarint(3, 3));
    v.Clear();
    v.set_uint64_value(0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(v.SerializeAsString(), fieldVarint(5, 0xFFFFFFFFFFFFFFFFull));
    v.Clear();
    v.set_double_value(1.0);
    EXPECT_EQ(v.SerializeAsString(), tag(7, 1) + std::string("\0\0\0\0\0\0\xF0\x3F", 8));
    v.Clear();
    v.set_float_value(1.0f);
    EXPECT_EQ(v.SerializeAsString(), tag(8, 5) + std::string("\0\0\x80\x3F", 4));

    AuthenticateResponse a;
    a.set_event_port(6439);
    EXPECT_EQ(a.SerializeAsString(), fieldVarint(16, 6439 * 2));
}

TEST(MessageWireFormat, FieldsAreWrittenInNumberOrderAndArraysNest) {
    Event e;
    e.set_type(403);
    auto* kv = e.mutable_settings()->add_entries();
    kv->set_key("k");
    auto* arr = kv->mutable_value();
    arr->add_elements()->set_bool_value(true);
    arr->add_elements()->set_string_value("s");
    std::string expectedValue = fieldBytes(9, fieldVarint(1, 1)) + fieldBytes(9, fieldBytes(6, "s"));
    std::string expected =
        fieldVarint(1, 403) + fieldBytes(403, fieldBytes(1, fieldBytes(1, "k") + fieldBytes(2, expectedValue)));
    EXPECT_EQ(e.SerializeAsString(), expected);
}

TEST(MessageWireFormat, UnknownFieldsPassThrough) {
    // A newer peer's field must survive a parse and re-serialise unchanged.
    std::string bytes = fieldVarint(1, 102) + fieldBytes(4, fieldVarint(1, 415) + fieldVarint(999, 5));
    Message m;
    ASSERT_TRUE(m.ParseFromString(bytes));
    EXPECT_EQ(m.event().type(), 415);
    EXPECT_EQ(m.SerializeAsString(), bytes);
}

TEST(MessageWireFormat, RepeatedScalarsAreNotPacked) {
    Gesture g;
    g.set_id(1);
    g.add_hand_ids(3);
    g.add_hand_ids(4);
    EXPECT_EQ(g.SerializeAsString(), fieldVarint(1, 1) + fieldVarint(21, 3) + fieldVarint(21, 4));
}

TEST(LegacyCalibrationFile, HeaderWithTwoCamerasParses) {
    std::string floats(16, '\0');
    std::string image = fieldVarint(2, 2) + fieldVarint(3, 2) + fieldBytes(4, floats);
    std::string extrinsic = fieldVarint(1, 1) + tag(4, 1) + std::string("\0\0\0\0\0\0\xF0\x3F", 8);
    auto camera = [&](int id) {
        return fieldVarint(1, id) + fieldVarint(2, 640) + fieldVarint(3, 480) + fieldBytes(4, extrinsic) +
               fieldBytes(5, image) + fieldBytes(6, image);
    };
    std::string header =
        fieldVarint(1, 3) + fieldBytes(2, "HEAD") + fieldBytes(4, camera(0)) + fieldBytes(4, camera(1));
    LegacyCalibrationHeader h;
    ASSERT_TRUE(h.ParseFromString(header));
    ASSERT_EQ(h.cameras_size(), 2);
    EXPECT_EQ(h.cameras(1).camera(), 1);
    EXPECT_EQ(h.cameras(0).width(), 640);
    EXPECT_TRUE(h.cameras(0).has_extrinsic());
    EXPECT_DOUBLE_EQ(h.cameras(0).extrinsic().param_4(), 1.0);
    EXPECT_EQ(h.cameras(0).map_y().data().size(), 16u);

    // A camera entry without its required number makes the file unusable.
    LegacyCalibrationHeader broken;
    EXPECT_FALSE(broken.ParseFromString(fieldBytes(4, fieldVarint(2, 640))));
}

}  // namespace
