# The libraries that patch engine and maker build on, as the same imported
# targets in every preset:
#   rtp::lzma        liblzma (the patch engine's coder)
#   rtp::divsufsort  libdivsufsort (the maker's suffix sorting)
# The host takes them from Debian's -dev packages. The Windows builds take the
# static MinGW builds that scripts/mingw-deps.sh makes from Debian's sources of
# the same versions, in build/deps/<triplet>, and search nowhere else: no
# header or library of the host's may reach a MinGW build.

if(WIN32)
  if(NOT MINGW_TRIPLET)
    message(FATAL_ERROR "Windows builds use the toolchain files in cmake/, which name MINGW_TRIPLET")
  endif()
  set(VELMORA_DEPS_DIR ${PROJECT_SOURCE_DIR}/build/deps/${MINGW_TRIPLET} CACHE PATH
      "Static MinGW builds of liblzma and libdivsufsort (scripts/mingw-deps.sh)")
  if(NOT EXISTS ${VELMORA_DEPS_DIR}/stamp)
    message(FATAL_ERROR "No MinGW builds of liblzma and libdivsufsort in ${VELMORA_DEPS_DIR}: "
                        "run `bash scripts/setup.sh` (or `bash scripts/mingw-deps.sh`) first")
  endif()
  # Rebuilt libraries of other versions get a fresh configure.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VELMORA_DEPS_DIR}/stamp)
  set(velmora_deps_where PATHS ${VELMORA_DEPS_DIR} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  set(velmora_deps_kind STATIC)
else()
  set(velmora_deps_where)
  set(velmora_deps_kind UNKNOWN)
endif()

# velmora_import_library(<name> <header> <library>) makes rtp::<name>, from
# the static archive where the package ships one: rtptool runs once a patch,
# and binding a shared library's symbols was most of its start.
function(velmora_import_library name header library)
  string(TOUPPER ${name} var)
  find_path(VELMORA_${var}_INCLUDE_DIR ${header} ${velmora_deps_where} PATH_SUFFIXES include REQUIRED)
  find_library(VELMORA_${var}_LIBRARY NAMES lib${library}.a ${library} ${velmora_deps_where}
               PATH_SUFFIXES lib REQUIRED)
  add_library(rtp::${name} ${velmora_deps_kind} IMPORTED)
  set_target_properties(rtp::${name} PROPERTIES
    IMPORTED_LOCATION ${VELMORA_${var}_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${VELMORA_${var}_INCLUDE_DIR})
endfunction()

velmora_import_library(lzma lzma.h lzma)
if(WIN32)
  # Without it the header declares the functions as imported from the DLL.
  set_property(TARGET rtp::lzma APPEND PROPERTY INTERFACE_COMPILE_DEFINITIONS LZMA_API_STATIC)
endif()
velmora_import_library(divsufsort divsufsort.h divsufsort)
# The host's engine checks signatures with Nettle (hogweed holds its
# elliptic curves, on GMP's numbers); Windows builds use CNG.
if(NOT WIN32)
  velmora_import_library(gmp gmp.h gmp)
  velmora_import_library(nettle nettle/sha2.h nettle)
  velmora_import_library(hogweed nettle/ecdsa.h hogweed)
  set_property(TARGET rtp::hogweed PROPERTY INTERFACE_LINK_LIBRARIES rtp::nettle rtp::gmp)
endif()
# The Windows builds use xxhash's header alone. The host links Debian's
# library for its choice of vector instructions at run time, which only its
# shared build holds.
if(NOT WIN32 AND CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
  find_library(VELMORA_XXHASH_LIBRARY NAMES libxxhash.so REQUIRED)
  velmora_import_library(xxhash xxh_x86dispatch.h xxhash)
endif()
