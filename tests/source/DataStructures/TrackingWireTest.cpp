// The wire form of the tracking frame and the geometry messages, field by
// field. Each fill function sets every field of a message to a value of its
// own and writes, with the small encoder below, the bytes a client expects
// from the field numbers and wire types of Tyvo.proto; the library's output
// must be exactly those bytes. A renumbered field, or one whose type changed
// its encoding, changes the bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "source/DataStructures/Tyvo.pb.h"
#include "tests/source/DataStructures/WireEncoder.h"

namespace {

using namespace Tyvo::Message;

// Field encoders on top of the hand encoder, little-endian as on the wire.
using wiretest::tag;
using wiretest::varint;
// int32 and int64 write negative numbers sign-extended to ten bytes.
std::string i32(uint32_t field, int32_t v) { return tag(field, 0) + varint(static_cast<uint64_t>(int64_t{v})); }
std::string i64(uint32_t field, int64_t v) { return tag(field, 0) + varint(static_cast<uint64_t>(v)); }
std::string f32(uint32_t field, float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    std::string out = tag(field, 5);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
    return out;
}
std::string f64(uint32_t field, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    std::string out = tag(field, 1);
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
    return out;
}
std::string len(uint32_t field, const std::string& bytes) { return tag(field, 2) + varint(bytes.size()) + bytes; }

std::string hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
        out.push_back(' ');
    }
    return out;
}

// Every fill function below gives each field a value derived from `s` and
// its own field number, so that two fields of one type never carry the same
// value and a swap of their numbers shows.

// --- Geometry -------------------------------------------------------------

std::string fill(Vector& m, float s) {
    m.set_x(s + 1);
    m.set_y(s + 2);
    m.set_z(s + 3);
    m.set_w(s + 4);
    return f32(1, s + 1) + f32(2, s + 2) + f32(3, s + 3) + f32(4, s + 4);
}

std::string fill(VectorD& m, double s) {
    m.set_x(s + 0.1);
    m.set_y(s + 0.2);
    m.set_z(s + 0.3);
    return f64(1, s + 0.1) + f64(2, s + 0.2) + f64(3, s + 0.3);
}

std::string fill(MatrixD& m, double s) {
    return len(1, fill(*m.mutable_x_basis(), s + 10)) + len(2, fill(*m.mutable_y_basis(), s + 20)) +
           len(3, fill(*m.mutable_z_basis(), s + 30));
}

std::string fill(Point2D& m, float s) {
    m.set_x(s + 1);
    m.set_y(s + 2);
    return f32(1, s + 1) + f32(2, s + 2);
}

std::string fill(Basis2D& m, float s) {
    return len(1, fill(*m.mutable_x_basis(), s + 10)) + len(2, fill(*m.mutable_y_basis(), s + 20)) +
           len(3, fill(*m.mutable_origin(), s + 30));
}

std::string fill(Basis3D& m, float s) {
    std::string out = len(1, fill(*m.mutable_x_basis(), s + 10)) + len(2, fill(*m.mutable_y_basis(), s + 20)) +
                      len(3, fill(*m.mutable_z_basis(), s + 30));
    m.set_handedness(-1);
    m.set_scale(s + 7);
    return out + i32(4, -1) + f32(7, s + 7);
}

std::string fill(AxisAlignedBox& m, float s) {
    return len(1, fill(*m.mutable_min(), s + 10)) + len(2, fill(*m.mutable_max(), s + 20));
}

std::string fill(Sphere& m, float s) {
    std::string out = len(1, fill(*m.mutable_center(), s + 10));
    m.set_radius(s + 2);
    m.set_id(static_cast<int32_t>(s) + 3);
    return out + f32(2, s + 2) + i32(3, static_cast<int32_t>(s) + 3);
}

std::string fill(ViewFrustum& m, float s) {
    return len(1, fill(*m.mutable_origin(), s + 10)) + len(2, fill(*m.mutable_top_left(), s + 20)) +
           len(3, fill(*m.mutable_top_right(), s + 30)) + len(4, fill(*m.mutable_bottom_left(), s + 40)) +
           len(5, fill(*m.mutable_bottom_right(), s + 50)) + len(6, fill(*m.mutable_direction(), s + 60));
}

std::string fill(Movement& m, float s) {
    return len(1, fill(*m.mutable_position(), s + 10)) + len(2, fill(*m.mutable_velocity(), s + 20)) +
           len(3, fill(*m.mutable_direction(), s + 30));
}

// --- Tracking -------------------------------------------------------------

std::string fill(ProfilingStatistics& m, float s) {
    m.set_frame_time(s + 1);
    m.set_processing_time(s + 2);
    m.set_frame_rate(s + 3);
    return f32(1, s + 1) + f32(2, s + 2) + f32(3, s + 3);
}

