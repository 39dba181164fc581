# BLAKE2b, H', the pre-hash and the target test: pure computation, fast.
qxt_add_test(test_hash_blake2b SOURCES blake2b_test.cpp LIBS qxt_hash)

# Settings arithmetic, block placement, tiled order, allocation bookkeeping.
qxt_add_test(test_hash_arena SOURCES arena_test.cpp LIBS qxt_hash)

# Real 2 GiB mappings in each page kind (reserves huge pages when root).
qxt_add_test(test_hash_arena_map SOURCES arena_map_test.cpp LIBS qxt_hash SERIAL)
