# cmake --install: the tool in bin (the firmware files go beside it, see
# tools/), and the udev rule that lets the user at the seat reach the
# controller in lib/udev/rules.d (where udev reads it with the prefix /usr;
# from another prefix it is copied to /etc/udev/rules.d, see README.md).
include(GNUInstallDirs)
if(TARGET tyvo-reset)
  install(TARGETS tyvo-reset RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/udev/70-tyvo-reset.rules DESTINATION lib/udev/rules.d)
