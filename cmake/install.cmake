# install.cmake - where an installed zvgm puts its pieces (the Debian layout,
# by GNUInstallDirs) and the Debian packages made of them, one per component:
#   runtime  libzvgm1      libzvgm.so.1, libzvoscompat.so.1
#   dev      libzvgm-dev   headers, zvgm.pc, find_package(zvgm), .so links
#   tools    zvgm-tools    the operator's tools
#   testrig  zvgm-testrig  the stand-ins: daemon jar, admin tool, light server
include(CMakePackageConfigHelpers)

set(ZVGM_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/zvgm)
set(ZVGM_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/zvgm)

# ---- runtime and dev ------------------------------------------------------
target_include_directories(zvgm INTERFACE $<INSTALL_INTERFACE:${ZVGM_INCLUDEDIR}>)
target_include_directories(zvoscompat INTERFACE $<INSTALL_INTERFACE:${ZVGM_INCLUDEDIR}>)
install(TARGETS zvgm zvoscompat EXPORT zvgmTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
                COMPONENT runtime NAMELINK_COMPONENT dev)
install(FILES include/gm.h compat/zv_thread.h compat/zvoscompat.h
        DESTINATION ${ZVGM_INCLUDEDIR} COMPONENT dev)

# The pkg-config file finds its prefix from where it lies, so that an install
# with --prefix given only at install time still points at itself.
set(_pcdir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
string(REGEX REPLACE "[^/]+" ".." _pc_up "${_pcdir}")
set(ZVGM_PC_PREFIX "\${pcfiledir}/${_pc_up}")
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(ZVGM_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/zvgm.pc.in ${CMAKE_BINARY_DIR}/zvgm.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/zvgm.pc DESTINATION ${_pcdir} COMPONENT dev)

install(EXPORT zvgmTargets NAMESPACE zvgm:: DESTINATION ${ZVGM_CMAKEDIR} COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/zvgmConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/zvgmConfig.cmake
                              INSTALL_DESTINATION ${ZVGM_CMAKEDIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/zvgmConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/zvgmConfig.cmake ${CMAKE_BINARY_DIR}/zvgmConfigVersion.cmake
        DESTINATION ${ZVGM_CMAKEDIR} COMPONENT dev)

# ---- testrig: the stand-ins, never over the suite's paths unless asked ----
if(ZVGM_SUITE_PATHS)
  install(PROGRAMS ${CMAKE_BINARY_DIR}/zvadm DESTINATION /opt/KORVzv/sbin COMPONENT testrig)
else()
  install(PROGRAMS ${CMAKE_BINARY_DIR}/zvadm
          DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/zvgm COMPONENT testrig)
endif()
if(TARGET zvauthd)
  install_jar(zvauthd DESTINATION ${CMAKE_INSTALL_DATADIR}/java COMPONENT testrig)
endif()

# ---- Debian packages (scripts/package.sh) ---------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zvgm)
set(CPACK_PACKAGE_VENDOR "zvgm developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
# A component without any file (no operator tools in this tree) makes no package.
get_cmake_property(_zvgm_components COMPONENTS)
set(CPACK_COMPONENTS_ALL)
foreach(c runtime dev tools testrig)
  if(c IN_LIST _zvgm_components)
    list(APPEND CPACK_COMPONENTS_ALL ${c})
  endif()
endforeach()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "zvgm developers <zvgm@example.org>")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libzvgm${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libzvgm-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME zvgm-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TESTRIG_PACKAGE_NAME zvgm-testrig)
set(CPACK_DEBIAN_TESTRIG_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_TESTRIG_PACKAGE_DEPENDS "default-jre-headless | java17-runtime-headless")
# Programs of the other packages link libzvgm or libzvoscompat from the
# runtime package: dpkg-shlibdeps, run in each package's staging folder,
# finds them in the runtime's, and the dependency is stated here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ../runtime${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR})
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_COMPONENT_TESTRIG_DEPENDS runtime)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "The group manager library that the suite's authentication daemon loads, and the OS compatibility library it links.")
set(CPACK_COMPONENT_DEV_DESCRIPTION "Headers, pkg-config file and CMake package of zvgm.")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "Operator tools for a zvgm group.")
set(CPACK_COMPONENT_TESTRIG_DESCRIPTION
    "Stand-ins for test rigs: the daemon, the admin tool and the light server.")
include(CPack)
