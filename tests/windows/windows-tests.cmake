# The core test executables of the Windows build. They are run under Wine by
# scripts/test-windows (no CTest here: the build machine cannot run them
# itself). Only what the platform can change is here: the codecs and parsers
# that the Windows compiler and C library build differently, the adapter
# table and host functions, the socket layer, and the zip reader against the
# Windows writer. Tests that need controllers on several loopback addresses
# run on Linux only: under Wine a socket bound to 127.0.0.2 answers from
# 127.0.0.1, so the simulator there is the Linux one.
function(tavex_windows_test name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE tavexcore GTest::gtest GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  tavex_warnings(${name})
  add_dependencies(tavex-windows-tests ${name})
endfunction()

add_custom_target(tavex-windows-tests)
tavex_windows_test(test_abus abus/test_uABus.cpp)
tavex_windows_test(test_vars vars/test_uTavexVars.cpp)
tavex_windows_test(test_gadgetvars vars/test_uGadgetVars.cpp)
tavex_windows_test(test_ethernet_windows windows/test_uEthernetUtilsWindows.cpp)
tavex_windows_test(test_udpsocket_windows windows/test_uUdpSocketWindows.cpp)
tavex_windows_test(test_zip_windows windows/test_uZipFileWindows.cpp)
target_link_libraries(test_zip_windows PRIVATE tavexsim)
