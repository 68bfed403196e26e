# The reference service as a CTest fixture. A test program that talks to the
# service only needs PROPERTIES FIXTURES_REQUIRED refservice; the client in
# tests/support/refservice.h finds the ports through compile definitions (or
# the environment variables of the same names).
set(VYN_REFSVC_EXE ${VYN_REFSVC_NATIVE_DIR}/vyn-refservice)
configure_file(${CMAKE_SOURCE_DIR}/tools/refservice/fixture.sh.in ${VYN_REFSVC_DIR}/fixture.sh @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(VYN_REFSVC_ENVIRONMENT
  VYN_REFSVC_PORT=${VYN_REFSVC_PORT}
  VYN_REFSVC_WRONG_NAME_PORT=${VYN_REFSVC_WRONG_NAME_PORT}
  VYN_REFSVC_UNTRUSTED_PORT=${VYN_REFSVC_UNTRUSTED_PORT}
  VYN_REFSVC_CHAIN_PORT=${VYN_REFSVC_CHAIN_PORT}
  VYN_REFSVC_CONTROL_PORT=${VYN_REFSVC_CONTROL_PORT}
  VYN_REFSVC_TLS12_PORT=${VYN_REFSVC_TLS12_PORT}
  VYN_REFSVC_TLS12_CONTROL_PORT=${VYN_REFSVC_TLS12_CONTROL_PORT}
  VYN_REFSVC_TLS13_PORT=${VYN_REFSVC_TLS13_PORT}
  VYN_REFSVC_TLS13_CONTROL_PORT=${VYN_REFSVC_TLS13_CONTROL_PORT}
  VYN_REFSVC_CLOSED_PORT=${VYN_REFSVC_CLOSED_PORT})

add_test(NAME refservice.start COMMAND ${VYN_REFSVC_DIR}/fixture.sh start)
add_test(NAME refservice.stop COMMAND ${VYN_REFSVC_DIR}/fixture.sh stop)
# Trusts the test CA in each of the build's Wine prefixes on every run (a
# prefix may be older than the certificates); the emulator makes a prefix and
# starts its session when needed.
add_test(NAME refservice.trust_ca
         COMMAND ${CMAKE_BINARY_DIR}/wine-run.sh --each-prefix $<TARGET_FILE:vyn-trust-ca> ${VYN_REFSVC_CA_WINDOWS_PATH})
set_tests_properties(refservice.start refservice.trust_ca PROPERTIES FIXTURES_SETUP refservice TIMEOUT 120)
set_tests_properties(refservice.stop PROPERTIES FIXTURES_CLEANUP refservice)

target_sources(vyntest_support PRIVATE ${CMAKE_SOURCE_DIR}/tests/support/refservice.cpp)
set_property(SOURCE ${CMAKE_SOURCE_DIR}/tests/support/refservice.cpp APPEND PROPERTY COMPILE_DEFINITIONS
  ${VYN_REFSVC_ENVIRONMENT})
target_link_libraries(vyntest_support PUBLIC ws2_32)

# The service's own tests, native, against the running fixture.
add_test(NAME refservice.native COMMAND ${VYN_REFSVC_NATIVE_DIR}/vyn-refservice-test)
set_tests_properties(refservice.native PROPERTIES FIXTURES_REQUIRED refservice TIMEOUT 120
  ENVIRONMENT "${VYN_REFSVC_ENVIRONMENT};VYN_REFSVC_PKI_DIR=${VYN_REFSVC_PKI_DIR}")
