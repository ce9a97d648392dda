# install.cmake - where an installed zvgm puts its pieces (the Debian layout,
# by GNUInstallDirs) and the Debian packages made of them, one per component:
#   runtime  libzvgm1      libzvgm.so.1, libzvoscompat.so.1, the daemon's
#                          lib/jni/libzvgm.so
#   dev      libzvgm-dev   headers, zvgm.pc, find_package(zvgm), .so links
#   tools    zvgm-tools    the operator's command with its manual page, bash
#                          completion and service (zvgm serve); the dissector
#   testrig  zvgm-testrig  the stand-ins: daemon jar, admin tool, light server
# Each package has its copyright and changelog in share/doc/<package>.
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

# The daemon loads the library by name (System.loadLibrary("zvgm")), which
# looks for libzvgm.so on java.library.path; Debian keeps JNI libraries in
# lib/jni, which its JVMs search by default. A link there to the soname
# follows every upgrade of the library, and leaves the development link
# libzvgm.so in the libdir to the dev package.
set(ZVGM_JNIDIR lib/jni)
file(RELATIVE_PATH _jni_to_lib ${CMAKE_INSTALL_PREFIX}/${ZVGM_JNIDIR}
     ${CMAKE_INSTALL_FULL_LIBDIR}/libzvgm.so.${PROJECT_VERSION_MAJOR})
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/jni)
file(CREATE_LINK ${_jni_to_lib} ${CMAKE_BINARY_DIR}/jni/libzvgm.so SYMBOLIC)
install(FILES ${CMAKE_BINARY_DIR}/jni/libzvgm.so DESTINATION ${ZVGM_JNIDIR} COMPONENT runtime)

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
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/lintian/zvgm-testrig
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides COMPONENT testrig)
endif()

# ---- tools: manual page, completion, the service of zvgm serve -------------
# Manual pages and changelogs are installed compressed, as Debian has them
# (gzip -9n: the same bytes on every build).
set(_gz ${CMAKE_BINARY_DIR}/gz)
function(zvgm_gzip src out)
  add_custom_command(OUTPUT ${_gz}/${out}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${_gz}
                     COMMAND gzip -9n -c ${src} > ${_gz}/${out}
                     DEPENDS ${src} VERBATIM)
  set_property(GLOBAL APPEND PROPERTY ZVGM_GZ ${_gz}/${out})
endfunction()

