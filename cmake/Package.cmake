# What `cmake --install` puts in place, and the shared host libraries it
# needs. Included at the end of the top-level CMakeLists.txt, once every
# target exists.
#
#   include/ulmot.h include/ulmot/*.h include/utr.h include/uemu.h
#   lib/libulmot.so.0.1.0          SONAME libulmot.so.0, with both links
#   lib/libulmot_transports.so.*   the host transports, linked to libulmot.so.0
#   lib/libulmot_emulator.so.*     the reader emulator, linked to libulmot.so.0
#   lib/libulmot_handoff.so.*      the Python package's hand-off inbox
#   lib/libvyrplatsupp.so          the emulated device's platform-support
#                                  library, which libulmot dlopen()s from its
#                                  own directory (RUNPATH $ORIGIN)
#   lib/cmake/ulmot/               ulmotConfig.cmake, its version file, targets
#   lib/pkgconfig/                 ulmot.pc, ulmot-transports.pc, ulmot-emulator.pc
#   bin/ulmot bin/ulmot-readerd bin/ulmot-gateway   the tools, when they are part of the build
#
# Test programs, benchmarks and the static libraries the tests use are not
# installed.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ULMOT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ulmot)

# ---- Shared host libraries ---------------------------------------------------
# The transports and the emulator stay static libraries in the build (the
# tests link them beside the static libulmot to reach its internals). For
# users they are installed as shared libraries made of the same archives,
# each linked to libulmot.so: whatever a program links, the pools exist once.
# Only their C interface (utr_, uemu_) is exported.
function(ulmot_host_library name archive)
  add_library(${name} SHARED $<TARGET_OBJECTS:${archive}>)
  get_target_property(deps ${archive} LINK_LIBRARIES)
  target_link_libraries(${name} PRIVATE ${deps} PUBLIC ulmot)
  target_link_options(${name} PRIVATE -Wl,--no-undefined
    -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/host_exports.map)
  set_property(TARGET ${name} APPEND PROPERTY
    LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/host_exports.map)
  set_target_properties(${name} PROPERTIES
    OUTPUT_NAME ${archive}
    LINKER_LANGUAGE CXX
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    # Beside libulmot.so.0 in the same directory, wherever the prefix is.
    INSTALL_RPATH "$ORIGIN")
endfunction()

ulmot_host_library(ulmot_transports_shared ulmot_transports)
target_include_directories(ulmot_transports_shared INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/transports/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_target_properties(ulmot_transports_shared PROPERTIES EXPORT_NAME transports)

ulmot_host_library(ulmot_emulator_shared ulmot_emulator)
target_include_directories(ulmot_emulator_shared INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/emulator/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_target_properties(ulmot_emulator_shared PROPERTIES EXPORT_NAME emulator)

# The names a program of the build (examples/) uses, as an installed package
# gives them.
add_library(ulmot::ulmot ALIAS ulmot)
add_library(ulmot::transports ALIAS ulmot_transports_shared)
add_library(ulmot::emulator ALIAS ulmot_emulator_shared)

# ---- Libraries, headers, tools ----------------------------------------------
install(TARGETS ulmot ulmot_transports_shared ulmot_emulator_shared
  EXPORT ulmotTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The Python package's hand-off (python/native/uho.h): a library for the
# package to load, without a header or CMake target of its own.
install(TARGETS ulmot_handoff LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
# The emulated device's platform-support library (emulator/platsupp/): a
# module, loaded by name at the first schedule start, never linked; beside
# libulmot.so.0, where libulmot's RUNPATH ($ORIGIN) lets dlopen find it.
install(TARGETS ulmot_platsupp LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/ulmot.h transports/include/utr.h emulator/include/uemu.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/ulmot DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")

# The tools come from tools/; each is installed when the build has it. The
# check runs once the whole top-level directory has been read, so it does not
# depend on where tools/ is added. The tools find the libraries of their own
# prefix through a relative RUNPATH.
# The file names of the installed tools go to the property ULMOT_TOOL_FILES
# of ulmot_emulator_shared, where the install test reads them.
function(ulmot_install_tools)
  file(RELATIVE_PATH bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set(files "")
  foreach(tool ulmot_cli ulmot-readerd ulmot_readerd ulmot-gateway)
    if(TARGET ${tool})
      get_target_property(type ${tool} TYPE)
      if(type STREQUAL "EXECUTABLE")
        set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
        install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
        get_target_property(file ${tool} OUTPUT_NAME)
        if(NOT file)
          set(file ${tool})
        endif()
        list(APPEND files ${file})
      endif()
    endif()
  endforeach()
  set_property(TARGET ulmot_emulator_shared PROPERTY ULMOT_TOOL_FILES "${files}")
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL ulmot_install_tools)

# ---- CMake package -----------------------------------------------------------
install(EXPORT ulmotTargets NAMESPACE ulmot:: FILE ulmotTargets.cmake
  DESTINATION ${ULMOT_CMAKE_DIR})
configure_file(cmake/ulmotConfig.cmake.in ${PROJECT_BINARY_DIR}/package/ulmotConfig.cmake @ONLY)
# One SONAME per major version: a program built against 0.x runs with any
# later 0.y, so the package answers requests of the same major version.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/ulmotConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/ulmotConfig.cmake
  ${PROJECT_BINARY_DIR}/package/ulmotConfigVersion.cmake
  DESTINATION ${ULMOT_CMAKE_DIR})

# ---- pkg-config --------------------------------------------------------------
# The prefix is the one of the install (`cmake --install --prefix` may differ
# from the configured one), so each .pc file is finished at install time from
# a template that carries everything else.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(ULMOT_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  set(ULMOT_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(ULMOT_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(ULMOT_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
set(ULMOT_PC_PREFIX "@ULMOT_INSTALL_PREFIX@")

function(ulmot_pkgconfig name lib requires description)
  set(ULMOT_PC_NAME ${name})
  set(ULMOT_PC_LIB ${lib})
  set(ULMOT_PC_DESCRIPTION "${description}")
  # Only shared libraries are installed: a user links what Libs names and
  # the libraries' own dependencies come with them, so no Libs.private.
  if(requires)
    set(ULMOT_PC_REQUIRES "Requires: ${requires}")
  else()
    set(ULMOT_PC_REQUIRES "")
  endif()
  set(template ${PROJECT_BINARY_DIR}/pkgconfig/${name}.pc.in)
  set(final ${PROJECT_BINARY_DIR}/pkgconfig/${name}.pc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/pkgconfig.pc.in ${template} @ONLY)
  install(CODE "
    file(READ \"${template}\" _pc)
    string(REPLACE \"@ULMOT_INSTALL_PREFIX@\" \"\${CMAKE_INSTALL_PREFIX}\" _pc \"\${_pc}\")
    file(WRITE \"${final}\" \"\${_pc}\")")
  install(FILES ${final} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()

ulmot_pkgconfig(ulmot ulmot ""
  "Client library of an RFID reader's message system")
ulmot_pkgconfig(ulmot-transports ulmot_transports "ulmot = ${PROJECT_VERSION}"
  "Host transports for ulmot sessions: in-memory pair, fault injection")
ulmot_pkgconfig(ulmot-emulator ulmot_emulator "ulmot = ${PROJECT_VERSION}"
  "An emulated RFID reader for ulmot clients")
