# Runs the release script into a clean folder and checks that it made what
# the tests read; then makes the patches the library must refuse (unsigned,
# another key's, signed for what the updater does not ask) and one signed
# after making.
# cmake -DSCRIPT= -DTOOL= -DBIN= -DOUT= -DKEY= -P MakeRelease.cmake
foreach(var SCRIPT TOOL BIN OUT KEY)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()
if(NOT EXISTS ${TOOL})
  message(FATAL_ERROR "No host rtptool at ${TOOL}: build the host preset first")
endif()
find_program(PYTHON3 python3 REQUIRED)
file(REMOVE_RECURSE ${OUT})
execute_process(COMMAND ${PYTHON3} ${SCRIPT} --bin ${BIN} --tool ${TOOL} --out ${OUT} --key ${KEY} --small
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${SCRIPT} failed (${result}):\n${output}")
endif()

function(tool)
  execute_process(COMMAND ${TOOL} ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "rtptool ${ARGN} failed (${result}):\n${output}")
  endif()
endfunction()
# Whole release 7 to release 8, standard edition: it fits r7-standard.
set(foreign ${OUT}/foreign)
file(MAKE_DIRECTORY ${foreign})
set(release8 --product Velmora --name r7r8s --from 7 --to 8)
tool(make ${OUT}/trees/r7-standard ${OUT}/trees/r8-standard ${foreign}/unsigned.rtp ${release8})
tool(keygen ${foreign}/other.pem ${foreign}/other.pub.pem --unencrypted)
tool(make ${OUT}/trees/r7-standard ${OUT}/trees/r8-standard ${foreign}/otherkey.rtp --key ${foreign}/other.pem ${release8})
# Signed with the release key, each for something the updater does not ask
# of its main patch: Release 8 back to 7, another product.
tool(make ${OUT}/trees/r8-standard ${OUT}/trees/r7-standard ${foreign}/reverse.rtp --key ${KEY}
     --product Velmora --name r7r8s --from 8 --to 7)
tool(make ${OUT}/trees/r7-standard ${OUT}/trees/r8-standard ${foreign}/otherproduct.rtp --key ${KEY}
     --product Velmora-Lite --name r7r8s --from 7 --to 8)
file(COPY_FILE ${foreign}/unsigned.rtp ${foreign}/signed-later.rtp)
tool(sign ${foreign}/signed-later.rtp --key ${KEY})
foreach(item trees/r7-standard/vlw32.exe trees/r7-pro/vlw32.exe trees/r8-standard/vlw32.exe
             trees/r8-pro/vlw32.exe patches/r7r8s.rtp patches/r7r8p.rtp patches/postpatch.rtp
             patches/taxtbl.rtp foreign/unsigned.rtp foreign/otherkey.rtp foreign/signed-later.rtp
             foreign/reverse.rtp foreign/otherproduct.rtp)
  if(NOT EXISTS ${OUT}/${item})
    message(FATAL_ERROR "${SCRIPT} made no ${item}")
  endif()
endforeach()
