# The module definition of PATCHW32.dll (from PatchW32.def.in) and its import
# library, made with dlltool.  Defines PATCHW32_DEF, the definition the DLL and
# its test double are linked with, and the target patchw32_import: link it to
# call PatchEntry (declared in PatchW32.h); callers then import the entry by
# ordinal 1 with no name.
#
# Safe to include more than once (the tests include it when the patch folder
# has not).
if(TARGET patchw32_import)
  return()
endif()
set(PATCHW32_DEF ${CMAKE_BINARY_DIR}/patchw32-import/PatchW32.def CACHE INTERNAL "")

if(NOT CMAKE_DLLTOOL)
  message(FATAL_ERROR "CMAKE_DLLTOOL is not set: use one of the MinGW toolchain files")
endif()

set(_patchw32_dir ${CMAKE_BINARY_DIR}/patchw32-import)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # stdcall decorates the symbol with its argument bytes on 32-bit x86.
  set(PATCHW32_ENTRY_SYMBOL "PatchEntry@12")
  set(_patchw32_machine i386)
  # NONAME already makes the import by ordinal; --kill-at only keeps any
  # import name table entry undecorated.
  set(_patchw32_flags --kill-at)
else()
  set(PATCHW32_ENTRY_SYMBOL "PatchEntry")
  set(_patchw32_machine i386:x86-64)
  set(_patchw32_flags)
endif()

configure_file(${CMAKE_CURRENT_LIST_DIR}/PatchW32.def.in ${_patchw32_dir}/PatchW32.def @ONLY)

add_custom_command(
  OUTPUT ${_patchw32_dir}/libpatchw32.a
  COMMAND ${CMAKE_DLLTOOL} --machine ${_patchw32_machine} ${_patchw32_flags}
          --input-def ${_patchw32_dir}/PatchW32.def
          --dllname PATCHW32.dll
          --output-lib ${_patchw32_dir}/libpatchw32.a
  DEPENDS ${_patchw32_dir}/PatchW32.def
  COMMENT "Making the PATCHW32.dll import library"
  VERBATIM)
add_custom_target(patchw32_import_lib DEPENDS ${_patchw32_dir}/libpatchw32.a)

# An INTERFACE library: consumers link the .a and, through add_dependencies,
# wait for dlltool to have made it.
add_library(patchw32_import INTERFACE)
target_link_libraries(patchw32_import INTERFACE ${_patchw32_dir}/libpatchw32.a)
target_include_directories(patchw32_import INTERFACE ${CMAKE_CURRENT_LIST_DIR})
add_dependencies(patchw32_import patchw32_import_lib)

unset(_patchw32_dir)
unset(_patchw32_machine)
unset(_patchw32_flags)
