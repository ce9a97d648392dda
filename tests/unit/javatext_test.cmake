# The conversion lives with the Java natives, which need a JDK's jni.h.
if(ZVGM_NATIVES)
  target_include_directories(${name} PRIVATE ${JNI_INCLUDE} ${JNI_MD_INCLUDE})
  target_compile_definitions(${name} PRIVATE ZVGM_TEST_NATIVES)
endif()
