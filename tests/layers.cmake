# The one-way rule of the source folders: a folder's files include headers of
# their own folder and of the folders below it in this order, never above,
# so the layers form no cycle. Each library's include path already refuses an
# include of a library it does not link; this check also catches a link list
# that grew a dependency upwards.
#   cmake -DSOURCE_DIR=<project root> -P layers.cmake
set(layers common host hash net pool miner console cli status offline tune app)
set(problems "")
list(LENGTH layers count)
math(EXPR last "${count} - 1")
foreach(rank RANGE ${last})
  list(GET layers ${rank} folder)
  file(GLOB_RECURSE sources "${SOURCE_DIR}/${folder}/*.cpp" "${SOURCE_DIR}/${folder}/*.hpp"
       "${SOURCE_DIR}/${folder}/*.inc" "${SOURCE_DIR}/${folder}/*.in")
  foreach(source ${sources})
    file(STRINGS ${source} includes REGEX "^#include \"[a-z_]+/")
    foreach(line ${includes})
      string(REGEX REPLACE "^#include \"([a-z_]+)/.*" "\\1" target "${line}")
      list(FIND layers ${target} target_rank)
      if(target_rank GREATER rank)
        file(RELATIVE_PATH shown ${SOURCE_DIR} ${source})
        string(APPEND problems "  ${shown}: ${line} (${folder}/ is below ${target}/)\n")
      endif()
    endforeach()
  endforeach()
endforeach()
if(problems)
  message(FATAL_ERROR "includes that run up the layers (${layers}):\n${problems}")
endif()
