# Run by CPack while it stages each package: the licence and the browser
# page go where each kind of package keeps them. A Debian package carries
# the licence as its copyright file and the page under /usr/share/kestrune
# (staged under DESTDIR, which file(INSTALL) adds); the archive has both at
# its top, beside bin/.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(top "${CPACK_PACKAGING_INSTALL_PREFIX}")
  file(INSTALL "${CPACK_KESTRUNE_LICENSE}" DESTINATION "${top}/share/doc/kestrune" RENAME copyright)
  set(page_folder "${top}/share/kestrune")
else()
  file(INSTALL "${CPACK_KESTRUNE_LICENSE}" DESTINATION "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
  set(page_folder "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
if(EXISTS "${CPACK_KESTRUNE_PAGE}")
  file(INSTALL "${CPACK_KESTRUNE_PAGE}" DESTINATION "${page_folder}")
else()
  message(WARNING "no browser page at ${CPACK_KESTRUNE_PAGE}; build it first: cmake --preset web && cmake --build --preset web")
endif()
