# The standard method codec alone: what a call costs to decode and an answer to
# encode, before any dispatch.
add_executable(bench_codec ${CMAKE_CURRENT_LIST_DIR}/bench_codec.cpp)
target_link_libraries(bench_codec PRIVATE flutter_codec bench_alloc_counter benchmark::benchmark)
veltrino_benchmark(bench_codec)
