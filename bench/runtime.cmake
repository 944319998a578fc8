# The host on the Linux runtime backend against real processes: round trips, calls
# in flight, start-up. Needs the host, the helper, the bundle and the echo peer built.
add_executable(bench_echo_peer ${CMAKE_CURRENT_LIST_DIR}/echo_peer.cpp)

add_executable(bench_runtime ${CMAKE_CURRENT_LIST_DIR}/bench_runtime.cpp ${CMAKE_CURRENT_LIST_DIR}/runtime_support.cpp)
target_link_libraries(bench_runtime PRIVATE vpn_bridge platform_linux bench_alloc_counter benchmark::benchmark)
target_compile_definitions(bench_runtime PRIVATE
  VELTRINO_HOST_PATH="$<TARGET_FILE:veltrino-host>"
  VELTRINO_HELPERD_PATH="$<TARGET_FILE:veltrino-helperd>"
  VELTRINO_BENCH_ECHO_PATH="$<TARGET_FILE:bench_echo_peer>"
  VELTRINO_BUNDLE_PATH="${VELTRINO_BUNDLE_DIR}")
add_dependencies(bench_runtime veltrino-host veltrino-helperd veltrino-bundle bench_echo_peer)
veltrino_benchmark(bench_runtime)
