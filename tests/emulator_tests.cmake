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

# The tag path of the emulated reader (tag field, antennas, selectors and
# filters, inventories, schedules, access) from raw clients; schedules run on
# the reader's own thread while the clients talk to it.
ulmot_test(test_emulator_tagpath concurrency
  emulator_tagpath_field_test.cpp emulator_tagpath_specs_test.cpp emulator_tagpath_run_test.cpp
  emulator_tagpath_access_test.cpp emulator_tagpath_concurrency_test.cpp)
target_link_libraries(test_emulator_tagpath PRIVATE ulmot_emulator ulmot_transports)

# The reader's own objects (lines, radio, clock, Gen2, CTI, reset and RF
# survey, alarms, text log): raw sessions, and a client processor using the
# library's family operations. Family threads raise events while requests
# run, so these are concurrency suites.
ulmot_test(test_emulator_reader concurrency
  emulator_reader_lines_test.cpp emulator_reader_radio_test.cpp emulator_reader_objects_test.cpp)
target_link_libraries(test_emulator_reader PRIVATE ulmot_emulator ulmot_transports GTest::gmock)
