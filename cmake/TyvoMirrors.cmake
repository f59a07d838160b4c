# tests/, bench/ and fuzz/ mirror the subsystem folders: each sub-folder that
# has a CMakeLists.txt and whose subsystem is being built (TYVO_FOLDERS) is
# added. source/DataStructures is mirrored as "messages".
function(tyvo_add_mirrored_subdirectories)
  file(GLOB _subdirs LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}
       ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT _subdirs)
  set(_built ${TYVO_FOLDERS})
  if("source/DataStructures" IN_LIST _built)
    list(APPEND _built messages)
  endif()
  foreach(dir IN LISTS _subdirs)
    if(dir IN_LIST _built AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()
