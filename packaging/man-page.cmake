# Writes the gzip-compressed man page of korven-qxt with help2man.
#   cmake -DQXT_HELP2MAN=<help2man> -DQXT_BINARY=<korven-qxt> -DQXT_VERSION=<x.y.z>
#         -DQXT_INCLUDE=<korven-qxt.h2m> -DQXT_OUT=<korven-qxt.1.gz> -P man-page.cmake
# help2man runs the binary by its plain name (found through PATH), so the
# usage line reads "korven-qxt", not the build path. The version is given, not
# asked from --version, whose engine list depends on the build machine.
# help2man reads the usage text through a small wrapper that shows it the
# usage line as "Usage:" followed by an "Options:" heading, the forms it
# turns into the SYNOPSIS (replaced by the one in the .h2m file) and an
# OPTIONS section; the usage text itself stays as the miner prints it.
foreach(var QXT_HELP2MAN QXT_BINARY QXT_VERSION QXT_INCLUDE QXT_OUT)
  if(NOT ${var})
    message(FATAL_ERROR "man-page.cmake needs -D${var}=...")
  endif()
endforeach()
get_filename_component(bin_name ${QXT_BINARY} NAME)
string(REGEX REPLACE "\\.gz$" "" page ${QXT_OUT})
set(bin_dir ${page}.wrapper)
file(MAKE_DIRECTORY ${bin_dir})
file(WRITE ${bin_dir}/${bin_name}
  "#!/bin/sh\n'${QXT_BINARY}' \"$@\" | sed -e 's/^usage:/Usage:/' -e '1a\\\n\\nOptions:'\n")
file(CHMOD ${bin_dir}/${bin_name} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env "PATH=${bin_dir}:$ENV{PATH}"
          ${QXT_HELP2MAN} --no-info --section=1 --version-string=${QXT_VERSION}
          "--name=CPU miner for the QXT coin (Argon2id over 2 GiB)" --include=${QXT_INCLUDE}
          --output=${page} ${bin_name}
  RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "help2man failed: ${err}")
endif()
execute_process(COMMAND gzip -n -9 -f ${page} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${page}")
endif()
