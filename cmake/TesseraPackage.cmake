# The support libraries as an installed package, for the runtime's other
# processes to build against:
#   find_package(Tessera 0.1 REQUIRED)   -> Tessera::tessera, Tessera::runtime
#   pkg-config tessera / tessera-runtime
# Two install components keep what a deployment runs apart from what a
# developer builds with:
#   runtime      <root>/bin/version.txt, <root>/bin/linux64/ (halyard,
#                lattice-sim and the platform libraries)
#   development  lib/ (static libraries, CMake package, pkg-config files) and
#                include/tessera/ (every header, the platform's included)
# Tessera::runtime links the platform libraries where the runtime component
# puts them, so it is found only when both components are installed under one
# prefix; Tessera::tessera needs the development component alone.
include(CMakePackageConfigHelpers)

set(TESSERA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tessera)
set(TESSERA_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(EXPORT TesseraTargets NAMESPACE Tessera:: DESTINATION ${TESSERA_CMAKE_DIR}
        COMPONENT development)
install(EXPORT TesseraRuntimeTargets NAMESPACE Tessera:: DESTINATION ${TESSERA_CMAKE_DIR}
        COMPONENT development)

configure_package_config_file(
    ${CMAKE_CURRENT_LIST_DIR}/package/TesseraConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/package/TesseraConfig.cmake
    INSTALL_DESTINATION ${TESSERA_CMAKE_DIR}
    PATH_VARS HALYARD_INSTALL_PLATFORMDIR)
# 0.x: a minor version may change the interface, so 0.1.y satisfies a request
# for 0.1 (or 0.1.x with x <= y) and nothing else.
write_basic_package_version_file(
    ${CMAKE_CURRENT_BINARY_DIR}/package/TesseraConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/package/TesseraConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/package/TesseraConfigVersion.cmake
        DESTINATION ${TESSERA_CMAKE_DIR} COMPONENT development)

# pkg-config files find the prefix from their own place, so the installed
# tree can be moved.
set(TESSERA_PC_DL "")
foreach(lib IN LISTS CMAKE_DL_LIBS)
    string(APPEND TESSERA_PC_DL "-l${lib}")
endforeach()
file(RELATIVE_PATH TESSERA_PC_PREFIX_FROM_PCDIR "/prefix/${TESSERA_PKGCONFIG_DIR}" "/prefix")
string(REGEX REPLACE "/$" "" TESSERA_PC_PREFIX_FROM_PCDIR "${TESSERA_PC_PREFIX_FROM_PCDIR}")
foreach(pc tessera tessera-runtime)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/package/${pc}.pc.in
                   ${CMAKE_CURRENT_BINARY_DIR}/package/${pc}.pc @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/package/${pc}.pc
            DESTINATION ${TESSERA_PKGCONFIG_DIR} COMPONENT development)
endforeach()
