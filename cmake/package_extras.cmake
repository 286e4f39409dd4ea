# Run by CPack while it stages each package: the licence goes where each
# kind of package keeps it. A Debian package carries it as its copyright
# file (staged under DESTDIR, which file(INSTALL) adds), the archive as
# LICENSE at its top, beside bin/.
if(CPACK_GENERATOR STREQUAL "DEB")
  file(INSTALL "${CPACK_KESTRUNE_LICENSE}" DESTINATION "${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc/kestrune"
    RENAME copyright)
else()
  file(INSTALL "${CPACK_KESTRUNE_LICENSE}" DESTINATION "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
