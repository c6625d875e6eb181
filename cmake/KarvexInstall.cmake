# Install rules that let host projects find libkarvex: the library, the public headers, a CMake package
# (find_package(Karvex) -> Karvex::karvex) and a pkg-config file (karvex.pc).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KARVEX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Karvex)

install(TARGETS karvex EXPORT KarvexTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/karvex DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT development FILES_MATCHING PATTERN "*.h")

install(EXPORT KarvexTargets NAMESPACE Karvex:: DESTINATION ${KARVEX_CMAKE_DIR} COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/KarvexConfig.cmake.in
  ${PROJECT_BINARY_DIR}/cmake/KarvexConfig.cmake
  INSTALL_DESTINATION ${KARVEX_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cmake/KarvexConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/cmake/KarvexConfig.cmake ${PROJECT_BINARY_DIR}/cmake/KarvexConfigVersion.cmake
  DESTINATION ${KARVEX_CMAKE_DIR} COMPONENT development)

# The .pc file finds its prefix from its own place, so `cmake --install --prefix` anywhere stays valid.
file(RELATIVE_PATH KARVEX_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" KARVEX_PC_TO_PREFIX "${KARVEX_PC_TO_PREFIX}")
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(KARVEX_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  set(KARVEX_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(KARVEX_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(KARVEX_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/karvex.pc.in ${PROJECT_BINARY_DIR}/cmake/karvex.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/cmake/karvex.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT development)