# The unit and its options file go where Debian 12 has them when the prefix
# is /usr (/lib/systemd/system, /etc/default); under any other prefix,
# also one given only at install time (cmake --install --prefix), they stay
# inside it. So the choice is made when installing.
set(_service ${CMAKE_SOURCE_DIR}/contrib/systemd/zvgm-serve)
set(ZVGM_SERVICE_INSTALL [[
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(_unitdir /lib/systemd/system)
    set(_defaultdir /etc/default)
  else()
    set(_unitdir ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
    set(_defaultdir ${CMAKE_INSTALL_PREFIX}/etc/default)
  endif()
  file(INSTALL DESTINATION ${_unitdir} TYPE FILE FILES "@_service@.service")
  file(INSTALL DESTINATION ${_defaultdir} TYPE FILE RENAME zvgm-serve FILES "@_service@.default")
]])
string(CONFIGURE "${ZVGM_SERVICE_INSTALL}" ZVGM_SERVICE_INSTALL @ONLY)
if(TARGET zvgm_cli)
  zvgm_gzip(${CMAKE_SOURCE_DIR}/man/zvgm.1 zvgm.1.gz)
  install(FILES ${_gz}/zvgm.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  install(FILES contrib/bash-completion/zvgm
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT tools)
  install(CODE "${ZVGM_SERVICE_INSTALL}" COMPONENT tools)
endif()
if(TARGET gmlight)
  zvgm_gzip(${CMAKE_SOURCE_DIR}/man/zvgm-light.1 zvgm-light.1.gz)
  install(FILES ${_gz}/zvgm-light.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT testrig)
endif()

# ---- copyright and changelog of every package -------------------------------
set(_pkg_runtime libzvgm${PROJECT_VERSION_MAJOR})
set(_pkg_dev libzvgm-dev)
set(_pkg_tools zvgm-tools)
set(_pkg_testrig zvgm-testrig)
zvgm_gzip(${CMAKE_CURRENT_LIST_DIR}/debian/changelog changelog.gz)
get_cmake_property(_zvgm_components COMPONENTS)
foreach(c runtime dev tools testrig)
  if(c IN_LIST _zvgm_components)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${_gz}/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${_pkg_${c}} COMPONENT ${c})
  endif()
endforeach()
get_property(_gz_files GLOBAL PROPERTY ZVGM_GZ)
add_custom_target(zvgm_gz ALL DEPENDS ${_gz_files})

# ---- Debian packages (scripts/package.sh) ---------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zvgm)
set(CPACK_PACKAGE_VENDOR "zvgm developers")
# Each package's summary is the first line of its component's description
# below: CPack puts a package-wide summary before it unless that summary is
# CPack's own default, which this is.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
# A component without any file (no operator tools in this tree) makes no package.
set(CPACK_COMPONENTS_ALL)
foreach(c runtime dev tools testrig)
  if(c IN_LIST _zvgm_components)
    list(APPEND CPACK_COMPONENTS_ALL ${c})
  endif()
endforeach()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "zvgm developers <zvgm@example.org>")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
# Files under /etc are the administrator's: kept over upgrades.
file(WRITE ${CMAKE_BINARY_DIR}/debian-tools/conffiles "/etc/default/zvgm-serve\n")
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian-tools/conffiles)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The libraries are registered by dpkg's ldconfig trigger, as Debian has it,
# not by ldconfig calls in maintainer scripts. CPack writes those scripts
# unless postinst and postrm are named among the extra control files; named
# but absent, they keep it from writing them and add nothing.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/libzvgm/triggers
    ${CMAKE_BINARY_DIR}/debian-runtime/postinst ${CMAKE_BINARY_DIR}/debian-runtime/postrm)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libzvgm${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libzvgm-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME zvgm-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TESTRIG_PACKAGE_NAME zvgm-testrig)
set(CPACK_DEBIAN_TESTRIG_PACKAGE_SECTION devel)
# Programs of the other packages link libzvgm or libzvoscompat from the
# runtime package: dpkg-shlibdeps, run in each package's staging folder,
# finds them in the runtime's, and the dependency is stated here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ../runtime${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR})
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_COMPONENT_TESTRIG_DEPENDS runtime)
set(CPACK_DEBIAN_TESTRIG_PACKAGE_DEPENDS "default-jre-headless | java17-runtime-headless")
# The first line is the summary, the others the long description.
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "group manager library of the thin-client server suite
The group manager announces a server of the thin-client suite to its peers
over UDP multicast or broadcast, keeps a table of the peers it hears, and
answers the authentication daemon's placement questions by asking the whole
group at once. The daemon loads it through JNI, by name from /usr/lib/jni.
This package holds the library and the OS compatibility library it links.")
set(CPACK_COMPONENT_DEV_DESCRIPTION "development files of the zvgm group manager library
The C header of the group manager library (records, flags, limits and the
exported operations), its pkg-config file and CMake package, and the links
for building programs with -lzvgm.")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "operator's tools for a zvgm group
zvgm shows a group as its own members see it (members, liveness, trust),
follows it live, asks its members where a user's session runs, and serves
a web view with metrics for Prometheus (the zvgm-serve service, not enabled
by default). It comes with a Wireshark dissector of the group port.")
set(CPACK_COMPONENT_TESTRIG_DESCRIPTION "stand-ins of the zvgm group manager for test rigs
A stand-in of the authentication daemon (a Java program with an admin
console), of the interface administration tool, and the light server that
runs the library without a JVM, so that one machine can hold many servers
of a test group. Not for the suite's servers.")
include(CPack)
