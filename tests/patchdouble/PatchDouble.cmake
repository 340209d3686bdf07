# velmora_use_patch_double(target): the program (or a test) that imports
# PATCHW32.dll loads the test double beside it.
function(velmora_use_patch_double target)
  velmora_library_beside(${target} patchw32_double)
endfunction()
