# The host on the Linux runtime backend against real processes: round trips, calls
# in flight, start-up. Needs the host, the helper, the bundle and the echo peer built.
add_executable(bench_echo_peer ${CMAKE_CURRENT_LIST_DIR}/echo_peer.cpp)

add_executable(bench_runtime ${CMAKE_CURRENT_LIST_DIR}/bench_runtime.cpp)
target_link_libraries(bench_runtime PRIVATE bench_runtime_support bench_alloc_counter)
target_compile_definitions(bench_runtime PRIVATE VELTRINO_BENCH_ECHO_PATH="$<TARGET_FILE:bench_echo_peer>")
add_dependencies(bench_runtime bench_echo_peer)
veltrino_benchmark(bench_runtime)
