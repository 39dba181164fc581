# Checks the machine code of the hash library's object files:
# - nothing outside the AVX-512 files touches a ZMM or opmask register, so the
#   AVX2 path (and everything generic) runs on a processor without AVX-512;
# - the AVX-512 files define no weak symbols (an inline function or template
#   instantiation the linker could pick over a generic copy) and export only
#   the engine's entry points, the ones the engine table reaches (all of them,
#   so that this list follows the code).
# Run as: cmake -DOBJDUMP=... -DNM=... -DOBJECTS="a.o;b.o" -P check_objects.cmake
cmake_minimum_required(VERSION 3.20)
set(allowed_avx512_exports
  _ZN4nolu3qxt13engine_avx512ERKNS0_5ArenaEPKhmPh      # engine_avx512(const Arena&, const uint8_t*, uint64_t, uint8_t*)
  _ZN4nolu3qxt20address_block_avx512EPKmPm            # address_block_avx512(const uint64_t*, uint64_t*)
  _ZN4nolu3qxt18hprime_1024_avx512EPhPKh              # hprime_1024_avx512(uint8_t*, const uint8_t*)
  _ZN4nolu3qxt20rebuild_block_avx512ERKNS0_5ArenaEjPv  # rebuild_block_avx512(const Arena&, uint32_t, void*)
  _ZN4nolu3qxt19engine_lanes_avx512EPKNS0_8LaneWorkEj  # engine_lanes_avx512(const LaneWork*, unsigned)
  _ZN4nolu3qxt17window_run_avx512EPvjm                # window_run_avx512(void*, uint32_t, uint64_t)
  _ZN4nolu3qxt17random_run_avx512EPvmm                # random_run_avx512(void*, uint64_t, uint64_t)
  _ZN4nolu3qxt16chain_run_avx512ERKNS0_10ChainProbeEm) # chain_run_avx512(const ChainProbe&, uint64_t)

set(failures "")
set(avx512_objects 0)
set(missing ${allowed_avx512_exports})
foreach(object IN LISTS OBJECTS)
  get_filename_component(name "${object}" NAME)
  if(name MATCHES "_avx512")
    math(EXPR avx512_objects "${avx512_objects} + 1")
    execute_process(COMMAND ${NM} --defined-only -g "${object}" OUTPUT_VARIABLE symbols)
    string(REPLACE "\n" ";" symbols "${symbols}")
    foreach(line IN LISTS symbols)
      if(line MATCHES "^[0-9a-f]+ ([A-Za-z]) (.+)$")
        set(kind "${CMAKE_MATCH_1}")
        set(symbol "${CMAKE_MATCH_2}")
        if(symbol MATCHES "^DW\\.ref\\." OR symbol MATCHES "^_ZT[IS]")
          # exception-handling data reference, or type information (which
          # clang's UBSan emits for its function-type check): data, no code
        elseif(kind MATCHES "^[WVu]$")
          string(APPEND failures "${name}: weak symbol ${symbol}\n")
        elseif(NOT symbol IN_LIST allowed_avx512_exports)
          string(APPEND failures "${name}: unexpected export ${symbol}\n")
        else()
          list(REMOVE_ITEM missing "${symbol}")
        endif()
      endif()
    endforeach()
  else()
    execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn "${object}" OUTPUT_VARIABLE code)
    string(REGEX MATCH "[^\n]*(%zmm|%k[0-7][,)} ]|%[xy]mm(1[6-9]|2[0-9]|3[01]))[^\n]*" hit "${code}")
    if(hit)
      string(APPEND failures "${name}: AVX-512 instruction: ${hit}\n")
    endif()
  endif()
endforeach()

# An empty selection would pass everything above: the entry points must have
# been found, so the AVX-512 files were really looked at.
if(avx512_objects EQUAL 0)
  string(APPEND failures "no AVX-512 object file among the objects\n")
endif()
foreach(symbol IN LISTS missing)
  string(APPEND failures "entry point ${symbol} defined by no AVX-512 object file\n")
endforeach()

if(failures)
  message(FATAL_ERROR "${failures}")
endif()
list(LENGTH OBJECTS count)
message(STATUS "${count} object files checked")
