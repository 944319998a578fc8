# What a user of a busy interface feels from the host executable: how long each call of
# a burst waits for its answer line, how often the host's threads wake while it sits
# idle, and its start-up beside a process that only answers one line.
add_executable(bench_answer_once ${CMAKE_CURRENT_LIST_DIR}/answer_once.cpp)

add_executable(bench_session ${CMAKE_CURRENT_LIST_DIR}/bench_session.cpp)
target_link_libraries(bench_session PRIVATE bench_runtime_support)
target_compile_definitions(bench_session PRIVATE VELTRINO_ANSWER_ONCE_PATH="$<TARGET_FILE:bench_answer_once>")
add_dependencies(bench_session bench_answer_once)
veltrino_benchmark(bench_session)
