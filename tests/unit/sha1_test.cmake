# The digest test compares both block functions with libcrypto's SHA-1 over
# random texts; only the test links it, never the library.
find_package(OpenSSL COMPONENTS Crypto)
if(OpenSSL_FOUND)
  target_link_libraries(sha1_test PRIVATE OpenSSL::Crypto)
  target_compile_definitions(sha1_test PRIVATE ZVGM_HAVE_LIBCRYPTO=1)
endif()
