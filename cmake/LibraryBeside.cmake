# velmora_library_beside(target library): puts library's DLL beside target's
# executable as PATCHW32.dll, the name the program imports. A file rule rather
# than a post-build step, so a rebuilt library is copied again even when the
# program beside it did not relink.
function(velmora_library_beside target library)
  get_target_property(dir ${target} RUNTIME_OUTPUT_DIRECTORY)
  if(NOT dir)
    get_target_property(dir ${target} BINARY_DIR)
  endif()
  get_target_property(built_in ${library} RUNTIME_OUTPUT_DIRECTORY)
  if(built_in STREQUAL dir)
    add_dependencies(${target} ${library})
    return()
  endif()
  set(copy ${dir}/PATCHW32.dll)
  string(MAKE_C_IDENTIFIER "${library}_in_${copy}" place)
  # Several programs in one folder share one copy and one rule.
  if(NOT TARGET ${place})
    add_custom_command(OUTPUT ${copy}
      COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${library}> ${copy}
      DEPENDS ${library}
      VERBATIM)
    add_custom_target(${place} DEPENDS ${copy})
  endif()
  add_dependencies(${target} ${place})
endfunction()
