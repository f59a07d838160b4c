# The controllers in normal operation: the Cypress UVC controller and the
# embedded controller, with what they share (the device base, identification
# and authentication with the system's own SHA-1, the status notifier).
target_sources(tyvo_camera PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/ControllerIdentity.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CyUVCDevice.cpp
  ${CMAKE_CURRENT_LIST_DIR}/OV580UVCDevice.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Sha1.cpp
  ${CMAKE_CURRENT_LIST_DIR}/StatusNotifier.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UVCControllerDevice.cpp
)
