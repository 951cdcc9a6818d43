# install.cmake - what `cmake --install` lays down: the shared and static
# library, wisam.h, the tool, a pkg-config file and a CMake package giving
# the target wisam::wisam (and wisam::wisam_static).
include(CMakePackageConfigHelpers)

set(WISAM_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/wisam)

install(TARGETS wisam wisam_static EXPORT wisamTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS wisam_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/tools/wisam/wisam.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/include/wisam.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT wisamTargets NAMESPACE wisam:: DESTINATION ${WISAM_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/wisamConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/wisamConfig.cmake
                              INSTALL_DESTINATION ${WISAM_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/wisamConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/wisamConfig.cmake ${PROJECT_BINARY_DIR}/wisamConfigVersion.cmake
        DESTINATION ${WISAM_CMAKE_DIR})

# wisam.pc finds the prefix from its own place, so the installed tree may be
# moved (and `cmake --install --prefix` may choose it after configuring).
file(RELATIVE_PATH WISAM_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" WISAM_PC_TO_PREFIX "${WISAM_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/wisam.pc.in ${PROJECT_BINARY_DIR}/wisam.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/wisam.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
