# What a user of a busy interface feels from the host executable: how long each call of
# a burst waits for its answer line, how often the host's threads wake while it sits
# idle, and its start-up beside a process that only answers one line.
add_executable(bench_answer_once ${CMAKE_CURRENT_LIST_DIR}/answer_once.cpp)

add_executable(bench_session ${CMAKE_CURRENT_LIST_DIR}/bench_session.cpp ${CMAKE_CURRENT_LIST_DIR}/runtime_support.cpp)
target_link_libraries(bench_session PRIVATE vpn_bridge platform_linux benchmark::benchmark)
target_compile_definitions(bench_session PRIVATE
  VELTRINO_HOST_PATH="$<TARGET_FILE:veltrino-host>"
  VELTRINO_HELPERD_PATH="$<TARGET_FILE:veltrino-helperd>"
  VELTRINO_ANSWER_ONCE_PATH="$<TARGET_FILE:bench_answer_once>"
  VELTRINO_BUNDLE_PATH="${VELTRINO_BUNDLE_DIR}")
add_dependencies(bench_session veltrino-host veltrino-helperd veltrino-bundle bench_answer_once)
veltrino_benchmark(bench_session)
