# The in-place update of a running controller. It reaches the controller only
# through UpdateTarget, which the camera layer's devices implement, and logs
# through the log server.
target_sources(tyvo_firmware PRIVATE ${CMAKE_CURRENT_LIST_DIR}/FirmwareUpdate.cpp)
target_link_libraries(tyvo_firmware PUBLIC tyvo_logging tyvo_context)
