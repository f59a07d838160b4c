# cmake --install: the programs a user runs (tyvo-reset, tyvo-client) in
# bin; the udev rule that lets the user at the seat reach the controller in
# lib/udev/rules.d (where udev reads it with the prefix /usr; from another
# prefix it is copied to /etc/udev/rules.d, see README.md); their manual
# pages in share/man/man1; their bash completion; the copyright and
# changelog in share/doc/tyvo-reset.
#
# Not installed: the development tools (the emulation host tyvo-sim, the
# gadget programs, tyvo-chunk, tyvo-mkimage) and the synthetic firmware
# images the build makes for them; the controller's own firmware files go in
# share/tyvo/firmware (firmware/FirmwareLocation.h).
include(GNUInstallDirs)
foreach(program tyvo-reset tyvo-client)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/udev/70-tyvo-reset.rules DESTINATION lib/udev/rules.d)

include(TyvoManPages)

# bash-completion's own folder when its pkg-config file says where that is
# below our prefix, else the folder it uses by default.
set(TYVO_BASH_COMPLETION_DIR ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
if(PKG_CONFIG_EXECUTABLE)
  execute_process(
    COMMAND ${PKG_CONFIG_EXECUTABLE} --define-variable=prefix=${CMAKE_INSTALL_PREFIX}
            --define-variable=datadir=${CMAKE_INSTALL_FULL_DATADIR} --variable=completionsdir bash-completion
    OUTPUT_VARIABLE _completions RESULT_VARIABLE _found OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(_found EQUAL 0 AND _completions MATCHES "^${CMAKE_INSTALL_PREFIX}/(.+)$")
    set(TYVO_BASH_COMPLETION_DIR ${CMAKE_MATCH_1})
  endif()
endif()
foreach(program tyvo-reset tyvo-client)
  if(TARGET ${program})
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/completion/${program}.bash
            DESTINATION ${TYVO_BASH_COMPLETION_DIR} RENAME ${program})
  endif()
endforeach()

# The package's copyright and changelog, as Debian wants them in every
# package's documentation folder (the changelog gzipped without a time stamp).
set(_doc ${CMAKE_INSTALL_DATADIR}/doc/tyvo-reset)
configure_file(${PROJECT_SOURCE_DIR}/packaging/deb/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
find_program(TYVO_GZIP gzip REQUIRED)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND ${TYVO_GZIP} -9 -n -f -k ${CMAKE_BINARY_DIR}/packaging/changelog
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog
  COMMENT "Compressing the package changelog"
  VERBATIM)
add_custom_target(tyvo_package_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/deb/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${_doc})

include(TyvoPackage)
