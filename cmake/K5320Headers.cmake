# Where each part's headers are found. A target reaches only the headers of the parts it links:
# every part exports its own folder, never the whole tree. The build tree holds, per part, a
# folder with a link to the part's source folder, so an include is spelled from the top of the
# tree ("can/frame.h") wherever it is written. Each headers target names the parts its own
# headers include; the layering test checks the same directions on the sources.

# k5320_headers(NAME FOLDER [USES HEADERS_TARGET...])
function(k5320_headers name folder)
  cmake_parse_arguments(PARSE_ARGV 2 part "" "" "USES")
  set(root "${PROJECT_BINARY_DIR}/headers/${name}")
  cmake_path(GET folder PARENT_PATH parent)
  file(MAKE_DIRECTORY "${root}/${parent}")
  file(CREATE_LINK "${PROJECT_SOURCE_DIR}/${folder}" "${root}/${folder}" SYMBOLIC)
  # Debug information and __FILE__ name the header's source, not its path through the link.
  add_compile_options("-ffile-prefix-map=${root}=${PROJECT_SOURCE_DIR}")
  add_library(${name} INTERFACE)
  target_include_directories(${name} INTERFACE "${root}")
  target_link_libraries(${name} INTERFACE ${part_USES})
endfunction()

# The C API and the module's facts that driver and emulator share.
add_library(k5320_api_headers INTERFACE)
target_include_directories(k5320_api_headers INTERFACE ${PROJECT_SOURCE_DIR}/include)

k5320_headers(k5320_platform_headers platform)
k5320_headers(k5320_can_headers can)
k5320_headers(k5320_bus_headers emulator/can USES k5320_can_headers)
k5320_headers(k5320_emulator_headers emulator
  USES k5320_bus_headers k5320_api_headers k5320_platform_headers)
k5320_headers(k5320_bridges_headers bridges USES k5320_bus_headers)
k5320_headers(k5320_sdk_headers driver/sdk)
k5320_headers(k5320_backplane_headers backplane
  USES k5320_emulator_headers k5320_bridges_headers k5320_sdk_headers)
k5320_headers(k5320_driver_headers driver
  USES k5320_platform_headers k5320_sdk_headers k5320_api_headers)
k5320_headers(k5320_update_headers update USES k5320_api_headers)
k5320_headers(k5320_utility_headers utility USES k5320_update_headers)
k5320_headers(k5320_test_headers tests)
k5320_headers(k5320_bench_headers bench USES k5320_backplane_headers k5320_driver_headers)
k5320_headers(k5320_fuzz_headers fuzz)
