# The device core, the UVC control channel with its memory window, and the
# V4L2 capture. The core implements the firmware layer's update target.
target_sources(tyvo_camera PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/DeviceClass.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ExposureConversion.cpp
  ${CMAKE_CURRENT_LIST_DIR}/HardwareAbstraction.cpp
  ${CMAKE_CURRENT_LIST_DIR}/MemoryWindow.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UVCInterface.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UVCInterfaceV4L2.cpp
  ${CMAKE_CURRENT_LIST_DIR}/V4l2Device.cpp
  ${CMAKE_CURRENT_LIST_DIR}/VideoNodeLocator.cpp
)
target_link_libraries(tyvo_camera PUBLIC tyvo_logging tyvo_firmware tyvo_context)

# Tests that need the capture look for this.
set_property(GLOBAL PROPERTY TYVO_CAMERA_CAPTURE TRUE)
