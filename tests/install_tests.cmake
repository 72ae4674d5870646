# The package as users get it. Included from tests/CMakeLists.txt.
#
# The examples run as tests of the build, against the build's libraries, so
# that they keep working (each exits non-zero when it did not see what it
# expects). Their callbacks share data with the main thread, so they run under
# ThreadSanitizer with the concurrency suites.
if(ULMOT_BUILD_EXAMPLES)
  foreach(example inventory read_tid gpio_watch)
    add_test(NAME Examples.${example} COMMAND ${example})
    set_tests_properties(Examples.${example} PROPERTIES LABELS "examples;concurrency" TIMEOUT 60)
  endforeach()
endif()

# `cmake --install` into a temporary prefix, then the examples built against
# that prefix with CMake and with pkg-config (which it needs), and run: with
# the build machine's cmake, compiler and ldd (ULMOT_HOST_TESTS).
if(ULMOT_HOST_TESTS)
add_test(NAME Install.ExamplesBuildAndRunAgainstTheInstalledPackage
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/install_test.sh
    ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${CMAKE_COMMAND} ${CMAKE_GENERATOR}
    ${CMAKE_C_COMPILER} ${CMAKE_INSTALL_LIBDIR} ${PROJECT_VERSION} "sanitize=${ULMOT_SANITIZE}"
    "tools=$<TARGET_PROPERTY:ulmot_emulator_shared,ULMOT_TOOL_FILES>")
set_tests_properties(Install.ExamplesBuildAndRunAgainstTheInstalledPackage PROPERTIES
  LABELS install TIMEOUT 300)
endif()
