# What both releases (the Linux .deb and tarball, the Windows zip) share so
# that one commit always packs to the same bytes. The caller names its
# archives in CPACK_SYSGRAB_RELEASE before include(CPack). How a release is
# checked and rebuilt, and what keeps its bytes the same: dist/RELEASES.md.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/release-date.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/release-pack.cmake)
set(CPACK_SYSGRAB_SOURCE_DIR ${PROJECT_SOURCE_DIR})
# The tools whose versions BUILDINFO names: the same bytes need the same.
set(CPACK_SYSGRAB_COMPILER ${CMAKE_CXX_COMPILER})
set(CPACK_SYSGRAB_BINUTILS ${CMAKE_LINKER})
set(CPACK_SYSGRAB_CMAKE ${CMAKE_COMMAND})
