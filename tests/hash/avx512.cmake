# AVX-512 engine, skip-store and side cache, reached through the engine
# table's avx512 row. On a processor without AVX-512 F, VL and BW every case
# skips itself.

# The row's index table, its 512-bit H', its block rebuild on hand-made chains.
qxt_add_test(test_hash_avx512_unit SOURCES avx512_unit_test.cpp LIBS qxt_hash qxt_host)

# The side-cache planner and the independent plan checker.
qxt_add_test(test_hash_side_cache SOURCES side_cache_test.cpp side_plan_check.cpp LIBS qxt_hash qxt_host)

# Whole hashes in every option combination (2 GiB arenas, libargon2 oracle).
qxt_add_test(test_hash_engine_avx512 SOURCES engine_avx512_test.cpp
  LIBS qxt_hash qxt_host qxt_argon2 SERIAL)

# Not a test: reports the depth of skip-store's rebuild chains over many hashes.
add_executable(rebuild_depth rebuild_depth.cpp)
target_link_libraries(rebuild_depth PRIVATE qxt_hash qxt_host)
