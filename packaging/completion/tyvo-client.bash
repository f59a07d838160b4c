# bash completion for tyvo-client                          -*- shell-script -*-
# Self-contained: works with or without the bash-completion package.

# The settings of the configuration defaults table (config/ConfigDefaults.cpp).
_tyvo_client_keys() {
    printf '%s\n' camera_type camera_dump_file camera_framerate_limit camera_sensitivity \
        camera_requires_calib optical_infinity_value dump_replay_framerate dump_replay_repeat \
        dump_replay_min_clients dump_replay_max_wait_ms dump_replay_processed_only \
        pipeline_stop_requested plugin_host_stop_requested spherical_wavefront_frequency \
        use_wavefront_photon_slowdown debug_use_image_viewer debug_rect_images camera_mode \
        image_width image_height image_source_width image_source_height image_calib_width \
        image_calib_height tracking_mode xray_pulse_width sampling_max_gap sampling_min_gap \
        sampling_max_gap_robust sampling_min_gap_robust debug_trifocal_tensors robust_mode_enabled \
        low_resource_mode_enabled background_app_mode plasmeto_mode_enabled debug_output_level \
        debug_output_mode profiling_output_level profiling_output_mode websockets_enabled \
        websockets_port server_connect_ip print_timestamps_in_log auto_send_bug_reports \
        use_interference_fringing_pattern filtering_enabled filtering_scale_posunc \
        filtering_scale_velunc filtering_scale_dirunc filtering_target_posunc filtering_target_velunc \
        filtering_target_dirunc filtering_user_unc filtering_user_scale filtering_near_dist \
        filtering_far_dist filtering_position_smooth_min filtering_position_smooth_max \
        filtering_position_adapt_rate filtering_direction_smooth_min filtering_direction_smooth_max \
        filtering_direction_adapt_rate tracking_classify_threshold tracking_transform_angle \
        holotopic_tomography_slices image_processing_auto_flip image_processing_cropped \
        image_processing_throttled image_processing_standby image_processing_mode \
        power_saving_adapter power_saving_battery use_robust_tips os_interaction_mode \
        os_interaction_multi_monitor interaction_box_auto interaction_box_height interaction_box_scale \
        interaction_center_x interaction_center_y interaction_center_z autoplane_closeness_epsilon \
        autoplane_covariance_scale_factor autoplane_time_window autoplane_warmup_time \
        autoplane_hover_zone_cutoff autoplane_dead_zone_cutoff autoplane_function_steepness \
        autoplane_function_width autoplane_function_speed klaatu_barada_nikto hand_isolation_enabled \
        screen_detected screen_point{0..7}_{x,y,z} reflection_removal_enabled auto_check_updates \
        force_accept_updates screen_calibration{0..9}
}

_tyvo_client() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local i command= command_at=0
    COMPREPLY=()
    # The command is the first word that is neither an option nor its value.
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            --host | --port | --timeout) ((i++)) ;;
            -*) ;;
            *)
                command=${COMP_WORDS[i]} command_at=$i
                break
                ;;
        esac
    done
    if [[ -z $command ]]; then
        case $prev in
            --host)
                mapfile -t COMPREPLY < <(compgen -A hostname -- "$cur")
                return
                ;;
            --port | --timeout) return 0 ;;
        esac
        mapfile -t COMPREPLY < <(compgen -W "--host --port --timeout --help get set watch devices" -- "$cur")
        return
    fi
    case $command in
        get)
            mapfile -t COMPREPLY < <(compgen -W "$(_tyvo_client_keys)" -- "$cur")
            ;;
        set)
            # set KEY VALUE: only the key is completed.
            if ((COMP_CWORD == command_at + 1)); then
                mapfile -t COMPREPLY < <(compgen -W "$(_tyvo_client_keys)" -- "$cur")
            fi
            ;;
        watch)
            if ((COMP_CWORD == command_at + 1)); then
                mapfile -t COMPREPLY < <(compgen -W "--seconds" -- "$cur")
            fi
            ;;
    esac
    return 0
}
complete -F _tyvo_client tyvo-client
