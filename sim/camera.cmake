# The emulated controller in normal operation: a UVC camera on the emulated
# bus with its V4L2 video node, its memory window and update mailbox, and the
# FX3 power-up hook that boots it from a controller image in flash. Its SHA-1
# comes from OpenSSL, not from the tool.
find_package(OpenSSL REQUIRED)
target_sources(tyvo_sim PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/ControllerCalibrationBlock.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ControllerFirmwareBoot.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ControllerMemory.cpp
  ${CMAKE_CURRENT_LIST_DIR}/EmulatedV4l2Node.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UvcControllerModel.cpp
)
target_link_libraries(tyvo_sim PRIVATE OpenSSL::Crypto)
