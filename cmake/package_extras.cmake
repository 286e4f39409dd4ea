# Run by CPack while it stages each package: builds the browser page with
# the web preset (where it is built already, that costs a moment) and puts
# it, with the licence, where each kind of package keeps them. A Debian
# package has the page under /usr/share/kestrune (staged under DESTDIR,
# which file(INSTALL) adds) and the licence as its copyright file, which the
# install rules put there; the archives have both at their top.
if(NOT CPACK_KESTRUNE_PAGE STREQUAL "${CPACK_KESTRUNE_SOURCE}/build-web/kestrune.html")
  # A page given from elsewhere is packaged as it is.
elseif(NOT EXISTS /usr/share/emscripten/cmake/Modules/Platform/Emscripten.cmake)
  message(FATAL_ERROR "Every package carries the browser page, which is built with Emscripten. "
    "Install it (Debian: apt-get install emscripten) and make the package again.")
else()
  foreach(step "--preset;web" "--build;--preset;web")
    execute_process(COMMAND ${CMAKE_COMMAND} ${step} WORKING_DIRECTORY "${CPACK_KESTRUNE_SOURCE}"
      OUTPUT_QUIET RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "The browser page did not build: cmake ${step} failed in ${CPACK_KESTRUNE_SOURCE}.")
    endif()
  endforeach()
endif()
if(CPACK_GENERATOR STREQUAL "DEB")
  set(page_folder "${CPACK_PACKAGING_INSTALL_PREFIX}/share/kestrune")
else()
  file(INSTALL "${CPACK_KESTRUNE_LICENSE}" DESTINATION "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
  set(page_folder "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
file(INSTALL "${CPACK_KESTRUNE_PAGE}" DESTINATION "${page_folder}")
