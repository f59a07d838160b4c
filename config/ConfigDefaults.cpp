#include "config/ConfigDefaults.h"

#include "config/OutputMode.h"

namespace Config {
namespace {

// Some defaults were single-precision constants; they are kept exactly as
// those floats widen to double, since saved files compare against them.
constexpr double widened(float v) { return static_cast<double>(v); }

std::vector<DefaultRow> buildRows() {
    std::vector<DefaultRow> rows = {
        {"camera_type", "UVCI", 2},
        {"camera_dump_file", "", 1},
        {"camera_framerate_limit", 1000.0, 2},
        {"camera_sensitivity", 1.0, 2},
        {"camera_requires_calib", true, 2},
        {"optical_infinity_value", 161.8, 1},
        {"dump_replay_framerate", 10, 1},
        {"dump_replay_repeat", true, 1},
        {"dump_replay_min_clients", 0, 1},
        {"dump_replay_max_wait_ms", 1000, 1},
        {"dump_replay_processed_only", true, 1},
        {"pipeline_stop_requested", false, 1},
        {"plugin_host_stop_requested", false, 1},
        {"spherical_wavefront_frequency", 450, 1},
        {"use_wavefront_photon_slowdown", true, 1},
        {"debug_use_image_viewer", false, 1},
        {"debug_rect_images", true, 1},
        {"camera_mode", "HVGA", 2},
        {"image_width", 640, 2},
        {"image_height", 480, 2},
        {"image_source_width", 640, 2},
        {"image_source_height", 480, 2},
        {"image_calib_width", 640, 2},
        {"image_calib_height", 480, 2},
        {"tracking_mode", "balanced", 2},
        {"xray_pulse_width", 100, 1},
        {"sampling_max_gap", 1.0, 1},
        {"sampling_min_gap", widened(0.1f), 1},
        {"sampling_max_gap_robust", widened(0.8f), 1},
        {"sampling_min_gap_robust", widened(0.08f), 1},
        {"debug_trifocal_tensors", true, 1},
        {"robust_mode_enabled", true, 2},
        {"low_resource_mode_enabled", false, 2},
        {"background_app_mode", 1, 2},
        {"plasmeto_mode_enabled", false, 1},
        {"debug_output_level", 3, 1},
        {"debug_output_mode", "console", 1},
        {"profiling_output_level", 1, 1},
        {"profiling_output_mode", "none", 1},
        {"websockets_enabled", true, 2},
        {"websockets_port", 6437, 1},
        {"server_connect_ip", "localhost", 2},
        {"print_timestamps_in_log", true, 2},
        {"auto_send_bug_reports", false, 2},
        {"use_interference_fringing_pattern", true, 1},
        {"filtering_enabled", true, 1},
        {"filtering_scale_posunc", 1.0, 1},
        {"filtering_scale_velunc", 1.0, 1},
        {"filtering_scale_dirunc", 1.0, 1},
        {"filtering_target_posunc", 0.0125, 1},
        {"filtering_target_velunc", 0.0125, 1},
        {"filtering_target_dirunc", 0.0125, 1},
        {"filtering_user_unc", 0.05, 1},
        {"filtering_user_scale", 20.0, 1},
        {"filtering_near_dist", 1, 1},
        {"filtering_far_dist", 500, 1},
        {"filtering_position_smooth_min", 0.3, 1},
        {"filtering_position_smooth_max", 0.015, 1},
        {"filtering_position_adapt_rate", 1e-7, 1},
        {"filtering_direction_smooth_min", 0.025, 1},
        {"filtering_direction_smooth_max", 0.0001, 1},
        {"filtering_direction_adapt_rate", 0.025, 1},
        {"tracking_classify_threshold", 0.9, 1},
        {"tracking_transform_angle", 0, 2},
        {"holotopic_tomography_slices", 0.9, 1},
        {"image_processing_auto_flip", true, 2},
        {"image_processing_cropped", false, 1},
        {"image_processing_throttled", false, 1},
        {"image_processing_standby", true, 1},
        {"image_processing_mode", 1, 1},
        {"power_saving_adapter", false, 2},
        {"power_saving_battery", true, 2},
        {"use_robust_tips", true, 1},
        {"os_interaction_mode", Tyvo::OutputPeripheral::OutputModeDefault, 2},
        {"os_interaction_multi_monitor", false, 2},
        {"interaction_box_auto", false, 2},
        {"interaction_box_height", 200, 2},
        {"interaction_box_scale", 0.8, 2},
        {"interaction_center_x", 0, 2},
        {"interaction_center_y", 200, 2},
        {"interaction_center_z", 0, 2},
        {"autoplane_closeness_epsilon", 4.0, 2},
        {"autoplane_covariance_scale_factor", 0.5, 2},
        {"autoplane_time_window", 0.4, 2},
        {"autoplane_warmup_time", 0.333, 2},
        {"autoplane_hover_zone_cutoff", 70.0, 2},
        {"autoplane_dead_zone_cutoff", 220.0, 2},
        {"autoplane_function_steepness", 1.0, 2},
        {"autoplane_function_width", 4.0, 2},
        {"autoplane_function_speed", 0.5, 2},
        {"klaatu_barada_nikto", true, 2},
        {"hand_isolation_enabled", true, 2},
        {"screen_detected", false, 2},
    };
    for (int point = 0; point < 8; ++point) {
        for (const char* axis : {"_x", "_y", "_z"}) {
            rows.push_back({"screen_point" + std::to_string(point) + axis, 0.0, 2});
        }
    }
    rows.push_back({"reflection_removal_enabled", true, 2});
    rows.push_back({"auto_check_updates", false, 2});
    rows.push_back({"force_accept_updates", false, 2});

    // The screen calibrations: the first has a default plane, the others none.
    for (int n = 0; n < 10; ++n) {
        Value::Array plane;
        if (n == 0) {
            for (double v : {-200.0, 50.0, -200.0, 400.0, 0.0, 0.0, 0.0, 250.0, 0.0}) plane.emplace_back(v);
        }
        rows.push_back({"screen_calibration" + std::to_string(n), Value(std::move(plane)), 2});
    }
    return rows;
}

}  // namespace

const std::vector<DefaultRow>& defaultRows() {
    static const std::vector<DefaultRow> rows = buildRows();
    return rows;
}

bool applyDefaults(Store& target) {
    // One step under the lock: no reader sees a half-filled table.
    auto lock = target.lock();
    target.clearAttributes();
    for (const auto& row : defaultRows()) target.setDefault(row.key, row.value, row.level);
    return target.applyImageMode();
}

bool applyDefaults() { return applyDefaults(store()); }

}  // namespace Config
