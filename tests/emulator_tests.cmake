# The reader emulator, driven by raw sessions over in-memory pairs. Included
# from tests/CMakeLists.txt, where ulmot_test() is defined.
ulmot_test(test_emulator concurrency
  emulator_delivery_test.cpp emulator_objects_test.cpp emulator_links_test.cpp)
target_link_libraries(test_emulator PRIVATE ulmot_emulator ulmot_transports)

# uemu.h as a C11 program sees it, with the shared library.
add_executable(emulator_c_test emulator_c_test.c)
set_target_properties(emulator_c_test PROPERTIES C_STANDARD 11 C_EXTENSIONS OFF)
target_compile_options(emulator_c_test PRIVATE -Wall -Wextra -Wpedantic -Werror)
target_link_libraries(emulator_c_test PRIVATE ulmot_emulator ulmot_transports ulmot)
add_test(NAME CApi.C11ProgramUsesTheEmulator COMMAND emulator_c_test)
