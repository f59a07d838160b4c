# The two restore stages: the boot loader and boot programmer devices, which
# reach the FX3 through the USB transport.
include(GNUInstallDirs)
target_sources(tyvo_firmware PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/RestoreStages.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CyBootLoaderDevice.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CyBootProgrammerDevice.cpp
)
target_link_libraries(tyvo_firmware PUBLIC tyvo_usb)
# Where the permission hint tells the user the udev rule was installed.
target_compile_definitions(tyvo_firmware PRIVATE
  TYVO_UDEV_RULE_INSTALLED="${CMAKE_INSTALL_PREFIX}/lib/udev/rules.d/70-tyvo-reset.rules")
