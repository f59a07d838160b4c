# Warnings for our own code. Third-party headers come in as system headers,
# so their warnings stay out of the way.
add_library(tyvo_warnings INTERFACE)
target_compile_options(tyvo_warnings INTERFACE -Wall -Wextra -Wpedantic)

# tyvo_library(name SOURCES ... [DEPENDS ...] [PUBLIC_LIBS ...])
# One static library per subsystem folder.
function(tyvo_library name)
  cmake_parse_arguments(L "" "" "SOURCES;DEPENDS;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(${name} STATIC ${L_SOURCES})
  target_link_libraries(${name} PUBLIC ${L_DEPENDS} ${L_PUBLIC_LIBS} Threads::Threads
                                PRIVATE tyvo_warnings ${L_PRIVATE_LIBS})
endfunction()