std::string fill(Hand& m, int s) {
    const float f = static_cast<float>(s);
    m.set_id(s + 1);
    std::string out = i32(1, s + 1);
    out += len(4, fill(*m.mutable_movement(), f + 100));
    out += len(5, fill(*m.mutable_normal(), f + 200));
    out += len(6, fill(*m.mutable_sphere(), f + 300));
    out += len(7, fill(*m.mutable_translation(), s + 400.0));
    out += len(8, fill(*m.mutable_rotation(), s + 500.0));
    m.set_scale(s + 9.5);
    m.set_confidence(f + 10);
    out += f64(9, s + 9.5) + f32(10, f + 10);
    out += len(11, fill(*m.mutable_stabilized_position(), f + 600));
    return out;
}

std::string fill(Pointable& m, int s) {
    const float f = static_cast<float>(s);
    m.set_id(s + 1);
    m.set_hand_id(s + 2);
    std::string out = i32(1, s + 1) + i32(2, s + 2);
    out += len(3, fill(*m.mutable_movement(), f + 100));
    m.set_width(f + 4);
    m.set_length(f + 5);
    m.set_type(s + 7);
    m.set_zone(s + 8);
    m.set_touch_distance(f + 9);
    out += f32(4, f + 4) + f32(5, f + 5) + i32(7, s + 7) + i32(8, s + 8) + f32(9, f + 9);
    out += len(11, fill(*m.mutable_stabilized_position(), f + 200));
    m.set_flags(s + 12);
    m.set_finger_type(s + 13);
    m.set_time_visible(f + 14);
    return out + i32(12, s + 12) + i32(13, s + 13) + f32(14, f + 14);
}

std::string fill(Gesture& m, int s) {
    const float f = static_cast<float>(s);
    m.set_id(s + 1);
    m.set_type(s + 3);
    m.set_state(s + 4);
    m.set_duration(int64_t{s} + 5000000000);
    m.set_progress(f + 6);
    m.set_radius(f + 11);
    std::string out = i32(1, s + 1) + i32(3, s + 3) + i32(4, s + 4) + i64(5, int64_t{s} + 5000000000) + f32(6, f + 6) +
                      f32(11, f + 11);
    out += len(12, fill(*m.mutable_position(), f + 100));
    out += len(13, fill(*m.mutable_direction(), f + 200));
    out += len(14, fill(*m.mutable_normal(), f + 300));
    // Repeated scalars unpacked: one tag per item.
    m.add_hand_ids(s + 21);
    m.add_hand_ids(-(s + 21));
    m.add_pointable_ids(s + 22);
    m.add_pointable_ids(s + 23);
    return out + i32(21, s + 21) + i32(21, -(s + 21)) + i32(22, s + 22) + i32(22, s + 23);
}

std::string fill(DetectedBone& m, int s) {
    const float f = static_cast<float>(s);
    std::string out = len(1, fill(*m.mutable_prev_joint(), f + 100)) + len(2, fill(*m.mutable_next_joint(), f + 200));
    m.set_width(f + 3);
    m.set_length(f + 4);
    m.set_type(s + 5);
    m.set_finger_id(s + 6);
    m.set_hand_id(s + 7);
    return out + f32(3, f + 3) + f32(4, f + 4) + i32(5, s + 5) + i32(6, s + 6) + i32(7, s + 7);
}

std::string fill(Cluster& m, int s) {
    std::string out = len(1, fill(*m.mutable_center(), static_cast<float>(s) + 100));
    m.set_size(s + 2);
    return out + i32(2, s + 2);
}

std::string fill(ClusterGroup& m, int s) {
    const float f = static_cast<float>(s);
    std::string out = len(1, fill(*m.mutable_center(), f + 100)) + len(2, fill(*m.mutable_extent_min(), f + 200)) +
                      len(3, fill(*m.mutable_extent_max(), f + 300)) + len(4, fill(*m.mutable_direction(), f + 400));
    m.set_id(s + 5);
    return out + i32(5, s + 5);
}

std::string fill(PeakPoint& m, int s) {
    m.set_x(s + 0.25);
    m.set_y(s + 0.5);
    m.set_z(s + 0.75);
    m.set_id(s + 4);
    m.set_strength(static_cast<float>(s) + 5);
    return f64(1, s + 0.25) + f64(2, s + 0.5) + f64(3, s + 0.75) + i32(4, s + 4) + f32(5, static_cast<float>(s) + 5);
}

std::string fill(VelocityFieldInfo& m, int s) {
    m.set_id(s + 1);
    return i32(1, s + 1) + len(2, fill(*m.mutable_translation(), s + 100.0)) +
           len(3, fill(*m.mutable_velocity(), s + 200.0)) + len(4, fill(*m.mutable_rotation(), s + 300.0)) +
           len(5, fill(*m.mutable_angular(), s + 400.0));
}

