# install.cmake - where an installed zvgm puts its pieces (the Debian layout,
# by GNUInstallDirs), in four components, one per Debian package (debian/):
#   runtime  libzvgm1      libzvgm.so.1, libzvoscompat.so.1, the daemon's
#                          lib/jni/libzvgm.so
#   dev      libzvgm-dev   headers, zvgm.pc, find_package(zvgm), .so links
#   tools    zvgm-tools    the operator's command with its manual page, bash
#                          completion and service (zvgm serve); the dissector
#   testrig  zvgm-testrig  the stand-ins: daemon jar, admin tool, light server
# The packages themselves are built by dpkg-buildpackage (scripts/package.sh).
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
endif()

# ---- tools: manual page, completion, the service of zvgm serve -------------
# Manual pages are installed compressed, as Debian has them
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

get_property(_gz_files GLOBAL PROPERTY ZVGM_GZ)
add_custom_target(zvgm_gz ALL DEPENDS ${_gz_files})
