# Runs the release script into a clean folder and checks that it made what
# the tests read. cmake -DSCRIPT= -DTOOL= -DBIN= -DOUT= -P MakeRelease.cmake
foreach(var SCRIPT TOOL BIN OUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()
if(NOT EXISTS ${TOOL})
  message(FATAL_ERROR "No host rtptool at ${TOOL}: build the host preset first")
endif()
find_program(PYTHON3 python3 REQUIRED)
file(REMOVE_RECURSE ${OUT})
execute_process(COMMAND ${PYTHON3} ${SCRIPT} --bin ${BIN} --tool ${TOOL} --out ${OUT}
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${SCRIPT} failed (${result}):\n${output}")
endif()
foreach(item trees/r7-standard/vlw32.exe trees/r7-pro/vlw32.exe trees/r8-standard/vlw32.exe
             trees/r8-pro/vlw32.exe patches/r7r8s.rtp patches/r7r8p.rtp patches/postpatch.rtp
             patches/taxtbl.rtp)
  if(NOT EXISTS ${OUT}/${item})
    message(FATAL_ERROR "${SCRIPT} made no ${item}")
  endif()
endforeach()
