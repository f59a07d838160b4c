# Manual pages (section 1) from their scdoc sources in packaging/man/, built
# with the project into ${CMAKE_BINARY_DIR}/man, gzipped as Debian wants them
# (man reads them either way), and installed for the programs that are.
# Without scdoc the pages are skipped with a warning; scripts/setup installs
# it, so CI always builds and tests them.
find_program(TYVO_SCDOC scdoc)
find_program(TYVO_GZIP gzip)
set(TYVO_MAN_PAGES tyvo-reset tyvo-client tyvo-sim)
set(TYVO_MAN_DIR ${CMAKE_BINARY_DIR}/man)
if(NOT TYVO_SCDOC OR NOT TYVO_GZIP)
  message(WARNING "scdoc or gzip not found: the manual pages are not built (scripts/setup installs scdoc)")
  return()
endif()
set(_pages)
foreach(page IN LISTS TYVO_MAN_PAGES)
  set(src ${PROJECT_SOURCE_DIR}/packaging/man/${page}.1.scd)
  set(out ${TYVO_MAN_DIR}/${page}.1)
  add_custom_command(OUTPUT ${out} ${out}.gz
    COMMAND ${CMAKE_COMMAND} -DSCDOC=${TYVO_SCDOC} -DGZIP=${TYVO_GZIP} -DIN=${src} -DOUT=${out}
            -P ${PROJECT_SOURCE_DIR}/cmake/RunScdoc.cmake
    DEPENDS ${src} ${PROJECT_SOURCE_DIR}/cmake/RunScdoc.cmake
    COMMENT "Building manual page ${page}.1"
    VERBATIM)
  list(APPEND _pages ${out} ${out}.gz)
endforeach()
add_custom_target(tyvo_man_pages ALL DEPENDS ${_pages})
set(TYVO_MAN_PAGES_BUILT ON)
foreach(page tyvo-reset tyvo-client)
  if(TARGET ${page})
    install(FILES ${TYVO_MAN_DIR}/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()