std::string fill(Image& m, int s) {
    m.set_format(s + 1);
    m.set_width(s + 2);
    m.set_height(s + 3);
    m.set_data(std::string("\x01\x00\xff", 3));
    return i32(1, s + 1) + i32(2, s + 2) + i32(3, s + 3) + len(4, std::string("\x01\x00\xff", 3));
}

std::string fill(Benchmark& m, int s) {
    m.set_data("bench" + std::to_string(s));
    return len(1, "bench" + std::to_string(s));
}

std::string fill(Frame& m, int s) {
    const float f = static_cast<float>(s);
    m.set_id(int64_t{s} + 1);
    m.set_timestamp(int64_t{s} + 1700000000000000);
    std::string out = i64(1, int64_t{s} + 1) + i64(2, int64_t{s} + 1700000000000000);
    out += len(3, fill(*m.add_hands(), s + 30));
    out += len(3, fill(*m.add_hands(), s + 31));
    out += len(4, fill(*m.add_pointables(), s + 40));
    out += len(5, fill(*m.add_gestures(), s + 50));
    m.set_debug_text("debug");
    m.set_source_id(int64_t{s} + 7);
    out += len(6, "debug") + i64(7, int64_t{s} + 7);
    out += len(13, fill(*m.mutable_profiling(), f + 130));
    out += len(14, fill(*m.add_bones(), s + 140));
    out += len(16, fill(*m.add_spheres(), f + 160));
    out += len(17, fill(*m.mutable_interaction_box(), f + 170));
    out += len(18, fill(*m.add_images(), s + 180));
    out += len(19, fill(*m.mutable_bounding_sphere(), f + 190));
    out += len(20, fill(*m.mutable_translation(), s + 200.0));
    out += len(21, fill(*m.mutable_rotation(), s + 210.0));
    m.set_scale(s + 22.5);
    m.set_flags(s + 24);
    out += f64(22, s + 22.5) + i32(24, s + 24);
    out += len(25, fill(*m.add_benchmarks(), s + 250));
    out += len(26, fill(*m.add_peak_points(), s + 260));
    out += len(27, fill(*m.add_rectified_images(), s + 270));
    out += len(29, fill(*m.add_clusters(), s + 290));
    out += len(30, fill(*m.add_cluster_groups(), s + 300));
    out += len(31, fill(*m.mutable_velocity(), f + 310));
    out += len(32, fill(*m.mutable_acceleration(), f + 320));
    out += len(33, fill(*m.add_velocity_fields(), s + 330));
    m.set_frame_rate(f + 34);
    return out + f32(34, f + 34);
}

std::string fill(GlobalFrame& m, int s) {
    m.set_version(s + 1);
    m.add_names("left");
    m.add_names("right");
    m.add_frame_ids(int64_t{s} + 3);
    m.add_frame_ids(-3);
    m.add_timestamps(int64_t{s} + 4);
    return i32(1, s + 1) + len(2, "left") + len(2, "right") + i64(3, int64_t{s} + 3) + i64(3, -3) +
           i64(4, int64_t{s} + 4);
}

// Fills a fresh message, then compares its wire form with the hand-written
// bytes, as hex so that a failure shows where they part.
template <class M, class Seed>
void expectWireForm(Seed seed) {
    M message;
    const std::string expected = fill(message, seed);
    EXPECT_EQ(hex(message.SerializeAsString()), hex(expected)) << message.GetTypeName();
    M parsed;
    EXPECT_TRUE(parsed.ParseFromString(expected)) << message.GetTypeName() << " does not read the bytes back";
}

TEST(GeometryWireForm, EveryFieldSitsAtItsNumberWithItsEncoding) {
    expectWireForm<Vector>(1.0f);
    expectWireForm<VectorD>(2.0);
    expectWireForm<MatrixD>(3.0);
    expectWireForm<Point2D>(4.0f);
    expectWireForm<Basis2D>(5.0f);
    expectWireForm<Basis3D>(6.0f);
    expectWireForm<AxisAlignedBox>(7.0f);
    expectWireForm<Sphere>(8.0f);
    expectWireForm<ViewFrustum>(9.0f);
    expectWireForm<Movement>(10.0f);
}

TEST(TrackingWireForm, EveryFieldSitsAtItsNumberWithItsEncoding) {
    expectWireForm<ProfilingStatistics>(1.0f);
    expectWireForm<Hand>(2);
    expectWireForm<Pointable>(3);
    expectWireForm<Gesture>(4);
    expectWireForm<DetectedBone>(5);
    expectWireForm<Cluster>(6);
    expectWireForm<ClusterGroup>(7);
    expectWireForm<PeakPoint>(8);
    expectWireForm<VelocityFieldInfo>(9);
    expectWireForm<Image>(10);
    expectWireForm<Benchmark>(11);
    expectWireForm<GlobalFrame>(12);
}

TEST(TrackingWireForm, WholeFrameWithOneOfEachPart) { expectWireForm<Frame>(1000); }

}  // namespace
