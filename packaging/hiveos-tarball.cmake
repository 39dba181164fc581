# Builds the HiveOS custom-miner package korven-qxt-<version>.tar.gz: one
# folder korven-qxt/ holding the binary, the four h-*.sh/.conf files, the
# verification vectors and the README.
#   cmake -DQXT_SOURCE_DIR=<repo> -DQXT_BINARY=<korven-qxt> -DQXT_VERSION=<x.y.z>
#         -DQXT_OUT_DIR=<dir> [-DQXT_STRIP=<strip>] -P hiveos-tarball.cmake
foreach(var QXT_SOURCE_DIR QXT_BINARY QXT_VERSION QXT_OUT_DIR)
  if(NOT ${var})
    message(FATAL_ERROR "hiveos-tarball.cmake needs -D${var}=...")
  endif()
endforeach()

set(hive ${QXT_SOURCE_DIR}/packaging/hiveos)
set(stage ${QXT_OUT_DIR}/hiveos-stage)
set(folder ${stage}/korven-qxt)
set(tarball ${QXT_OUT_DIR}/korven-qxt-${QXT_VERSION}.tar.gz)
set(exec_perms OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(file_perms OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

file(REMOVE_RECURSE ${stage})
file(MAKE_DIRECTORY ${folder})
file(COPY ${QXT_BINARY} DESTINATION ${folder} FILE_PERMISSIONS ${exec_perms})
get_filename_component(binary_name ${QXT_BINARY} NAME)
if(NOT binary_name STREQUAL "korven-qxt")
  file(RENAME ${folder}/${binary_name} ${folder}/korven-qxt)
endif()
if(QXT_STRIP)
  execute_process(COMMAND ${QXT_STRIP} ${folder}/korven-qxt RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${QXT_STRIP} failed on the binary")
  endif()
endif()
file(COPY ${hive}/h-config.sh ${hive}/h-run.sh ${hive}/h-stats.sh
     DESTINATION ${folder} FILE_PERMISSIONS ${exec_perms})
file(COPY ${QXT_SOURCE_DIR}/README.md ${QXT_SOURCE_DIR}/tools/vectors.txt
     DESTINATION ${folder} FILE_PERMISSIONS ${file_perms})

# The manifest carries the project's version.
file(READ ${hive}/h-manifest.conf manifest)
string(REGEX REPLACE "\nCUSTOM_VERSION=[^\n]*" "\nCUSTOM_VERSION=${QXT_VERSION}" manifest "${manifest}")
if(NOT manifest MATCHES "\nCUSTOM_VERSION=${QXT_VERSION}\n")
  message(FATAL_ERROR "h-manifest.conf has no CUSTOM_VERSION line")
endif()
file(WRITE ${folder}/h-manifest.conf "${manifest}")
file(CHMOD ${folder}/h-manifest.conf FILE_PERMISSIONS ${file_perms})

file(REMOVE ${tarball})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar czf ${tarball} korven-qxt
                WORKING_DIRECTORY ${stage} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "could not write ${tarball}")
endif()
file(REMOVE_RECURSE ${stage})
message(STATUS "HiveOS package: ${tarball}")
