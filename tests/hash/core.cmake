# BLAKE2b, H', the pre-hash, r(j) and the target test: pure computation, fast.
qxt_add_test(test_hash_blake2b SOURCES blake2b_test.cpp LIBS qxt_hash)

# Settings arithmetic, block placement, tiled order, allocation bookkeeping.
qxt_add_test(test_hash_arena SOURCES arena_test.cpp LIBS qxt_hash)

# Real 2 GiB mappings in each page kind (reserves huge pages when root: alone).
qxt_add_test(test_hash_arena_map SOURCES arena_map_test.cpp LIBS qxt_hash SERIAL WIDE)

# Plain work function and AVX2 engine, through their table rows, against
# libargon2 and the vectors file.
qxt_add_test(test_hash_engines SOURCES engines_test.cpp
  LIBS qxt_hash qxt_host qxt_argon2 SERIAL)

# The AVX2 row's index table against the plain address blocks.
qxt_add_test(test_hash_index SOURCES index_table_test.cpp LIBS qxt_hash qxt_host)

# The benchmark's compute probe of every usable engine against the plain one.
qxt_add_test(test_hash_probes SOURCES probes_test.cpp LIBS qxt_hash qxt_host)

# Machine code of the hash library: AVX-512 stays in its own files, and those
# hand nothing inline to the rest of the program.
find_program(QXT_OBJDUMP objdump REQUIRED)
find_program(QXT_NM nm REQUIRED)
add_test(NAME HashObjects.Avx512StaysInItsOwnFiles
  COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${QXT_OBJDUMP} -DNM=${QXT_NM}
          "-DOBJECTS=$<TARGET_OBJECTS:qxt_hash>" -P ${CMAKE_CURRENT_SOURCE_DIR}/check_objects.cmake)
set_tests_properties(HashObjects.Avx512StaysInItsOwnFiles PROPERTIES LABELS unit TIMEOUT 120)

# Several nonces per call through each row's lane entry (up to 4 arenas of
# 2 GiB at once), against the vectors, libargon2 and the plain engine.
qxt_add_test(test_hash_lanes SOURCES lanes_test.cpp
  LIBS qxt_hash qxt_host qxt_argon2 SERIAL)
