# Run by CPack while it stages each package: builds the browser page with
# the web preset (where it is built already, that costs a moment; where
# its libraries were never fetched, `npm ci` fetches them first) and puts
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
  # A fresh clone has not fetched the libraries the page carries: the
  # lockfile pins them.
  if(NOT EXISTS "${CPACK_KESTRUNE_SOURCE}/web/node_modules/.package-lock.json")
    find_program(npm npm)
    if(NOT npm)
      message(FATAL_ERROR "The browser page carries libraries that npm fetches. "
        "Install it (Debian: apt-get install npm) and make the package again.")
    endif()
    execute_process(COMMAND ${npm} ci --no-audit --no-fund WORKING_DIRECTORY "${CPACK_KESTRUNE_SOURCE}/web"
      OUTPUT_QUIET RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "The browser page's libraries could not be fetched: npm ci failed in ${CPACK_KESTRUNE_SOURCE}/web.")
    endif()
  endif()
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
elseif(CPACK_GENERATOR STREQUAL "TGZ")
  # The archive for Linux holds the Debian package's files under share/,
  # the page too, and the page and licence at its top.
  file(INSTALL "${CPACK_KESTRUNE_PAGE}" DESTINATION "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/share/kestrune")
endif()
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  file(INSTALL "${CPACK_KESTRUNE_LICENSE}" DESTINATION "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
  set(page_folder "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
file(INSTALL "${CPACK_KESTRUNE_PAGE}" DESTINATION "${page_folder}")
