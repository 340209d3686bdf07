# velmora_use_patch_double(target): copies the PATCHW32.dll test double next
# to target's executable after each build, so the program (or a test) that
# imports PATCHW32.dll loads the double.
function(velmora_use_patch_double target)
  add_dependencies(${target} patchw32_double)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:patchw32_double>
            $<TARGET_FILE_DIR:${target}>/PATCHW32.dll
    VERBATIM)
endfunction()
